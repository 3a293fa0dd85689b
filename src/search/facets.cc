#include "search/facets.h"

#include <algorithm>

namespace vrim {

std::vector<FacetCount> CountFacets(const DocSet& docs, const Column& column,
                                    std::optional<uint64_t> limit) {
  std::vector<uint64_t> counts(column.values().size(), 0);
  docs.ForEach([&](uint32_t doc) {
    const uint32_t code = column.code(doc);
    if (code != Column::kNoValue) ++counts[code];
  });
  std::vector<FacetCount> facets;
  for (uint32_t code = 0; code < counts.size(); ++code) {
    if (counts[code] > 0) facets.push_back(FacetCount{code, counts[code]});
  }
  // Codes ascend with values, so the code breaks ties.
  auto before = [](const FacetCount& a, const FacetCount& b) {
    return a.count > b.count || (a.count == b.count && a.code < b.code);
  };
  if (limit.has_value() && *limit < facets.size()) {
    std::partial_sort(facets.begin(),
                      facets.begin() + static_cast<ptrdiff_t>(*limit),
                      facets.end(), before);
    facets.resize(*limit);
  } else {
    std::sort(facets.begin(), facets.end(), before);
  }
  return facets;
}

}  // namespace vrim
