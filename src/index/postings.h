// The postings of an index: one per term in one field of one document,
// 8 bytes each. A posting keeps its document id and one packed word; the
// field id, term frequency and position count fit that word almost always
// (fields below 256, frequencies below 4 million, positions kept for
// every occurrence or none). A posting whose values do not fit is wide: its
// word indexes a side table of the full values, held with the postings.
// Read the values through Postings, which knows both.
#ifndef VRIM_POSTINGS_H_
#define VRIM_POSTINGS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/uninitialized_allocator.h"

namespace vrim {

// No member initialisers: a table grown for a reader or a build to fill
// in place is not written twice (Posting{} is still all zero).
struct Posting {
  uint32_t doc;
  // Packed: field << 23 | (position count == tf) << 22 | tf, the position
  // count being 0 or tf. Wide: kWide | index into Postings' wide values.
  uint32_t bits;

  static constexpr uint32_t kWide = uint32_t{1} << 31;
  static constexpr uint32_t kFieldShift = 23;
  static constexpr uint32_t kMaxPackedField = 0xFF;
  static constexpr uint32_t kPositionsBit = uint32_t{1} << 22;
  static constexpr uint32_t kTfMask = kPositionsBit - 1;

  bool wide() const { return (bits & kWide) != 0; }
  bool operator==(const Posting&) const = default;
};
static_assert(sizeof(Posting) == 8, "postings are the bulk of an index");

// The values of a posting that does not pack.
struct WidePosting {
  uint32_t field = 0;
  uint32_t tf = 0;
  uint32_t position_count = 0;

  bool operator==(const WidePosting&) const = default;
};

// Why a build or merge stops that would make more postings than one
// table holds.
inline constexpr const char* kTooManyPostings =
    "an index holds at most 4294967295 postings, of which at most 2^31 "
    "with a field id above 255, a frequency above 4194303 or a position "
    "count other than 0 and the frequency";

class Postings {
 public:
  // Most postings a table can hold (so that a posting's place fits 32
  // bits), and most wide ones.
  static constexpr size_t kMaxSize = UINT32_MAX;
  static constexpr size_t kMaxWide = Posting::kWide;

  size_t size() const { return postings_.size(); }
  bool empty() const { return postings_.empty(); }
  const Posting* data() const { return postings_.data(); }
  Posting* data() { return postings_.data(); }
  const Posting& operator[](size_t i) const { return postings_[i]; }
  const Posting* begin() const { return postings_.data(); }
  const Posting* end() const { return postings_.data() + postings_.size(); }
  size_t capacity() const { return postings_.capacity(); }
  // The wide postings' values.
  const std::vector<WidePosting>& wide_values() const { return wide_; }

  uint32_t field(const Posting& p) const {
    if (p.wide()) [[unlikely]] return Wide(p).field;
    return p.bits >> Posting::kFieldShift;
  }
  uint32_t tf(const Posting& p) const {
    if (p.wide()) [[unlikely]] return Wide(p).tf;
    return p.bits & Posting::kTfMask;
  }
  uint32_t position_count(const Posting& p) const {
    if (p.wide()) [[unlikely]] return Wide(p).position_count;
    return PackedPositionCount(p);
  }
  // The position count of a packed posting.
  // REQUIRES: !p.wide().
  static uint32_t PackedPositionCount(const Posting& p) {
    return (p.bits & Posting::kPositionsBit) ? p.bits & Posting::kTfMask : 0;
  }

  // Whether the values pack into a posting's word.
  static bool Packs(uint32_t field, uint32_t tf, uint32_t position_count) {
    return field <= Posting::kMaxPackedField && tf <= Posting::kTfMask &&
           (position_count == 0 || position_count == tf);
  }
  // The packed posting of the values (Make's, for a reader's fast path
  // and a build's threads).
  // REQUIRES: Packs(field, tf, position_count).
  static Posting Packed(uint32_t field, uint32_t doc, uint32_t tf,
                        uint32_t position_count) {
    return Posting{doc, field << Posting::kFieldShift |
                            (position_count != 0 ? Posting::kPositionsBit
                                                 : 0) |
                            tf};
  }

  // The posting of the four values, the only way one is made: packed when
  // the values fit, else wide with its values added to this table. False
  // (nothing added) when a wide posting is needed and the table holds
  // kMaxWide already.
  bool Make(uint32_t field, uint32_t doc, uint32_t tf, uint32_t position_count,
            Posting* out);
  // Make, appending the posting; false (nothing added) when the table
  // holds kMaxSize postings already or Make fails.
  bool push_back(uint32_t field, uint32_t doc, uint32_t tf,
                 uint32_t position_count) {
    Posting p;
    if (postings_.size() >= kMaxSize ||
        !Make(field, doc, tf, position_count, &p)) {
      return false;
    }
    postings_.push_back(p);
    return true;
  }
  // Appends `p`.
  // REQUIRES: `p` was made by this table's Make; size() < kMaxSize.
  void Append(const Posting& p) { postings_.push_back(p); }
  // Adds `count` postings of unspecified values, for Make to fill in place.
  // REQUIRES: size() + count <= kMaxSize.
  void Grow(size_t count) { postings_.resize(postings_.size() + count); }

  void reserve(size_t n) { postings_.reserve(n); }
  void clear();

  bool operator==(const Postings&) const = default;

 private:
  __attribute__((noinline)) const WidePosting& Wide(const Posting& p) const {
    return wide_[p.bits & ~Posting::kWide];
  }

  // Grow leaves new postings without a value.
  std::vector<Posting, UninitializedAllocator<Posting>> postings_;
  std::vector<WidePosting> wide_;
};

}  // namespace vrim

#endif  // VRIM_POSTINGS_H_
