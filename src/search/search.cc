#include "search/search.h"

#include "analysis/quote.h"
#include "search/exhaustive.h"
#include "search/matches.h"
#include "search/phrase_query.h"
#include "search/search_plan.h"
#include "search/top_docs.h"

namespace vrim {

namespace {

// The search of a complete plan.
std::vector<Hit> SearchPlans(const IndexPtr& index_ptr, const QueryPlan& plans,
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
    hits[i] = Hit{index_ptr, top[i].doc, top[i].score, {}, {}};
    FindMatches(plans.clauses, top[i].doc, &hits[i].matches);
    AddPhraseMatches(plans.clauses, &hits[i]);
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
  const QueryPlan plans = PlanQuery(*index_ptr, query, given);
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
