#include "analysis/languages/trimmer.h"

#include "analysis/tokenizer.h"
#include "analysis/unicode.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

inline bool IsAsciiWordChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_';
}

inline bool IsAsciiNonWordByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x80 && !IsAsciiWordChar(u);
}

inline bool IsWordChar(char32_t cp, bool marks_are_word_chars) {
  if (cp < 0x80) return IsAsciiWordChar(static_cast<unsigned char>(cp));
  return IsAlphabetic(cp) || IsNumeric(cp) ||
         (marks_are_word_chars && IsCombiningMark(cp));
}

}  // namespace

bool TrimToWordCharacters(Token* token, bool marks_are_word_chars) {
  std::string& text = token->text;
  if (text.empty()) return false;
  // Most tokens already begin and end with an ASCII word character.
  if (IsAsciiWordChar(static_cast<unsigned char>(text.front())) &&
      IsAsciiWordChar(static_cast<unsigned char>(text.back()))) {
    if (token->metadata.has_position) {
      token->metadata.length = CountCodePoints(text);
    }
    return true;
  }
  const char* begin = text.data();
  const char* end = begin + text.size();
  const char* p = begin;
  bool found = false;
  size_t first_byte = 0, last_end_byte = 0;
  uint64_t first_cp = 0, last_cp = 0, index = 0;
  while (p < end) {
    const char* start = p;
    char32_t cp = NextCodePoint(&p);
    if (IsWordChar(cp, marks_are_word_chars)) {
      if (!found) {
        found = true;
        first_byte = start - begin;
        first_cp = index;
      }
      last_end_byte = p - begin;
      last_cp = index;
    }
    ++index;
  }
  if (!found) {
    text.clear();
    return false;
  }
  text.erase(last_end_byte);
  text.erase(0, first_byte);
  if (token->metadata.has_position) {
    token->metadata.start += first_cp;
    token->metadata.length = last_cp - first_cp + 1;
  }
  return true;
}

bool TrimSpanToWordCharacters(std::string_view text, size_t* begin,
                              size_t* end, uint64_t* dropped,
                              uint64_t* length, bool marks_are_word_chars) {
  if (*begin >= *end) return false;
  const char* base = text.data();
  // ASCII punctuation at either end (one code point a byte) is dropped
  // without decoding; most spans then begin and end with ASCII word
  // characters.
  size_t b = *begin;
  size_t e = *end;
  while (b < e && IsAsciiNonWordByte(base[b])) ++b;
  if (b == e) return false;
  while (IsAsciiNonWordByte(base[e - 1])) --e;
  if (IsAsciiWordChar(static_cast<unsigned char>(base[b])) &&
      IsAsciiWordChar(static_cast<unsigned char>(base[e - 1]))) {
    *dropped = b - *begin;
    *length = CountCodePoints(std::string_view(base + b, e - b));
    *begin = b;
    *end = e;
    return true;
  }
  const char* p = base + b;
  const char* stop = base + e;
  bool found = false;
  size_t first_byte = 0, last_end_byte = 0;
  uint64_t first_cp = 0, last_cp = 0, index = b - *begin;
  while (p < stop) {
    const char* start = p;
    const char32_t cp = NextCodePoint(&p);
    if (IsWordChar(cp, marks_are_word_chars)) {
      if (!found) {
        found = true;
        first_byte = start - base;
        first_cp = index;
      }
      last_end_byte = p - base;
      last_cp = index;
    }
    ++index;
  }
  if (!found) return false;
  *begin = first_byte;
  *end = last_end_byte;
  *dropped = first_cp;
  *length = last_cp - first_cp + 1;
  return true;
}

}  // namespace vrim
