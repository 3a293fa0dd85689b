// A hit of a search and the postings it matched.
#ifndef VRIM_SEARCH_HIT_H_
#define VRIM_SEARCH_HIT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "index/index.h"

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

}  // namespace vrim

#endif  // VRIM_SEARCH_HIT_H_
