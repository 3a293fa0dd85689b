// A posting while a build gathers it.
#ifndef VRIM_STAGED_POSTING_H_
#define VRIM_STAGED_POSTING_H_

#include <cstdint>

namespace vrim {

// As Posting, with the place of its encoded position list in the build's
// own buffer: the lists are written in document order as the text is
// analysed, and laid out again in postings order once the postings are
// sorted (PostingAccumulator::Merge).
struct StagedPosting {
  uint32_t field = 0;
  uint32_t doc = 0;
  uint32_t tf = 0;
  uint32_t position_count = 0;
  uint64_t positions_offset = 0;
};

}  // namespace vrim

#endif  // VRIM_STAGED_POSTING_H_
