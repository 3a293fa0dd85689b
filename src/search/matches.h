// The matches of a hit: the postings of the query's terms in its document,
// looked up for the hits a search keeps.
#ifndef VRIM_SEARCH_MATCHES_H_
#define VRIM_SEARCH_MATCHES_H_

#include <cstdint>
#include <vector>

#include "search/hit.h"
#include "search/search_plan.h"

namespace vrim {

// Sorts `matches` by (term, field) and keeps each pair once.
void NormalizeMatches(std::vector<MatchRef>* matches);

// Appends the postings that the scored clauses of `plans` other than
// phrases have in `doc`, found by bisecting each list, then normalizes
// `out`.
void FindMatches(const std::vector<ClausePlan>& plans, uint32_t doc,
                 std::vector<MatchRef>* out);

}  // namespace vrim

#endif  // VRIM_SEARCH_MATCHES_H_
