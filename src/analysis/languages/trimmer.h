// The trimmer stage: strips characters that are not word characters from
// both ends of a token, moving its position with it.
#ifndef VRIM_LANGUAGES_TRIMMER_H_
#define VRIM_LANGUAGES_TRIMMER_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "analysis/token.h"

namespace vrim {

// Keeps the token's text from its first to its last word character
// (Alphabetic, general category Nd, Nl or No, or "_"; with
// `marks_are_word_chars` also the bigram combining marks) and shifts its
// "position" accordingly. Returns false, leaving the text empty, when the
// token has no word character.
// REQUIRES: `token->text` is valid UTF-8.
bool TrimToWordCharacters(Token* token, bool marks_are_word_chars);

// The trimmer of the English, Snowball and Generic languages.
inline bool GenericTrim(Token* token) {
  return TrimToWordCharacters(token, false);
}

// GenericTrim (TrimToWordCharacters with `marks_are_word_chars`) over the
// bytes [*begin, *end) of `text`, for callers that work on spans of one
// buffer: narrows the range to its first through last
// word character, sets `*dropped` to the code points removed at the front
// and `*length` to the code points kept. Returns false, leaving the range
// alone, when it holds no word character.
// REQUIRES: the range is valid UTF-8 on code point boundaries.
bool TrimSpanToWordCharacters(std::string_view text, size_t* begin,
                              size_t* end, uint64_t* dropped,
                              uint64_t* length,
                              bool marks_are_word_chars = false);

}  // namespace vrim

#endif  // VRIM_LANGUAGES_TRIMMER_H_
