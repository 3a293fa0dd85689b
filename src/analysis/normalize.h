// Text normalization: the fold pass (full-width Latin, half-width katakana
// and Hangul, kana voicing marks, exotic spaces) followed by lowercasing.
// Every offset the index reports counts code points of the normalized text.
#ifndef VRIM_NORMALIZE_H_
#define VRIM_NORMALIZE_H_

#include <string>
#include <string_view>

namespace vrim {

// Fold pass, then default lowercasing (with the final-sigma rule).
// REQUIRES: `text` is valid UTF-8 (as are all functions below).
std::string NormalizeDefault(std::string_view text);

// Fold pass, then Turkish lowercasing (I -> ı, İ -> i, no final sigma).
std::string NormalizeTurkish(std::string_view text);

// Lowercasing alone, without the fold pass: what stemmers apply.
std::string LowercaseDefault(std::string_view text);
std::string LowercaseTurkish(std::string_view text);

// Writes `text` with A-Z lowercased to out[0, text.size()), eight bytes at
// a time: the default and the Turkish rules of ASCII text without 'I'.
// REQUIRES: `text` is all ASCII; `out` has room for text.size() bytes (it
// may be text.data() itself).
void LowercaseAsciiInto(std::string_view text, char* out);

// Removes leading and trailing Unicode White_Space.
std::string_view TrimWhiteSpace(std::string_view text);

}  // namespace vrim

#endif  // VRIM_NORMALIZE_H_
