#include "search/exhaustive.h"

#include <algorithm>
#include <bit>

#include "search/allowed_postings.h"
#include "search/doc_states.h"
#include "search/matches.h"
#include "search/phrase_check.h"
#include "search/phrase_query.h"

namespace vrim {

namespace {

// A scored posting, recorded for the match data of its document's state.
struct MatchEntry {
  uint32_t state;
  uint32_t term;
  uint32_t field;
  const Posting* posting;
};

// The bit pattern of a score, in which finite non-negative values order
// like unsigned integers; a negative zero counts as zero.
uint64_t ScoreBits(double score) {
  return std::bit_cast<uint64_t>(score + 0.0);
}

// At most this many documents get a state: one per posting, and one per
// allowed document.
uint64_t StatesBound(const QueryPlan& plans, const DocSet* filter) {
  return filter == nullptr ? plans.expected
                           : std::min<uint64_t>(plans.expected, filter->size());
}

// The posting ranges of the plans, one per record and field.
uint64_t ListCount(const QueryPlan& plans) {
  uint64_t lists = 0;
  for (const ClausePlan& plan : plans.clauses) lists += plan.ranges.size();
  return lists;
}

// At most this many postings are scored: every posting, or each list's
// postings of allowed documents (a product far below 2^64: the ranges are
// in memory).
uint64_t ScoredBound(const QueryPlan& plans, const DocSet* filter) {
  if (filter == nullptr) return plans.expected;
  return std::min(plans.expected, ListCount(plans) * filter->size());
}

// Whether recording every scored posting costs less than finding the
// matches of the kept hits afterwards, a search in every list per hit: so
// for every hit, or when the filter leaves few postings to score.
bool RecordMatches(const QueryPlan& plans, std::optional<uint64_t> limit,
                   const DocSet* filter) {
  if (!limit.has_value()) return true;
  const uint64_t lookups =
      ListCount(plans) * std::min<uint64_t>(*limit, UINT32_MAX);
  if (filter == nullptr || filter->universe() == 0) {
    return plans.expected <= lookups;
  }
  // The filter's share of the postings, at a uniform spread.
  const double scored = static_cast<double>(plans.expected) *
                        static_cast<double>(filter->size()) /
                        static_cast<double>(filter->universe());
  return scored <= static_cast<double>(lookups);
}

// Term at a time over every posting of the query (of the filter's
// documents, when there is one): the states of all touched documents with
// their scores, and, when asked, every scored posting.
class ExhaustiveScorer {
 public:
  ExhaustiveScorer(const Index& index, const QueryPlan& plans,
                   bool keep_matches, const DocSet* filter)
      : index_(index),
        params_(index.data()),
        docs_(index.doc_count_stored(), StatesBound(plans, filter)),
        keep_matches_(keep_matches),
        allowed_(filter, plans.clauses) {
    if (keep_matches) matches_.reserve(ScoredBound(plans, filter));
  }

  void Score(const std::vector<ClausePlan>& plans);

  DocStates& docs() { return docs_; }
  const std::vector<MatchEntry>& matches() const { return matches_; }

 private:
  void Prohibit(const ClausePlan& plan);
  void ScoreClause(uint32_t ci, const ClausePlan& plan);

  const Index& index_;
  const ScoringParams params_;
  DocStates docs_;
  const bool keep_matches_;
  const AllowedPostings allowed_;
  std::vector<MatchEntry> matches_;
  std::vector<AlternativeContribution> alternatives_;
};

void ExhaustiveScorer::Score(const std::vector<ClausePlan>& plans) {
  for (uint32_t ci = 0; ci < plans.size(); ++ci) {
    if (plans[ci].clause->presence == Presence::kProhibited) {
      Prohibit(plans[ci]);
    } else {
      ScoreClause(ci, plans[ci]);
    }
  }
}

void ExhaustiveScorer::Prohibit(const ClausePlan& plan) {
  for (const PostingRange& range : plan.ranges) {
    allowed_.ForEach(range, [&](const Posting* p) {
      docs_.Get(p->doc).prohibited = true;
    });
  }
}

void ExhaustiveScorer::ScoreClause(uint32_t ci, const ClausePlan& plan) {
  const IndexData& data = index_.data();
  const bool required = plan.clause->presence == Presence::kRequired;
  const double clause_boost = plan.clause->boost;
  const size_t field_count = plan.fields.size();
  PhraseChecker phrase_checker(index_, plan);
  alternatives_.clear();

  for (size_t ri = 0; ri < plan.records.size(); ++ri) {
    const TermRecord& record = plan.records[ri];
    for (size_t fi = 0; fi < field_count; ++fi) {
      const uint32_t field = plan.fields[fi];
      const PostingRange& range = plan.ranges[ri * field_count + fi];
      const double avg = plan.averages[fi];
      const double fb = data.field_boosts[field];
      const bool field_ok = FieldScores(record.idf, avg, fb);
      allowed_.ForEach(range, [&](const Posting* p) {
        DocState& state = docs_.Get(p->doc);
        const uint32_t state_index =
            static_cast<uint32_t>(&state - docs_.states().data());
        if (required && state.last_clause != ci) {
          state.last_clause = ci;
          ++state.required_hits;
        }
        state.scored = true;

        double contribution = 0.0;
        if (field_ok) {
          const double rounded = RoundedContribution(
              params_, record.idf, avg, fb, data.doc_boost(p->doc),
              range.postings->tf(*p),
              index_.field_length(p->doc, field));
          if (rounded != 0.0) {
            contribution = phrase_checker.Factor(record, p->doc, field) *
                           clause_boost * rounded;
          }
        }
        if (record.group == kStandalone) {
          state.score += contribution;
        } else {
          alternatives_.push_back(AlternativeContribution{
              state_index, field, record.group, record.alternative,
              contribution});
        }
        if (keep_matches_ && plan.phrase_query == nullptr) {
          matches_.push_back(MatchEntry{state_index, record.term, field, p});
        }
      });
    }
  }
  if (!alternatives_.empty()) {
    ResolveAlternatives(&alternatives_, [&](uint32_t state, double best) {
      docs_.states()[state].score += best;
    });
  }
}

// Groups the recorded match entries by state.
class GroupedMatches {
 public:
  GroupedMatches(const std::vector<MatchEntry>& matches, size_t states)
      : begin_(states + 2, 0), grouped_(matches.size()) {
    // One counting sort: two sequential passes instead of chasing
    // per-document lists through a large array. State s's entries are
    // counted at s + 2 and summed, so begin_[s + 1] is where s's group
    // starts; placing them moves it to where that group ends, which is
    // where s + 1's starts.
    for (const MatchEntry& m : matches) ++begin_[m.state + 2];
    for (size_t i = 2; i < begin_.size(); ++i) begin_[i] += begin_[i - 1];
    for (const MatchEntry& m : matches) {
      grouped_[begin_[m.state + 1]++] = MatchRef{m.term, m.field, m.posting};
    }
  }

