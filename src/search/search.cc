#include "search/search.h"

#include <algorithm>

#include "search/exhaustive.h"
#include "search/matches.h"
#include "search/phrase_query.h"
#include "search/search_plan.h"
#include "search/top_docs.h"

namespace vrim {

namespace {

// `limit` + `offset`, saturating: how much of the ranking a page needs.
std::optional<uint64_t> Wanted(const SearchOptions& options) {
  if (!options.limit.has_value()) return std::nullopt;
  const uint64_t limit = *options.limit;
  return limit > UINT64_MAX - options.offset ? UINT64_MAX
                                             : limit + options.offset;
}

// Up to this many documents in the smaller of one list and a sparse
// filter, scoring every allowed posting costs less than setting up the
// pruning walk (its bounds are cold in the cache for a rare term).
constexpr uint64_t kFewAllowed = 256;

// Whether a sparse filter makes scoring list by list the cheaper way to
// the best hits: that costs each list a walk of at most its postings or
// the filter's, while walking the lists together seeks every list to
// each allowed document. One list is scored alone when few of its
// postings can be allowed.
bool ListByList(const QueryPlan& plans, const DocSet* filter) {
  if (filter == nullptr || filter->dense()) return false;
  size_t lists = 0;
  uint64_t postings = 0;
  for (const ClausePlan& plan : plans.clauses) {
    for (const PostingRange& range : plan.ranges) {
      if (range.begin == range.end) continue;
      ++lists;
      postings = static_cast<uint64_t>(range.end - range.begin);
    }
  }
  return lists > 1 || std::min(postings, filter->size()) <= kFewAllowed;
}

// The search of a complete plan.
std::vector<Hit> SearchPlans(const IndexPtr& index_ptr, const QueryPlan& plans,
                             const SearchOptions& options) {
  const std::optional<uint64_t> wanted = Wanted(options);
  const DocSet* filter = options.filter;
  if (plans.all_prohibited) {
    std::vector<Hit> hits = UnprohibitedHits(
        index_ptr, plans, wanted.value_or(UINT64_MAX), filter);
    hits.erase(hits.begin(),
               hits.begin() + static_cast<ptrdiff_t>(
                                  std::min<uint64_t>(options.offset,
                                                     hits.size())));
    return hits;
  }

  std::vector<ScoredDoc> top;
  if (!wanted.has_value() || ListByList(plans, filter) ||
      !TopDocs(*index_ptr, plans.clauses, *wanted, filter, &top)) {
    return ExhaustiveHits(index_ptr, plans, wanted, options.offset, filter);
  }
  const size_t first = std::min<uint64_t>(options.offset, top.size());
  std::vector<Hit> hits(top.size() - first);
  for (size_t i = 0; i < hits.size(); ++i) {
    const ScoredDoc& scored = top[first + i];
    hits[i] = Hit{index_ptr, scored.doc, scored.score, {}, {}};
    FindMatches(plans.clauses, scored.doc, &hits[i].matches);
    AddPhraseMatches(plans.clauses, &hits[i]);
  }
  return hits;
}

// Whether the options leave no hit to find.
bool NothingWanted(const Query& query, const SearchOptions& options) {
  return query.clauses.empty() || options.limit == 0 ||
         (options.filter != nullptr && options.filter->empty());
}

}  // namespace

std::vector<Hit> Search(const IndexPtr& index_ptr, const Query& query,
                        const SearchOptions& options) {
  if (NothingWanted(query, options)) return {};
  const ScoringStats own(*index_ptr);
  return SearchPlans(index_ptr, PlanQuery(*index_ptr, query, own), options);
}

bool SearchWithStats(const IndexPtr& index_ptr, const Query& query,
                     const QueryStats& stats, const SearchOptions& options,
                     std::vector<Hit>* hits, std::string* error) {
  if (!CheckQueryStats(*index_ptr, stats, error)) return false;
  if (NothingWanted(query, options)) {
    hits->clear();
    return true;
  }
  const ScoringStats given(*index_ptr, stats);
  const QueryPlan plans = PlanQuery(*index_ptr, query, given);
  if (!PlanHasEveryTerm(plans, error)) return false;
  *hits = SearchPlans(index_ptr, plans, options);
  return true;
}

}  // namespace vrim
