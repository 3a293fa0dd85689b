// Facets: how many of a set of documents (the hits of a query) hold each
// value of a column.
#ifndef VRIM_SEARCH_FACETS_H_
#define VRIM_SEARCH_FACETS_H_

#include <cstdint>
#include <optional>
#include <vector>

#include "index/column.h"
#include "index/doc_set.h"

namespace vrim {

struct FacetCount {
  uint32_t code;  // into Column::values()
  uint64_t count;
};

// Each value held by a document of `docs`, with the number of those
// documents holding it: by count, descending, then by value, ascending;
// the first `limit` of them when given. Documents without a value count
// nowhere.
// REQUIRES: `docs` and `column` are of the same index.
std::vector<FacetCount> CountFacets(const DocSet& docs, const Column& column,
                                    std::optional<uint64_t> limit);

}  // namespace vrim

#endif  // VRIM_SEARCH_FACETS_H_
