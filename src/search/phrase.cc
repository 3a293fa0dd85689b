#include "search/phrase.h"

#include <algorithm>
#include <cassert>

namespace vrim {

namespace {

void Close(const std::vector<const PhraseToken*>& group,
           std::vector<Phrase>* out) {
  if (group.size() < 2) return;
  Phrase phrase;
  const uint64_t first = group.front()->start;
  for (const PhraseToken* token : group) {
    phrase.terms.emplace_back(token->text);
    phrase.offsets.push_back(token->start - first);
  }
  out->push_back(std::move(phrase));
}

}  // namespace

std::vector<Phrase> GroupBigrams(const std::vector<PhraseToken>& tokens) {
  std::vector<Phrase> phrases;
  std::vector<const PhraseToken*> group;
  for (const PhraseToken& token : tokens) {
    if (!token.bigram || !token.has_position) {
      Close(group, &phrases);
      group.clear();
      continue;
    }
    if (!group.empty()) {
      // Consecutive bigrams of one run overlap: p < s < p + max(l, 1).
      const PhraseToken& last = *group.back();
      const bool continues =
          last.start < token.start &&
          token.start - last.start < std::max<uint64_t>(last.length, 1);
      if (!continues) {
        Close(group, &phrases);
        group.clear();
      }
    }
    group.push_back(&token);
  }
  Close(group, &phrases);
  return phrases;
}

bool VerifyPhrase(const Phrase& phrase,
                  const std::vector<std::vector<uint64_t>>& positions) {
  assert(!phrase.terms.empty() && "phrases have at least two terms");
  const size_t n = phrase.terms.size();
  // Anchor on the rarest term (the earliest on ties) and probe the others.
  size_t anchor = 0;
  for (size_t i = 1; i < n; ++i) {
    if (positions[i].size() < positions[anchor].size()) anchor = i;
  }
  const uint64_t anchor_offset = phrase.offsets[anchor];
  for (uint64_t a : positions[anchor]) {
    if (a < anchor_offset) continue;
    const uint64_t base = a - anchor_offset;
    bool all = true;
    for (size_t i = 0; i < n && all; ++i) {
      if (i == anchor) continue;
      const uint64_t offset = phrase.offsets[i];
      if (base > UINT64_MAX - offset) {
        all = false;
        break;
      }
      all = std::binary_search(positions[i].begin(), positions[i].end(),
                               base + offset);
    }
    if (all) return true;
  }
  return false;
}

}  // namespace vrim
