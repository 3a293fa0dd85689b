// The exhaustive evaluator: scores every posting of a query, term at a
// time, for queries that want every hit or do not suit pruning, and the
// documents left by a query of prohibited clauses only.
#ifndef VRIM_SEARCH_EXHAUSTIVE_H_
#define VRIM_SEARCH_EXHAUSTIVE_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "index/doc_set.h"
#include "search/hit.h"
#include "search/search_plan.h"

namespace vrim {

// Every hit, or the best `limit`, best first, ties by document id, each
// with its matches, the first `offset` of them left out. With a filter,
// only its documents are scored at all.
// REQUIRES: some clause of `plans` is not prohibited; `filter`, when not
// null, is a set of the index's documents.
std::vector<Hit> ExhaustiveHits(const IndexPtr& index_ptr,
                                const QueryPlan& plans,
                                std::optional<uint64_t> limit,
                                uint64_t offset = 0,
                                const DocSet* filter = nullptr);

// The first `limit` documents (of `filter`, when not null) that no clause
// of `plans` touches, in document order, scoring 0 and without matches.
// REQUIRES: every clause of `plans` is prohibited.
std::vector<Hit> UnprohibitedHits(const IndexPtr& index_ptr,
                                  const QueryPlan& plans, uint64_t limit,
                                  const DocSet* filter = nullptr);

}  // namespace vrim

#endif  // VRIM_SEARCH_EXHAUSTIVE_H_
