// A posting while a build gathers it, and the postings of one accumulator.
#ifndef VRIM_STAGED_POSTING_H_
#define VRIM_STAGED_POSTING_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrim {

// The values of a staged posting: as Posting's, with the place of its
// encoded position list in the build's own buffer (the lists are written
// in document order as the text is analysed, and laid out again in
// postings order once the postings are sorted).
struct StagedValues {
  uint64_t positions_offset = 0;
  uint32_t field = 0;
  uint32_t tf = 0;
  uint32_t position_count = 0;
};

// 16 bytes: the term (an accumulator's id, later its rank), the document
// and one word packing the other values and the byte length of the list
// when it is short, which fit it almost always (fields below 64,
// frequencies below 16384, positions kept for every occurrence or none,
// lists starting in the first 16 GiB). A posting whose values do not fit
// is wide: its word indexes StagedPostings' side table.
// The postings are the largest structure of a build and are sorted as one
// array, so every byte here counts twice.
struct StagedPosting {
  static constexpr uint64_t kWide = uint64_t{1} << 63;
  static constexpr uint64_t kPositionsBit = uint64_t{1} << 62;
  static constexpr int kFieldShift = 56;
  static constexpr uint64_t kFieldMask = 0x3F;
  static constexpr int kTfShift = 42;
  static constexpr uint64_t kTfMask = (uint64_t{1} << 14) - 1;
  static constexpr int kLengthShift = 34;
  static constexpr uint64_t kLengthMask = 0xFF;
  // A list length this large or larger is not kept: the list is measured.
  static constexpr uint64_t kLongList = kLengthMask;
  static constexpr uint64_t kOffsetMask = (uint64_t{1} << kLengthShift) - 1;

  uint32_t term;
  uint32_t doc;
  uint64_t word;

  bool wide() const { return (word & kWide) != 0; }
};
static_assert(sizeof(StagedPosting) == 16);

class StagedPostings {
 public:
  // Whether `v` packs into a posting's word.
  static bool Packs(const StagedValues& v) {
    return v.field <= StagedPosting::kFieldMask &&
           v.tf <= StagedPosting::kTfMask &&
           (v.position_count == 0 || v.position_count == v.tf) &&
           v.positions_offset <= StagedPosting::kOffsetMask;
  }

  // `list_length` is the byte length of the encoded position list.
  void push_back(uint32_t term, uint32_t doc, const StagedValues& v,
                 uint64_t list_length) {
    if (Packs(v)) [[likely]] {
      postings_.push_back(StagedPosting{
          term, doc,
          (uint64_t{v.field} << StagedPosting::kFieldShift) |
              (v.position_count != 0 ? StagedPosting::kPositionsBit : 0) |
              (uint64_t{v.tf} << StagedPosting::kTfShift) |
              (std::min(list_length, StagedPosting::kLongList)
               << StagedPosting::kLengthShift) |
              v.positions_offset});
    } else {
      postings_.push_back(
          StagedPosting{term, doc, StagedPosting::kWide | wide_.size()});
      wide_.push_back(v);
    }
  }

  uint32_t field(const StagedPosting& p) const {
    if (p.wide()) [[unlikely]] {
      return wide_[p.word & ~StagedPosting::kWide].field;
    }
    return static_cast<uint32_t>(p.word >> StagedPosting::kFieldShift) &
           StagedPosting::kFieldMask;
  }
  // REQUIRES: `p` is one of these postings.
  StagedValues values(const StagedPosting& p) const {
    if (p.wide()) [[unlikely]] return wide_[p.word & ~StagedPosting::kWide];
    const uint32_t tf =
        static_cast<uint32_t>(p.word >> StagedPosting::kTfShift) &
        StagedPosting::kTfMask;
    return StagedValues{p.word & StagedPosting::kOffsetMask, field(p), tf,
                        (p.word & StagedPosting::kPositionsBit) ? tf : 0};
  }

  // Where the list of `p` starts in the build's buffer of lists.
  uint64_t positions_offset(const StagedPosting& p) const {
    if (p.wide()) [[unlikely]] {
      return wide_[p.word & ~StagedPosting::kWide].positions_offset;
    }
    return p.word & StagedPosting::kOffsetMask;
  }

  // The byte length of the list of `p`, or kLongList when it is that long
  // or `p` is wide: then the list must be measured.
  static uint64_t list_length(const StagedPosting& p) {
    return p.wide() ? StagedPosting::kLongList
                    : (p.word >> StagedPosting::kLengthShift) &
                          StagedPosting::kLengthMask;
  }

  size_t size() const { return postings_.size(); }
  StagedPosting* data() { return postings_.data(); }
  const StagedPosting* data() const { return postings_.data(); }
  StagedPosting* begin() { return postings_.data(); }
  StagedPosting* end() { return postings_.data() + postings_.size(); }
  void reserve(size_t n) { postings_.reserve(n); }

 private:
  std::vector<StagedPosting> postings_;
  std::vector<StagedValues> wide_;
};

}  // namespace vrim

#endif  // VRIM_STAGED_POSTING_H_
