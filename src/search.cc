#include "search.h"

#include <algorithm>
#include <bit>

#include "doc_states.h"
#include "quote.h"
#include "search_plan.h"
#include "top_docs.h"

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

struct Plans {
  std::vector<ClausePlan> clauses;
  uint64_t expected = 0;  // postings of all clauses
  bool all_prohibited = true;
  uint32_t required = 0;
};

Plans PlanQuery(const Index& index, const Query& query,
                const ScoringStats& stats) {
  Plans plans;
  plans.clauses.reserve(query.clauses.size());
  for (const Clause& clause : query.clauses) {
    plans.clauses.push_back(PlanClause(index, clause, stats));
    for (const PostingRange& range : plans.clauses.back().ranges) {
      plans.expected += static_cast<uint64_t>(range.end - range.begin);
    }
    if (clause.presence != Presence::kProhibited) plans.all_prohibited = false;
    if (clause.presence == Presence::kRequired) ++plans.required;
  }
  return plans;
}

// Term at a time over every posting of the query: the states of all
// touched documents with their scores, and, when asked, every scored
// posting.
class ExhaustiveScorer {
 public:
  ExhaustiveScorer(const Index& index, const Plans& plans, bool keep_matches)
      : index_(index),
        params_(index.data()),
        docs_(index.doc_count_stored(), plans.expected),
        keep_matches_(keep_matches) {}

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
    for (const Posting* p = range.begin; p != range.end; ++p) {
      docs_.Get(p->doc).prohibited = true;
    }
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
      for (const Posting* p = range.begin; p != range.end; ++p) {
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
              params_, record.idf, avg, fb, data.doc_boosts[p->doc], p->tf,
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
        if (keep_matches_) {
          matches_.push_back(MatchEntry{state_index, record.term, field, p});
        }
      }
    }
  }
  if (!alternatives_.empty()) {
    ResolveAlternatives(&alternatives_, [&](uint32_t state, double best) {
      docs_.states()[state].score += best;
    });
  }
}

// Sorted by (term, field), each pair once.
void NormalizeMatches(std::vector<MatchRef>* matches) {
  if (matches->size() < 2) return;
  std::sort(matches->begin(), matches->end(),
            [](const MatchRef& x, const MatchRef& y) {
              return x.term != y.term ? x.term < y.term : x.field < y.field;
            });
  matches->erase(std::unique(matches->begin(), matches->end(),
                             [](const MatchRef& x, const MatchRef& y) {
                               return x.term == y.term && x.field == y.field;
                             }),
                 matches->end());
}

// The scored postings of one document, found by bisecting each list.
void FindMatches(const std::vector<ClausePlan>& plans, uint32_t doc,
                 std::vector<MatchRef>* out) {
  for (const ClausePlan& plan : plans) {
    if (plan.clause->presence == Presence::kProhibited) continue;
    const size_t field_count = plan.fields.size();
    for (size_t i = 0; i < plan.ranges.size(); ++i) {
      const PostingRange& range = plan.ranges[i];
      const Posting* p = std::partition_point(
          range.begin, range.end,
          [doc](const Posting& x) { return x.doc < doc; });
      if (p != range.end && p->doc == doc) {
        out->push_back(MatchRef{plan.records[i / field_count].term,
                                plan.fields[i % field_count], p});
      }
    }
  }
  NormalizeMatches(out);
}

// Documents no prohibited clause touches, in document order, scoring 0.
std::vector<Hit> UnprohibitedHits(const IndexPtr& index_ptr,
                                  const Plans& plans, uint64_t limit) {
  const Index& index = *index_ptr;
  std::vector<bool> prohibited(index.doc_count_stored(), false);
  for (const ClausePlan& plan : plans.clauses) {
    for (const PostingRange& range : plan.ranges) {
      for (const Posting* p = range.begin; p != range.end; ++p) {
        prohibited[p->doc] = true;
      }
    }
  }
  std::vector<Hit> hits;
  for (uint32_t doc = 0; doc < prohibited.size() && hits.size() < limit;
       ++doc) {
    if (!prohibited[doc]) hits.push_back(Hit{index_ptr, doc, 0.0, {}});
  }
  return hits;
}

