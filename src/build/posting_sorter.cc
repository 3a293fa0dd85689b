#include "build/posting_sorter.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "build/parallel_for.h"

namespace vrim {

namespace {

class PostingSorter {
 public:
  PostingSorter(StagedPostings* postings, size_t term_count,
                size_t field_count, size_t doc_count)
      : table_(*postings), postings_(postings->data()) {
    AddLevels(kTerm, term_count);
    AddLevels(kField, field_count);
    AddLevels(kDoc, doc_count);
  }

  void Sort(size_t n) { SortRange(0, n, 0); }

  // Distributes [0, n) into the buckets of the first level that tells its
  // entries apart. Returns that level's index, or levels_.size() when no
  // level does (nothing to sort); `*bounds` gets the buckets' starts and
  // n.
  size_t SplitFirstLevel(size_t n, std::vector<size_t>* bounds) {
    for (size_t level_index = 0; level_index < levels_.size();
         ++level_index) {
      Level& lv = levels_[level_index];
      if (!CountDigits(0, n, lv)) continue;
      Permute(0, n, lv);
      bounds->assign(1, 0);
      for (const size_t c : lv.count) bounds->push_back(bounds->back() + c);
      return level_index;
    }
    return levels_.size();
  }

  // Sorts the buckets [first, last) of `bounds` from `level_index` on.
  void SortBuckets(const std::vector<size_t>& bounds, size_t first,
                   size_t last, size_t level_index) {
    for (size_t b = first; b < last; ++b) {
      if (bounds[b + 1] - bounds[b] > 1) {
        SortRange(bounds[b], bounds[b + 1], level_index);
      }
    }
  }

 private:
  enum Component : uint8_t { kTerm, kField, kDoc };
  struct Level {
    Component component;
    uint8_t shift;
    uint32_t mask;
    // Bucket counts and cursors, kept per level because the counts are
    // still walked after deeper levels have run.
    std::vector<size_t> count, head, tail;
  };
  static constexpr size_t kInsertionSortBelow = 32;
  static constexpr int kMaxDigitBits = 11;

  // Digits of `component` for ids below `id_bound`, most significant first.
  void AddLevels(Component c, size_t id_bound) {
    const int bits =
        std::bit_width(static_cast<uint64_t>(id_bound > 0 ? id_bound - 1 : 0));
    if (bits == 0) return;
    const int digits = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
    const int width = (bits + digits - 1) / digits;
    for (int shift = (digits - 1) * width; shift >= 0; shift -= width) {
      Level level;
      level.component = c;
      level.shift = static_cast<uint8_t>(shift);
      level.mask = (1u << width) - 1;
      level.count.resize(size_t{1} << width);
      level.head.resize(size_t{1} << width);
      level.tail.resize(size_t{1} << width);
      levels_.push_back(std::move(level));
    }
  }

  uint32_t Digit(size_t i, const Level& level) const {
    const StagedPosting& p = postings_[i];
    const uint32_t v = level.component == kTerm    ? p.term
                       : level.component == kField ? table_.field(p)
                                                   : p.doc;
    return (v >> level.shift) & level.mask;
  }

  bool Less(size_t a, size_t b) const {
    const StagedPosting& x = postings_[a];
    const StagedPosting& y = postings_[b];
    if (x.term != y.term) return x.term < y.term;
    const uint32_t fx = table_.field(x);
    const uint32_t fy = table_.field(y);
    return fx != fy ? fx < fy : x.doc < y.doc;
  }

  void Swap(size_t a, size_t b) {
    std::swap(postings_[a], postings_[b]);
  }

  void InsertionSort(size_t begin, size_t end) {
    for (size_t i = begin + 1; i < end; ++i) {
      for (size_t j = i; j > begin && Less(j, j - 1); --j) Swap(j, j - 1);
    }
  }

  // Counts the digits of [begin, end) at `lv`; false when they are all
  // the same (nothing to move at this level).
  bool CountDigits(size_t begin, size_t end, Level& lv) const {
    std::fill(lv.count.begin(), lv.count.end(), 0);
    for (size_t i = begin; i < end; ++i) ++lv.count[Digit(i, lv)];
    return lv.count[Digit(begin, lv)] != end - begin;
  }

  // Moves every entry of [begin, end) into its digit's bucket by swaps
  // (the counts of `lv` are those of the range).
  void Permute(size_t begin, size_t end, Level& lv) {
    const size_t buckets = lv.count.size();
    size_t pos = begin;
    for (size_t b = 0; b < buckets; ++b) {
      lv.head[b] = pos;
      pos += lv.count[b];
      lv.tail[b] = pos;
    }
    for (size_t b = 0; b < buckets; ++b) {
      while (lv.head[b] < lv.tail[b]) {
        const uint32_t v = Digit(lv.head[b], lv);
        if (v == b) {
          ++lv.head[b];
        } else {
          // The next swap into bucket v lands just after this one; start
          // loading it now, since the buckets' cursors are too many
          // streams for the hardware to follow.
          __builtin_prefetch(postings_ + std::min(lv.head[v] + 3, end - 1), 1);
          Swap(lv.head[b], lv.head[v]++);
        }
      }
    }
  }

  void SortRange(size_t begin, size_t end, size_t level_index) {
    while (true) {
      if (end - begin < kInsertionSortBelow) {
        InsertionSort(begin, end);
        return;
      }
      if (level_index == levels_.size()) return;
      Level& lv = levels_[level_index];
      // All keys share this digit: go on with the next without moving.
      if (!CountDigits(begin, end, lv)) {
        ++level_index;
        continue;
      }
      Permute(begin, end, lv);
      // Deeper levels reuse their own buffers, never this level's counts.
      size_t pos = begin;
      for (const size_t c : lv.count) {
        if (c > 1) SortRange(pos, pos + c, level_index + 1);
        pos += c;
      }
      return;
    }
  }

  const StagedPostings& table_;  // for the fields of wide postings
  StagedPosting* postings_;
  std::vector<Level> levels_;
};

// Below this many postings a sort stays on one thread.
constexpr size_t kParallelFrom = size_t{1} << 16;

// Cuts `bounds` (bucket starts, then the end) into `parts` contiguous runs
// of buckets holding about equal numbers of entries; returns the first
// bucket of each run, then the bucket count.
std::vector<size_t> CutBuckets(const std::vector<size_t>& bounds,
                               size_t parts) {
  const size_t buckets = bounds.size() - 1;
  const size_t n = bounds.back();
  std::vector<size_t> cuts{0};
  for (size_t b = 1; b < buckets && cuts.size() < parts; ++b) {
    if (bounds[b] * parts >= n * cuts.size()) cuts.push_back(b);
  }
  cuts.push_back(buckets);
  return cuts;
}

}  // namespace

void SortPostings(StagedPostings* postings, size_t term_count,
                  size_t field_count, size_t doc_count, size_t threads) {
  const size_t n = postings->size();
  PostingSorter sorter(postings, term_count, field_count, doc_count);
  if (threads <= 1 || n < kParallelFrom) {
    sorter.Sort(n);
    return;
  }
  // The first level runs here; its buckets, disjoint ranges, are then
  // sorted on the threads, each with its own level buffers.
  std::vector<size_t> bounds;
  const size_t level = sorter.SplitFirstLevel(n, &bounds);
  if (bounds.empty()) return;
  const std::vector<size_t> cuts = CutBuckets(bounds, threads);
  ParallelFor(cuts.size() - 1, [&](size_t part) {
    PostingSorter(postings, term_count, field_count, doc_count)
        .SortBuckets(bounds, cuts[part], cuts[part + 1], level + 1);
  });
}

}  // namespace vrim
