#include "search/phrase_check.h"

#include <algorithm>
#include <utility>

#include "index/positions.h"
#include "search/phrase.h"

namespace vrim {

bool PhraseChecker::Occurs(uint32_t phrase, uint32_t doc, uint32_t field) {
  const uint64_t key = (static_cast<uint64_t>(doc) << 32) | field;
  auto [it, inserted] = cache_[phrase].try_emplace(key, false);
  if (inserted) it->second = Verify(phrase, doc, field);
  return it->second;
}

double PhraseChecker::PhraseFactor(const TermRecord& record, uint32_t doc,
                                   uint32_t field) {
  double factor = 1.0;
  for (uint32_t phrase : record.phrases) {
    if (Occurs(phrase, doc, field)) factor *= 2.0;
  }
  return factor;
}

bool PhraseChecker::Verify(uint32_t phrase, uint32_t doc,
                         uint32_t field) {
  const std::vector<int64_t>& ids = plan_.phrase_term_ids[phrase];
  std::vector<std::vector<uint64_t>> positions(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] < 0) return false;
    const uint32_t term = static_cast<uint32_t>(ids[i]);
    const Posting* end = index_.postings_end(term);
    const Posting* p = std::lower_bound(
        index_.postings_begin(term), end, std::make_pair(field, doc),
        [&](const Posting& a, const std::pair<uint32_t, uint32_t>& key) {
          const uint32_t a_field = index_.field(a);
          return a_field < key.first ||
                 (a_field == key.first && a.doc < key.second);
        });
    if (p == end || index_.field(*p) != field || p->doc != doc ||
        index_.position_count(*p) == 0) {
      return false;
    }
    std::vector<uint64_t>& starts = positions[i];
    DecodeStarts(index_.PositionList(p), index_.position_count(*p), &starts);
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  }
  return VerifyPhrase(plan_.phrases[phrase], positions);
}

}  // namespace vrim
