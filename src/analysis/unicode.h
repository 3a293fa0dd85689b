// Unicode character properties, answered from tables that
// tools/gen_unicode_tables.py generates from the Unicode Character Database
// (the generated file names the Unicode version it was made from).
#ifndef VRIM_UNICODE_H_
#define VRIM_UNICODE_H_

#include <cstddef>

namespace vrim {

// Full lowercase mapping of `cp` (UnicodeData simple mapping overridden by
// the unconditional entries of SpecialCasing). Writes 1 to 3 code points to
// `out` and returns how many. Characters without a mapping map to
// themselves. U+03A3 maps to U+03C3 here; the final-sigma rule is the
// caller's.
size_t LowercaseMapping(char32_t cp, char32_t out[3]);

bool IsCased(char32_t cp);
bool IsCaseIgnorable(char32_t cp);
bool IsAlphabetic(char32_t cp);
// General category Nd, Nl or No.
bool IsNumeric(char32_t cp);
bool IsWhiteSpace(char32_t cp);
// False for control, format, surrogate, private-use, unassigned, line and
// paragraph separators and every space separator but U+0020: the
// characters that quoted strings in messages write as escapes.
bool IsPrintable(char32_t cp);

}  // namespace vrim

#endif  // VRIM_UNICODE_H_
