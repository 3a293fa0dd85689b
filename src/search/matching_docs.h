// The hits of a query as a set, found without scoring: what counting and
// faceting need of a search.
#ifndef VRIM_SEARCH_MATCHING_DOCS_H_
#define VRIM_SEARCH_MATCHING_DOCS_H_

#include <string>

#include "index/doc_set.h"
#include "index/index.h"
#include "search/query_parser.h"
#include "search/query_stats.h"
#include "search/search_plan.h"

namespace vrim {

// The documents a search of `plans` returns when nothing limits it (only
// those of `filter`, when not null): every document holding a term of a
// scoring clause, every required clause and no prohibited one; with only
// prohibited clauses, every document none of them touches.
// REQUIRES: `filter`, when not null, is a set of `index`'s documents.
DocSet MatchingDocs(const Index& index, const QueryPlan& plans,
                    const DocSet* filter);

// The same for a parsed query. With `stats` (may be null), false with
// `error` where SearchWithStats would fail: statistics that do not fit
// the index or lack a term the query matches.
// REQUIRES: `query` was parsed against `index`'s fields.
bool MatchingDocs(const Index& index, const Query& query,
                  const QueryStats* stats, const DocSet* filter, DocSet* out,
                  std::string* error);

}  // namespace vrim

#endif  // VRIM_SEARCH_MATCHING_DOCS_H_
