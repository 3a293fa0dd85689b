// Search: evaluates a parsed query against an index with BM25 scoring,
// required/prohibited filtering, wildcard and fuzzy expansion and the CJK
// phrase factor; returns every hit, or the best n, best first.
#ifndef VRIM_SEARCH_H_
#define VRIM_SEARCH_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/doc_set.h"
#include "index/index.h"
#include "search/hit.h"
#include "search/query_parser.h"
#include "search/query_stats.h"

namespace vrim {

struct SearchOptions {
  // The number of hits wanted: the first `limit` of the full ranking, ties
  // at the cut broken by reference like the full ranking. Absent: all.
  std::optional<uint64_t> limit;
  // Hits of the ranking skipped before the `limit` kept: pages through
  // the same order.
  uint64_t offset = 0;
  // Only these documents can be hits; scores stay those of the whole
  // index (or of the given statistics). Null: every document.
  // REQUIRES: a set of the searched index's documents.
  const DocSet* filter = nullptr;
};

// Hits ordered by score, descending, then by reference bytes: of the full
// ranking, those in the filter, from `offset` on, at most `limit`.
// REQUIRES: `query` was parsed against `index`'s fields.
std::vector<Hit> Search(const IndexPtr& index, const Query& query,
                        const SearchOptions& options = {});

// The same search scoring with `stats` (query statistics of `query`
// summed over the shards of a collection, this index among them) instead
// of the index's own: every score is what one index over the whole
// collection gives its document. False with `error` when `stats` does not
// fit: other fields, malformed, or lacking a term the query matches here.
// REQUIRES: `query` was parsed against `index`'s fields.
bool SearchWithStats(const IndexPtr& index, const Query& query,
                     const QueryStats& stats, const SearchOptions& options,
                     std::vector<Hit>* hits, std::string* error);

}  // namespace vrim

#endif  // VRIM_SEARCH_H_
