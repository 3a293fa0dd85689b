// Upper bounds of posting scores, for skipping documents that cannot enter
// the best n hits.
//
// Each term's postings (sorted by field, then document) are cut into
// blocks of kBlockSize; a block keeps the largest "unit score" of its
// postings, the BM25 contribution with field boost and IDF left out:
//
//   unit = doc_boost * tf * (k1 + 1) / (tf + k1 * ((1 - b) + b * fl / avg))
//
// with avg the average length of each posting's own field. Each posting's
// own unit is kept too, rounded up to a float, so that a candidate can be
// dropped with a multiplication instead of a division. Postings that
// score nothing (tf 0, a doc boost that is negative or not finite, a field
// without a positive average) count as 0. Bounds are derived from the
// stored index, never stored themselves.
#ifndef VRIM_SCORE_BOUNDS_H_
#define VRIM_SCORE_BOUNDS_H_

#include <cstdint>
#include <vector>

#include "index/index.h"

namespace vrim {

class ScoreBounds : public DerivedPart {
 public:
  static constexpr uint32_t kBlockSize = 64;

  // REQUIRES: `index` is complete (its average field lengths derived).
  static ScoreBounds Derive(const Index& index);

  // The bounds of `index`, derived on first use and kept with it.
  static const ScoreBounds& Of(const Index& index) {
    return index.Derived<ScoreBounds>(DerivedSlot::kScoreBounds);
  }

  // The unit score of one posting of `postings`, on the documents of
  // `index`, with k1 and b as sanitised.
  static double Unit(const Index& index, const Postings& postings,
                     const Posting& posting, double k1, double b);

  // Index into the term's blocks of the posting `offset` postings after
  // the term's first.
  static uint64_t BlockOf(uint64_t offset) { return offset / kBlockSize; }

  // Upper bounds of the units of a term's postings, from its first posting
  // `first` (its offset into IndexData::postings) on.
  const float* posting_units_from(uint64_t first) const {
    return posting_units_.data() + first;
  }
  // The unit bounds of the blocks of `term`, from its first block on.
  const double* block_units_of(uint32_t term) const {
    return units_.data() + term_blocks_[term];
  }

 private:
  std::vector<uint64_t> term_blocks_;  // terms + 1: first block of a term
  std::vector<double> units_;
  std::vector<float> posting_units_;
};

}  // namespace vrim

#endif  // VRIM_SCORE_BOUNDS_H_
