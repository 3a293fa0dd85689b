#include "search/score_bounds.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "index/index.h"

namespace vrim {

namespace {

// The length part of a unit score, k1 * ((1 - b) + b * fl / avg); -1 when
// the document's boost or the field's average makes every unit 0.
double LengthNorm(const Index& index, uint32_t doc, uint32_t field, double k1,
                  double b) {
  const double avg = index.average_field_length(field);
  const double db = index.data().doc_boost(doc);
  if (!std::isfinite(db) || db < 0.0 || !std::isfinite(avg) || avg <= 0.0) {
    return -1.0;
  }
  const double fl = static_cast<double>(index.field_length(doc, field));
  return k1 * ((1.0 - b) + b * fl / avg);
}

// The unit score of a posting with frequency `tf` and length part `norm`.
double UnitOf(double doc_boost, uint32_t tf, double norm, double k1) {
  if (tf == 0 || norm < 0.0) return 0.0;
  const double f = tf;
  return doc_boost * f * (k1 + 1.0) / (f + norm);
}

// LengthNorm of every (document, field), document-major.
std::vector<double> LengthNorms(const Index& index, double k1, double b) {
  const size_t fields = index.field_count();
  const size_t docs = index.doc_count_stored();
  std::vector<double> norms(docs * fields);
  for (size_t doc = 0; doc < docs; ++doc) {
    for (size_t f = 0; f < fields; ++f) {
      norms[doc * fields + f] = LengthNorm(index, static_cast<uint32_t>(doc),
                                           static_cast<uint32_t>(f), k1, b);
    }
  }
  return norms;
}

}  // namespace

double ScoreBounds::Unit(const Index& index, const Postings& postings,
                         const Posting& p, double k1, double b) {
  return UnitOf(index.data().doc_boost(p.doc), postings.tf(p),
                LengthNorm(index, p.doc, postings.field(p), k1, b), k1);
}

ScoreBounds ScoreBounds::Derive(const Index& index) {
  const IndexData& data = index.data();
  const double k1 = SanitizeK1(data.k1);
  const double b = SanitizeB(data.b);
  const size_t term_count = data.terms.size();
  ScoreBounds bounds;
  bounds.term_blocks_.resize(term_count + 1);
  uint64_t blocks = 0;
  for (size_t t = 0; t < term_count; ++t) {
    bounds.term_blocks_[t] = blocks;
    const uint64_t n = data.term_postings[t + 1] - data.term_postings[t];
    blocks += (n + kBlockSize - 1) / kBlockSize;
  }
  bounds.term_blocks_[term_count] = blocks;
  bounds.units_.assign(blocks, 0.0);
  bounds.posting_units_.resize(data.postings.size());
  const std::vector<double> norms = LengthNorms(index, k1, b);
  const size_t fields = index.field_count();
  for (size_t t = 0; t < term_count; ++t) {
    const uint64_t first = data.term_postings[t];
    const uint64_t n = data.term_postings[t + 1] - first;
    double* units = bounds.units_.data() + bounds.term_blocks_[t];
    for (uint64_t i = 0; i < n; ++i) {
      // As Unit(), with the length part looked up.
      const Posting& p = data.postings[first + i];
      const double unit =
          UnitOf(data.doc_boost(p.doc), data.postings.tf(p),
                 norms[static_cast<size_t>(p.doc) * fields +
                       data.postings.field(p)],
                 k1);
      float rounded = static_cast<float>(unit);
      if (rounded < unit) {  // finite and not negative: the next float up
        rounded = std::bit_cast<float>(std::bit_cast<uint32_t>(rounded) + 1);
      }
      bounds.posting_units_[first + i] = rounded;
      units[i / kBlockSize] = std::max<double>(units[i / kBlockSize], rounded);
    }
  }
  return bounds;
}

}  // namespace vrim
