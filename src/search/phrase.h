// Phrase verification for bigram scripts: consecutive overlapping bigrams
// of a query term form a phrase, and a phrase occurs in a field when all
// its bigrams appear there with the same spacing as in the query.
#ifndef VRIM_PHRASE_H_
#define VRIM_PHRASE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vrim {

struct Phrase {
  std::vector<std::string> terms;  // at least two, in query order
  std::vector<uint64_t> offsets;   // start minus the first term's start
};

// One query token as the grouping sees it.
struct PhraseToken {
  std::string_view text;
  bool has_position = false;
  uint64_t start = 0;
  uint64_t length = 0;
  bool bigram = false;  // its first character is in a bigram script
};

// Groups runs of overlapping bigram tokens into phrases; runs of fewer than
// two tokens are dropped.
std::vector<Phrase> GroupBigrams(const std::vector<PhraseToken>& tokens);

// True when the phrase occurs: some start s has every term i at
// s + offsets[i]. `positions[i]` lists the starts of term i in one field of
// one document, ascending without duplicates (empty when absent).
// REQUIRES: !phrase.terms.empty(); positions.size() == phrase.terms.size().
bool VerifyPhrase(const Phrase& phrase,
                  const std::vector<std::vector<uint64_t>>& positions);

}  // namespace vrim

#endif  // VRIM_PHRASE_H_
