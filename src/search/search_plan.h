// The plan of a query: each clause resolved against one index into the
// index terms it matches (after the pipeline, wildcard and fuzzy
// expansion), the IDF each scores with, and the postings of each term in
// each of the clause's fields. Both evaluators (every hit, and the best n)
// score from a plan with the same arithmetic, so they agree to the bit.
#ifndef VRIM_SEARCH_PLAN_H_
#define VRIM_SEARCH_PLAN_H_

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/index.h"
#include "search/phrase.h"
#include "search/query_parser.h"
#include "search/query_stats.h"

namespace vrim {

struct PhraseQuery;

// Group of a term that is not one of several alternative spellings.
constexpr int32_t kStandalone = -1;

// One index term matched by a clause, with the IDF it scores with and the
// alternative it belongs to.
struct TermRecord {
  uint32_t term;
  double idf;
  int32_t group;
  uint32_t alternative;
  std::vector<uint32_t> phrases;  // clause phrases that contain the term
};

// Postings of one term in one field: sorted by document.
struct PostingRange {
  const Posting* begin;
  const Posting* end;
  const Postings* postings;  // what they are part of: the values
};

struct ClausePlan {
  const Clause* clause;
  // Field ids: those the clause names, in its order; for a clause over
  // every field, those in which a record has postings, in id order.
  std::vector<uint32_t> fields;
  std::vector<double> averages;  // per field: the average length scored with
  std::vector<TermRecord> records;
  // The postings of each record in each clause field: records x fields,
  // record-major.
  std::vector<PostingRange> ranges;
  std::vector<Phrase> phrases;
  std::vector<std::vector<int64_t>> phrase_term_ids;  // per phrase
  // A quoted phrase of two words or more (phrase_query.h): one record,
  // whose ranges are the phrase's own postings rather than the index's.
  std::shared_ptr<const PhraseQuery> phrase_query;
  // A matched term the given statistics lack (the plan is then unusable);
  // empty when none does.
  std::string missing_term;
};

// The collection statistics a search scores with: the index's own, or
// given ones (query statistics summed over the shards of a collection).
class ScoringStats {
 public:
  explicit ScoringStats(const Index& index)
      : index_(index), document_count_(index.data().document_count) {}
  // REQUIRES: CheckQueryStats(index, given); `given` outlives this.
  ScoringStats(const Index& index, const QueryStats& given);

  bool given() const { return given_ != nullptr; }
  uint64_t document_count() const { return document_count_; }
  double average(uint32_t field) const {
    return given_ ? averages_[field] : index_.average_field_length(field);
  }
  // The document frequency of an index term; false when the given
  // statistics lack it.
  bool DocumentFrequency(uint32_t term, uint64_t* out) const;
  // The document frequency of a term text, 0 when neither the index nor
  // the given statistics hold it; false when the index holds it and the
  // given statistics lack it.
  bool DocumentFrequencyOfText(std::string_view text, uint64_t* out) const;

 private:
  const Index& index_;
  const QueryStats* given_ = nullptr;
  uint64_t document_count_;
  std::vector<double> averages_;  // given ones, per field
};

// Plans `clause` against `index`, scoring with `stats`. Prohibited clauses
// score nothing and look up no statistics.
// REQUIRES: `clause` outlives the plan.
ClausePlan PlanClause(const Index& index, const Clause& clause,
                      const ScoringStats& stats);

// A query planned clause by clause, with what the evaluators need to
// choose a path.
struct QueryPlan {
  std::vector<ClausePlan> clauses;
  uint64_t expected = 0;  // postings of all clauses
  bool all_prohibited = true;
  uint32_t required = 0;
};

// Plans every clause of `query` against `index`, scoring with `stats`.
// REQUIRES: `query` outlives the plan.
QueryPlan PlanQuery(const Index& index, const Query& query,
                    const ScoringStats& stats);

// Whether the statistics `plans` were made with hold every term they
// match; false with `error` naming the first that is missing.
bool PlanHasEveryTerm(const QueryPlan& plans, std::string* error);

// The scoring constants of one search.
struct ScoringParams {
  double k1;
  double b;

  explicit ScoringParams(const IndexData& data)
      : k1(SanitizeK1(data.k1)), b(SanitizeB(data.b)) {}
};

// Whether postings of a record in a field can score above zero at all: a
// finite positive average length, a finite non-negative field boost and
// IDF.
inline bool FieldScores(double idf, double average, double field_boost) {
  return std::isfinite(idf) && idf >= 0.0 && std::isfinite(average) &&
         average > 0.0 && std::isfinite(field_boost) && field_boost >= 0.0;
}

// A posting's BM25 contribution before the phrase factor and the clause
// boost, rounded to three decimals; zero for a zero term frequency or a
// document boost that is negative or not finite.
// REQUIRES: FieldScores(idf, average, field_boost).
inline double RoundedContribution(const ScoringParams& params, double idf,
                                  double average, double field_boost,
                                  double doc_boost, uint32_t term_frequency,
                                  uint64_t field_length) {
  if (term_frequency == 0 || !std::isfinite(doc_boost) || doc_boost < 0.0) {
    return 0.0;
  }
  const double k1 = params.k1;
  const double b = params.b;
  const double tf = term_frequency;
  const double fl = static_cast<double>(field_length);
  const double raw = doc_boost * field_boost * idf * tf * (k1 + 1.0) /
                     (tf + k1 * ((1.0 - b) + b * fl / average));
  return std::round(raw * 1000.0) / 1000.0;
}

// A contribution of an alternative record, summed per (document state,
// field, group, alternative) and resolved at the end of its clause.
struct AlternativeContribution {
  uint32_t state;
  uint32_t field;
  int32_t group;
  uint32_t alternative;
  double value;
};

// Sorts `contributions` by (state, field, group, alternative), equal keys
// kept in the order they were added, and calls add(state, best) for each
// (state, field, group) in that order, best being the largest of the sums
// of its alternatives.
template <typename Add>
void ResolveAlternatives(std::vector<AlternativeContribution>* contributions,
                         Add add) {
  std::vector<AlternativeContribution>& c = *contributions;
  std::stable_sort(c.begin(), c.end(),
                   [](const AlternativeContribution& x,
                      const AlternativeContribution& y) {
                     if (x.state != y.state) return x.state < y.state;
                     if (x.field != y.field) return x.field < y.field;
                     if (x.group != y.group) return x.group < y.group;
                     return x.alternative < y.alternative;
                   });
  auto same_group = [&](size_t i, const AlternativeContribution& head) {
    return i < c.size() && c[i].state == head.state &&
           c[i].field == head.field && c[i].group == head.group;
  };
  size_t i = 0;
  while (i < c.size()) {
    const AlternativeContribution head = c[i];
    double best = 0.0;
    bool any = false;
    while (same_group(i, head)) {
      const uint32_t alternative = c[i].alternative;
      double sum = 0.0;
      while (same_group(i, head) && c[i].alternative == alternative) {
        sum += c[i].value;
        ++i;
      }
      if (!any || sum > best) best = sum;
      any = true;
    }
    add(head.state, best);
  }
}

}  // namespace vrim

#endif  // VRIM_SEARCH_PLAN_H_