// Groups the recorded match entries by state.
class GroupedMatches {
 public:
  GroupedMatches(const std::vector<MatchEntry>& matches, size_t states)
      : begin_(states + 1, 0), grouped_(matches.size()) {
    // One counting sort: two sequential passes instead of chasing
    // per-document lists through a large array.
    for (const MatchEntry& m : matches) ++begin_[m.state + 1];
    for (size_t i = 1; i < begin_.size(); ++i) begin_[i] += begin_[i - 1];
    std::vector<uint32_t> cursor(begin_.begin(), begin_.end() - 1);
    for (const MatchEntry& m : matches) {
      grouped_[cursor[m.state]++] = MatchRef{m.term, m.field, m.posting};
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

// Every hit, or the best `limit`, scoring every posting of the query. The
// match data of all hits is recorded while scoring; that of the best few
// is looked up afterwards.
std::vector<Hit> ExhaustiveHits(const IndexPtr& index_ptr, const Plans& plans,
                                std::optional<uint64_t> limit) {
  ExhaustiveScorer scorer(*index_ptr, plans, !limit.has_value());
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

  std::optional<GroupedMatches> grouped;
  if (!limit.has_value()) grouped.emplace(scorer.matches(), states.size());
  std::vector<Hit> hits(ranked.size());
  for (size_t i = 0; i < ranked.size(); ++i) {
    const uint32_t state_index = static_cast<uint32_t>(ranked[i]);
    const DocState& state = states[state_index];
    hits[i] = Hit{index_ptr, state.doc, state.score, {}};
    if (grouped.has_value()) {
      grouped->Get(state_index, &hits[i].matches);
    } else {
      FindMatches(plans.clauses, state.doc, &hits[i].matches);
    }
  }
  return hits;
}

// The search of a complete plan.
std::vector<Hit> SearchPlans(const IndexPtr& index_ptr, const Plans& plans,
                             const SearchOptions& options) {
  const uint64_t limit = options.limit.value_or(UINT64_MAX);
  if (plans.all_prohibited) return UnprohibitedHits(index_ptr, plans, limit);

  std::vector<ScoredDoc> top;
  if (!options.limit.has_value() ||
      !TopDocs(*index_ptr, plans.clauses, limit, &top)) {
    return ExhaustiveHits(index_ptr, plans, options.limit);
  }
  std::vector<Hit> hits(top.size());
  for (size_t i = 0; i < top.size(); ++i) {
    hits[i] = Hit{index_ptr, top[i].doc, top[i].score, {}};
    FindMatches(plans.clauses, top[i].doc, &hits[i].matches);
  }
  return hits;
}

}  // namespace

std::vector<Hit> Search(const IndexPtr& index_ptr, const Query& query,
                        const SearchOptions& options) {
  if (query.clauses.empty() || options.limit == 0) return {};
  const ScoringStats own(*index_ptr);
  return SearchPlans(index_ptr, PlanQuery(*index_ptr, query, own), options);
}

bool SearchWithStats(const IndexPtr& index_ptr, const Query& query,
                     const QueryStats& stats, const SearchOptions& options,
                     std::vector<Hit>* hits, std::string* error) {
  if (!CheckQueryStats(*index_ptr, stats, error)) return false;
  if (query.clauses.empty() || options.limit == 0) {
    hits->clear();
    return true;
  }
  const ScoringStats given(*index_ptr, stats);
  const Plans plans = PlanQuery(*index_ptr, query, given);
  for (const ClausePlan& plan : plans.clauses) {
    if (!plan.missing_term.empty()) {
      *error = "query statistics lack the term " + Quote(plan.missing_term) +
               ": they were not gathered for this query from every shard";
      return false;
    }
  }
  *hits = SearchPlans(index_ptr, plans, options);
  return true;
}

}  // namespace vrim