  void Get(uint32_t state, std::vector<MatchRef>* out) const {
    out->assign(grouped_.begin() + begin_[state],
                grouped_.begin() + begin_[state + 1]);
    NormalizeMatches(out);
  }

 private:
  std::vector<uint32_t> begin_;
  std::vector<MatchRef> grouped_;
};

}  // namespace

// Every hit, or the best `limit`, scoring every posting of the query. The
// match data is recorded while scoring (for every hit, or when few postings
// are scored) or looked up for the kept hits afterwards.
std::vector<Hit> ExhaustiveHits(const IndexPtr& index_ptr, const QueryPlan& plans,
                                std::optional<uint64_t> limit, uint64_t offset,
                                const DocSet* filter) {
  const bool record = RecordMatches(plans, limit, filter);
  ExhaustiveScorer scorer(*index_ptr, plans, record, filter);
  scorer.Score(plans.clauses);

  // Each survivor is ranked by one 128-bit key: the complemented bits of
  // its score (scores are finite and not negative, where the bit patterns
  // order like the values), then its document id, then its state index,
  // which only rides along. Ascending keys are descending scores with ties
  // in document order, and comparing keys costs a single branch.
  const std::vector<DocState>& states = scorer.docs().states();
  std::vector<unsigned __int128> ranked;
  ranked.reserve(states.size());
  for (uint32_t i = 0; i < states.size(); ++i) {
    const DocState& state = states[i];
    if (!state.scored || state.prohibited) continue;
    if (plans.required > 0 && state.required_hits != plans.required) continue;
    ranked.push_back((static_cast<unsigned __int128>(~ScoreBits(state.score))
                      << 64) |
                     (static_cast<unsigned __int128>(state.doc) << 32) | i);
  }
  if (limit.has_value() && *limit < ranked.size()) {
    std::partial_sort(ranked.begin(),
                      ranked.begin() + static_cast<ptrdiff_t>(*limit),
                      ranked.end());
    ranked.resize(*limit);
  } else {
    std::sort(ranked.begin(), ranked.end());
  }
  ranked.erase(ranked.begin(),
               ranked.begin() + static_cast<ptrdiff_t>(
                                    std::min<uint64_t>(offset, ranked.size())));

  std::optional<GroupedMatches> grouped;
  if (record) grouped.emplace(scorer.matches(), states.size());
  std::vector<Hit> hits(ranked.size());
  for (size_t i = 0; i < ranked.size(); ++i) {
    const uint32_t state_index = static_cast<uint32_t>(ranked[i]);
    const DocState& state = states[state_index];
    hits[i] = Hit{index_ptr, state.doc, state.score, {}, {}};
    if (grouped.has_value()) {
      grouped->Get(state_index, &hits[i].matches);
    } else {
      FindMatches(plans.clauses, state.doc, &hits[i].matches);
    }
    AddPhraseMatches(plans.clauses, &hits[i]);
  }
  return hits;
}

// Documents no prohibited clause touches, in document order, scoring 0.
std::vector<Hit> UnprohibitedHits(const IndexPtr& index_ptr,
                                  const QueryPlan& plans, uint64_t limit,
                                  const DocSet* filter) {
  const Index& index = *index_ptr;
  std::vector<bool> prohibited(index.doc_count_stored(), false);
  const AllowedPostings allowed(filter, plans.clauses);
  for (const ClausePlan& plan : plans.clauses) {
    for (const PostingRange& range : plan.ranges) {
      allowed.ForEach(range, [&](const Posting* p) {
        prohibited[p->doc] = true;
      });
    }
  }
  std::vector<Hit> hits;
  const uint32_t doc_count = static_cast<uint32_t>(prohibited.size());
  uint32_t doc = filter == nullptr ? 0 : filter->NextFrom(0);
  while (doc < doc_count && hits.size() < limit) {
    if (!prohibited[doc]) hits.push_back(Hit{index_ptr, doc, 0.0, {}, {}});
    doc = filter == nullptr ? doc + 1 : filter->NextFrom(doc + 1);
  }
  return hits;
}

}  // namespace vrim
