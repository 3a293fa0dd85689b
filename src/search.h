// Search: evaluates a parsed query against an index with BM25 scoring,
// required/prohibited filtering, wildcard and fuzzy expansion and the CJK
// phrase factor; returns every hit, or the best n, best first.
#ifndef VRIM_SEARCH_H_
#define VRIM_SEARCH_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index.h"
#include "query_parser.h"
#include "query_stats.h"

namespace vrim {

// One matched (term, field) of a hit, pointing into the index. The position
// list is decoded from the posting only when someone asks for it.
struct MatchRef {
  uint32_t term;
  uint32_t field;
  const Posting* posting;  // owned by the index the hit holds
};

// One search result. Holds a reference to its index, so it stays valid
// after every other holder of the index is gone.
struct Hit {
  IndexPtr index;
  uint32_t doc = 0;
  double score = 0.0;
  // Sorted by (term id, field id): term byte order, then field order.
  std::vector<MatchRef> matches;

  const std::string& ref() const { return index->data().refs[doc]; }
};

struct SearchOptions {
  // The number of hits wanted: the first `limit` of the full ranking, ties
  // at the cut broken by reference like the full ranking. Absent: all.
  std::optional<uint64_t> limit;
};

// Hits ordered by score, descending, then by reference bytes.
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
