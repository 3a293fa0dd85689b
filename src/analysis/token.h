// A token: one unit of text produced by a tokenizer and consumed by the
// language pipeline, the index builder and the query side.
#ifndef VRIM_TOKEN_H_
#define VRIM_TOKEN_H_

#include <cstdint>
#include <string>
#include <vector>

namespace vrim {

// The token's metadata. The tokenizer always sets both entries; the trimmer
// may move "position", the stemmer leaves it alone, and consumers must
// tolerate a missing position (a token made by hand).
struct TokenMetadata {
  bool has_position = false;
  uint64_t start = 0;   // "position": code points into the normalized text
  uint64_t length = 0;
  bool has_index = false;
  uint64_t index = 0;   // "index": ordinal in the tokenizer's output
};

struct Token {
  std::string text;
  TokenMetadata metadata;

  Token() = default;
  Token(std::string t, uint64_t start, uint64_t length, uint64_t index)
      : text(std::move(t)) {
    metadata.has_position = true;
    metadata.start = start;
    metadata.length = length;
    metadata.has_index = true;
    metadata.index = index;
  }
};

using TokenList = std::vector<Token>;

}  // namespace vrim

#endif  // VRIM_TOKEN_H_
