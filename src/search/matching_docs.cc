#include "search/matching_docs.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "search/allowed_postings.h"

namespace vrim {

namespace {

// Sets the bit of every allowed document among the plan's postings.
void MarkPostings(const ClausePlan& plan, const AllowedPostings& allowed,
                  std::vector<uint64_t>* bits) {
  for (const PostingRange& range : plan.ranges) {
    allowed.ForEach(range, [&](const Posting* p) {
      (*bits)[p->doc / 64] |= uint64_t{1} << (p->doc % 64);
    });
  }
}

}  // namespace

DocSet MatchingDocs(const Index& index, const QueryPlan& plans,
                    const DocSet* filter) {
  const uint32_t universe = static_cast<uint32_t>(index.doc_count_stored());
  const size_t words = DocSet::WordCount(universe);
  if (plans.clauses.empty()) return DocSet::FromSortedIds(universe, {});
  std::vector<uint64_t> hits(words, 0);
  std::vector<uint64_t> clause(words, 0);
  std::vector<uint64_t> prohibited(words, 0);
  if (plans.all_prohibited) {
    hits = filter == nullptr ? DocSet::All(universe).Bits() : filter->Bits();
  }
  const AllowedPostings allowed(filter, plans.clauses);
  bool first_required = true;
  for (const ClausePlan& plan : plans.clauses) {
    switch (plan.clause->presence) {
      case Presence::kProhibited:
        MarkPostings(plan, allowed, &prohibited);
        break;
      case Presence::kRequired:
        // Every required clause holds all hits: the first one starts the
        // set, the others narrow it; optional clauses then add nothing.
        std::fill(clause.begin(), clause.end(), 0);
        MarkPostings(plan, allowed, &clause);
        for (size_t w = 0; w < words; ++w) {
          hits[w] = first_required ? clause[w] : hits[w] & clause[w];
        }
        first_required = false;
        break;
      default:
        if (plans.required == 0) MarkPostings(plan, allowed, &hits);
        break;
    }
  }
  for (size_t w = 0; w < words; ++w) hits[w] &= ~prohibited[w];
  return DocSet::FromBits(universe, std::move(hits));
}

bool MatchingDocs(const Index& index, const Query& query,
                  const QueryStats* stats, const DocSet* filter, DocSet* out,
                  std::string* error) {
  if (stats != nullptr && !CheckQueryStats(index, *stats, error)) return false;
  const uint32_t universe = static_cast<uint32_t>(index.doc_count_stored());
  if (query.clauses.empty() || (filter != nullptr && filter->empty())) {
    *out = DocSet::FromSortedIds(universe, {});
    return true;
  }
  const ScoringStats own(index);
  std::optional<ScoringStats> given;
  if (stats != nullptr) given.emplace(index, *stats);
  const QueryPlan plans = PlanQuery(index, query, given ? *given : own);
  if (!PlanHasEveryTerm(plans, error)) return false;
  *out = MatchingDocs(index, plans, filter);
  return true;
}

}  // namespace vrim
