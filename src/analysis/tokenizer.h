// Tokenizers over normalized text: the separator splitter and the generic
// tokenizer (runs of East and South-East Asian scripts kept whole, all other
// text split at separators). The bigram tokenizer is languages/cjk.h.
//
// Every position is (start, length) in code points of the text handed in,
// and every token's "index" is its ordinal in the returned list.
#ifndef VRIM_TOKENIZER_H_
#define VRIM_TOKENIZER_H_

#include <cstdint>
#include <string_view>

#include "analysis/token.h"

namespace vrim {

// Script classes (numbered as stored in bigram class lists); kOtherScript
// is everything else.
enum Script : int {
  kHanScript = 0,
  kHiraganaScript = 1,
  kKatakanaScript = 2,
  kHangulScript = 3,
  kThaiScript = 4,
  kLaoScript = 5,
  kKhmerScript = 6,
  kMyanmarScript = 7,
  kTibetanScript = 8,
  kOtherScript = 9,
};

Script ScriptClass(char32_t cp);

inline bool IsScriptChar(char32_t cp) {
  return cp >= 0xE01 && ScriptClass(cp) != kOtherScript;
}

// The marks that stay glued to the preceding character when bigram clusters
// are formed (kana voicing marks, Thai, Lao, Tibetan, Myanmar and Khmer
// vowel signs and diacritics).
bool IsCombiningMark(char32_t cp);

// Maximal runs of characters not in `separators`.
// REQUIRES: `text` and `separators` are valid UTF-8.
TokenList SplitOnSeparators(std::string_view text, std::string_view separators);

// The generic tokenizer: each run of one script class (kana voicing marks
// and U+30FC joining any run) is one token; the text between such runs is
// split at `separators`.
// REQUIRES: `normalized_text` and `separators` are valid UTF-8.
TokenList TokenizeGeneric(std::string_view normalized_text,
                          std::string_view separators);

// TokenizeGeneric over the text normalized with the default normalizer, or
// the Turkish one when `turkish` is set; ASCII text takes a single pass.
// REQUIRES: `text` and `separators` are valid UTF-8.
TokenList NormalizeAndTokenizeGeneric(std::string_view text, bool turkish,
                                      std::string_view separators);

// As NormalizeAndTokenizeGeneric, but replaces the contents of `*out`, so
// a caller tokenizing many texts can reuse one list's storage.
void NormalizeAndTokenizeGenericInto(std::string_view text, bool turkish,
                                     std::string_view separators,
                                     TokenList* out);

struct ByteSpan {
  size_t begin;
  size_t end;
};

// When `text` is all ASCII (and, with `turkish`, holds no 'I'), appends the
// byte spans of the tokens NormalizeAndTokenizeGeneric would make, and
// returns true: each token is then the span's bytes with A-Z lowercased.
// Otherwise returns false and appends nothing.
// REQUIRES: `separators` is valid UTF-8.
bool SplitPlainAscii(std::string_view text, bool turkish,
                     std::string_view separators, std::vector<ByteSpan>* out);

// Appends the byte spans of the tokens TokenizeGeneric would make: each
// token is exactly its span of `normalized_text`.
// REQUIRES: `normalized_text` and `separators` are valid UTF-8.
void SplitGeneric(std::string_view normalized_text,
                  std::string_view separators, std::vector<ByteSpan>* out);

// The byte spans of the tokens TokenizeInto makes with `bigram_classes`.
// Begins never decrease (bigrams overlap only forward).
// REQUIRES: `normalized_text` and `separators` are valid UTF-8.
void SplitBigram(std::string_view normalized_text,
                 std::string_view separators, uint32_t bigram_classes,
                 std::vector<ByteSpan>* out);

// The shared scanner behind TokenizeGeneric and the bigram tokenizer:
// appends to `*out` as TokenizeGeneric does, except that runs whose class
// bit is set in `bigram_classes` (bit n for class n) are cut into
// overlapping bigrams of character clusters.
void TokenizeInto(std::string_view normalized_text,
                  std::string_view separators, uint32_t bigram_classes,
                  TokenList* out);

}  // namespace vrim

#endif  // VRIM_TOKENIZER_H_
