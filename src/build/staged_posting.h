// A posting while a build gathers it.
#ifndef VRIM_STAGED_POSTING_H_
#define VRIM_STAGED_POSTING_H_

#include <cstdint>

namespace vrim {

// As Posting, with the place and byte length of its encoded position list
// in the build's own buffer: the lists are written in document order as
// the text is analysed, and laid out again in postings order once the
// postings are sorted (PostingAccumulator::Merge).
struct StagedPosting {
  // A length this large or larger is not kept: the list is measured.
  static constexpr uint64_t kLongList = (uint64_t{1} << 24) - 1;

  uint32_t field = 0;
  uint32_t doc = 0;
  uint32_t tf = 0;
  uint32_t position_count = 0;
  uint64_t positions_offset : 40 = 0;
  uint64_t positions_length : 24 = 0;  // kLongList: at least that long

  void set_positions_length(uint64_t length) {
    positions_length = length < kLongList ? length : kLongList;
  }
};
static_assert(sizeof(StagedPosting) == 24);

}  // namespace vrim

#endif  // VRIM_STAGED_POSTING_H_
