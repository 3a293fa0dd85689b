// A hit of a search and the postings it matched.
#ifndef VRIM_SEARCH_HIT_H_
#define VRIM_SEARCH_HIT_H_

#include <algorithm>
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

// The positions of a match that only phrase clauses made: entries of its
// posting's decoded position list, those of the phrase occurrences.
struct MatchSelection {
  uint32_t term;
  uint32_t field;
  std::vector<uint32_t> entries;  // ascending
};

// One search result. Holds a reference to its index, so it stays valid
// after every other holder of the index is gone.
struct Hit {
  IndexPtr index;
  uint32_t doc = 0;
  double score = 0.0;
  // Sorted by (term id, field id): term byte order, then field order.
  std::vector<MatchRef> matches;
  // Sorted by (term id, field id); a match without one keeps all its
  // positions.
  std::vector<MatchSelection> selections;

  std::string_view ref() const { return index->data().ref(doc); }
};

// Keeps of `positions`, the decoded positions of `match`, those its
// selection names, when it has one.
// REQUIRES: `match` belongs to `hit`.
inline void KeepSelected(const Hit& hit, const MatchRef& match,
                         std::vector<Position>* positions) {
  const auto it = std::lower_bound(
      hit.selections.begin(), hit.selections.end(), match,
      [](const MatchSelection& s, const MatchRef& m) {
        return s.term != m.term ? s.term < m.term : s.field < m.field;
      });
  if (it == hit.selections.end() || it->term != match.term ||
      it->field != match.field) {
    return;
  }
  std::vector<Position> kept;
  kept.reserve(it->entries.size());
  for (uint32_t entry : it->entries) {
    if (entry < positions->size()) kept.push_back((*positions)[entry]);
  }
  *positions = std::move(kept);
}

}  // namespace vrim

#endif  // VRIM_SEARCH_HIT_H_
