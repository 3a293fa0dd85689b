// The postings of a range that a filter allows, and the galloping search
// that walks both.
#ifndef VRIM_SEARCH_ALLOWED_POSTINGS_H_
#define VRIM_SEARCH_ALLOWED_POSTINGS_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include "index/doc_set.h"
#include "index/index.h"
#include "search/search_plan.h"

namespace vrim {

// The first posting in [from, end) on or after `doc`: doubling steps from
// `from`, then bisecting the last one, so a near target costs little.
// REQUIRES: [from, end) sorted by document.
inline const Posting* GallopTo(const Posting* from, const Posting* end,
                               uint32_t doc) {
  if (from == end || from->doc >= doc) return from;
  size_t step = 1;
  const Posting* low = from;
  while (step < static_cast<size_t>(end - low) && (low + step)->doc < doc) {
    low += step;
    step *= 2;
  }
  const Posting* high = step < static_cast<size_t>(end - low) ? low + step : end;
  return std::partition_point(low, high,
                              [doc](const Posting& p) { return p.doc < doc; });
}

// Calls f(posting) for each posting of `range` whose document `filter`
// holds (every posting when `filter` is null), in order. A sparse filter
// and the postings are walked together, each galloping to the other.
template <typename F>
void ForEachAllowed(const PostingRange& range, const DocSet* filter, F f) {
  if (filter == nullptr) {
    for (const Posting* p = range.begin; p != range.end; ++p) f(p);
    return;
  }
  if (filter->dense()) {
    for (const Posting* p = range.begin; p != range.end; ++p) {
      if (filter->Contains(p->doc)) f(p);
    }
    return;
  }
  DocSetCursor allowed(*filter);
  const Posting* p = range.begin;
  while (p != range.end) {
    const uint32_t doc = allowed.NextFrom(p->doc);
    if (doc == DocSet::kNone) return;
    if (doc != p->doc) {
      p = GallopTo(p, range.end, doc);
      continue;
    }
    f(p);
    ++p;
  }
}

// A filter as the walks over a query's lists test it. A list not much
// longer than a sparse filter is cheaper to test posting by posting
// against the filter as a bitset than to walk together with the filter's
// ids; the bitset is made once per query, when the postings of such lists
// are enough to pay for it.
class AllowedPostings {
 public:
  // Up to this many postings per allowed document, a list is read whole:
  // the processor fetches postings read in order ahead, while each probe
  // of a gallop between allowed documents waits for its cache line, so
  // reading a few kilobytes costs about what one gallop does.
  static constexpr uint64_t kScanRatio = 512;

  // REQUIRES: `filter` (when not null) outlives this, and is a set of the
  // documents of the index the ranges of `plans` are from.
  AllowedPostings(const DocSet* filter, const std::vector<ClausePlan>& plans)
      : filter_(filter) {
    if (filter == nullptr || filter->dense()) return;
    uint64_t short_postings = 0;  // of lists read whole
    for (const ClausePlan& plan : plans) {
      for (const PostingRange& range : plan.ranges) {
        if (ReadWhole(range)) short_postings += Size(range);
      }
    }
    // Clearing and filling a word costs about what a galloping probe of
    // the ids does.
    if (short_postings * 8 >= DocSet::WordCount(filter->universe())) {
      bits_ = filter->Bits();
    }
  }

  // Calls f(posting) for each posting of `range` the filter allows, in
  // order.
  template <typename F>
  void ForEach(const PostingRange& range, F f) const {
    if (bits_.empty() || !ReadWhole(range)) {
      ForEachAllowed(range, filter_, f);
      return;
    }
    for (const Posting* p = range.begin; p != range.end; ++p) {
      if ((bits_[p->doc / 64] >> (p->doc % 64)) & 1) f(p);
    }
  }

 private:
  static uint64_t Size(const PostingRange& range) {
    return static_cast<uint64_t>(range.end - range.begin);
  }
  // REQUIRES: a sparse filter.
  bool ReadWhole(const PostingRange& range) const {
    return Size(range) <= filter_->size() * kScanRatio;
  }

  const DocSet* filter_;
  std::vector<uint64_t> bits_;  // a sparse filter's members, when made
};

}  // namespace vrim

#endif  // VRIM_SEARCH_ALLOWED_POSTINGS_H_
