#include "search/matches.h"

#include <algorithm>

namespace vrim {

void NormalizeMatches(std::vector<MatchRef>* matches) {
  if (matches->size() < 2) return;
  std::sort(matches->begin(), matches->end(),
            [](const MatchRef& x, const MatchRef& y) {
              return x.term != y.term ? x.term < y.term : x.field < y.field;
            });
  matches->erase(std::unique(matches->begin(), matches->end(),
                             [](const MatchRef& x, const MatchRef& y) {
                               return x.term == y.term && x.field == y.field;
                             }),
                 matches->end());
}

void FindMatches(const std::vector<ClausePlan>& plans, uint32_t doc,
                 std::vector<MatchRef>* out) {
  for (const ClausePlan& plan : plans) {
    if (plan.clause->presence == Presence::kProhibited ||
        plan.phrase_query != nullptr) {
      continue;  // phrases add their own (phrase_query.h)
    }
    const size_t field_count = plan.fields.size();
    for (size_t i = 0; i < plan.ranges.size(); ++i) {
      const PostingRange& range = plan.ranges[i];
      // Most lists of a wide expansion miss the document: their ends say
      // so without a search.
      if (range.begin == range.end || range.begin->doc > doc ||
          (range.end - 1)->doc < doc) {
        continue;
      }
      const Posting* p = std::partition_point(
          range.begin, range.end,
          [doc](const Posting& x) { return x.doc < doc; });
      if (p != range.end && p->doc == doc) {
        out->push_back(MatchRef{plan.records[i / field_count].term,
                                plan.fields[i % field_count], p});
      }
    }
  }
  NormalizeMatches(out);
}

}  // namespace vrim
