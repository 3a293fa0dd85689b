// Text analysis of one field for the builder: normalization, tokenizer and
// trimmer of a language, giving the kept token texts with their hashed keys
// and positions. Stop words and stems are left to the caller, which caches
// them per distinct text.
//
// One analyzer per thread: it reuses its buffers from field to field.
// Tokens longer than a maximum (in characters of the normalized text) are
// dropped and counted.
#ifndef VRIM_FIELD_ANALYZER_H_
#define VRIM_FIELD_ANALYZER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "analysis/token.h"
#include "analysis/tokenizer.h"
#include "build/hashed_key.h"
#include "index/positions.h"

namespace vrim {

// A token the trimmer kept. Its text points into the analyzer's buffers.
struct KeyedToken {
  HashedKey key;
  Position position;
  bool has_position;  // false: the token sits at 0 and spans its term
};

class FieldAnalyzer {
 public:
  // Keeps tokens of at most `max_token_length` characters.
  // REQUIRES: `language` outlives the analyzer.
  FieldAnalyzer(const Language& language, uint64_t max_token_length);

  // The kept tokens of `text`, in order; valid until the next call.
  // REQUIRES: `text` is valid UTF-8.
  const std::vector<KeyedToken>& Analyse(std::string_view text);

  // Frees the buffers Analyse() reuses; the next call makes them again.
  void FreeBuffers();

  // Tokens dropped for their length, over every call so far.
  uint64_t dropped() const { return dropped_; }

 private:
  void AnalyseAscii(std::string_view text);
  void AnalyseGeneric(std::string_view text);
  void AnalyseBigram(std::string_view text);
  template <bool kDisjoint, class Trim>
  void KeepSpans(const Trim& trim);
  void AnalyseGeneral(std::string_view text);
  // Whether a token of `length` characters is kept; counts the others.
  bool Keeps(uint64_t length) {
    if (length <= max_token_length_) return true;
    ++dropped_;
    return false;
  }

  const Language& language_;
  const uint64_t max_token_length_;
  uint64_t dropped_ = 0;
  bool turkish_ = false;  // set by the initializer of generic_tokenizer_
  const bool generic_tokenizer_;
  uint32_t bigram_classes_ = 0;  // set by the initializer of bigram_tokenizer_
  const bool bigram_tokenizer_;
  std::vector<KeyedToken> keys_;
  std::string buffer_;           // one field's normalized text
  std::vector<ByteSpan> spans_;  // its tokens
  TokenList tokens_;             // or its tokens, on the general path
};

}  // namespace vrim

#endif  // VRIM_FIELD_ANALYZER_H_
