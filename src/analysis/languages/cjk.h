// Bigram scripts: the tokenizer that cuts runs of Han, kana, Hangul and the
// South-East Asian and Tibetan scripts into overlapping pairs of character
// clusters, and the trimmer that goes with it.
#ifndef VRIM_LANGUAGES_CJK_H_
#define VRIM_LANGUAGES_CJK_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "analysis/token.h"
#include "analysis/tokenizer.h"

namespace vrim {

// Bit n set for every script class n in `classes`.
uint32_t BigramClassMask(const std::vector<int>& classes);

// Normalizes `text` with the default normalizer, then tokenizes it; runs of
// the classes in `bigram_classes` (a BigramClassMask) become bigrams.
// REQUIRES: `text` is valid UTF-8.
TokenList TokenizeBigram(std::string_view text, uint32_t bigram_classes);

// Appends the bigrams of one script run of class `script`: the run is
// text[byte_begin, byte_end) and starts at code point `cp_begin`. A run of a
// single cluster becomes one token.
void AppendBigrams(std::string_view text, size_t byte_begin, size_t byte_end,
                   uint64_t cp_begin, int script, TokenList* out);

// The byte spans of the tokens AppendBigrams appends for the same run.
void AppendBigramSpans(std::string_view text, size_t byte_begin,
                       size_t byte_end, int script,
                       std::vector<ByteSpan>* out);

// The bigram languages' trimmer: tokens made only of script characters are
// kept whole (dropped when they are all marks, all U+30FC, or start with a
// mark); anything else is trimmed like the generic trimmer, with marks
// counted as word characters. Returns false when the token is dropped.
bool BigramTrim(Token* token);

// BigramTrim over the bytes [*begin, *end) of `text`, in the manner of
// TrimSpanToWordCharacters: narrows the range, sets `*dropped` to the code
// points removed at the front and `*length` to those kept; returns false
// when the token is dropped.
// REQUIRES: the range is valid UTF-8 on code point boundaries.
bool BigramTrimSpan(std::string_view text, size_t* begin, size_t* end,
                    uint64_t* dropped, uint64_t* length);

}  // namespace vrim

#endif  // VRIM_LANGUAGES_CJK_H_
