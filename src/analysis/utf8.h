// UTF-8 helpers shared by every text-handling unit.
//
// Text inside the engine is always valid UTF-8: the binding rejects lone
// surrogates and the binary reader validates every string it reads. The
// decoding helpers below therefore assume valid input unless they say
// otherwise.
#ifndef VRIM_UTF8_H_
#define VRIM_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace vrim {

// Appends the code points of `text` to `*out`.
// REQUIRES: `text` is valid UTF-8.
void DecodeUtf8(std::string_view text, std::vector<char32_t>* out);

// Appends the UTF-8 encoding of `cp` to `*out`.
// REQUIRES: `cp` is a Unicode scalar value.
void AppendUtf8(char32_t cp, std::string* out);

// Encodes `n` code points starting at `cps`.
std::string EncodeUtf8(const char32_t* cps, size_t n);

// Number of code points in `text`.
// REQUIRES: `text` is valid UTF-8.
size_t CountCodePoints(std::string_view text);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, no
// values above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// True when every byte of `text` is below 0x80 (ASCII, so valid UTF-8).
// Reads whole words: the cheap first test before IsValidUtf8.
inline bool IsAscii(std::string_view text) {
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t bits = 0;
  if (n >= 8) {
    uint64_t w;
    for (size_t i = 0; i + 8 <= n; i += 8) {
      std::memcpy(&w, p + i, 8);
      bits |= w;
    }
    std::memcpy(&w, p + n - 8, 8);  // the tail, overlapping
    bits |= w;
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    bits = head | tail;
  } else {
    for (size_t i = 0; i < n; ++i) bits |= static_cast<uint8_t>(p[i]);
  }
  return (bits & 0x8080808080808080u) == 0;
}

// True when byte offset `pos` of `text` starts a character (or is the end).
inline bool IsCharBoundary(std::string_view text, size_t pos) {
  return pos == 0 || pos >= text.size() ||
         (static_cast<uint8_t>(text[pos]) & 0xC0) != 0x80;
}

// Decodes the code point starting at `*p` and advances `*p` past it.
// REQUIRES: `*p < end` and the bytes are valid UTF-8.
inline char32_t NextCodePoint(const char** p) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(*p);
  uint8_t c = s[0];
  if (c < 0x80) {
    *p += 1;
    return c;
  }
  if (c < 0xE0) {
    *p += 2;
    return (char32_t(c & 0x1F) << 6) | (s[1] & 0x3F);
  }
  if (c < 0xF0) {
    *p += 3;
    return (char32_t(c & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) |
           (s[2] & 0x3F);
  }
  *p += 4;
  return (char32_t(c & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) |
         (char32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
}

}  // namespace vrim

#endif  // VRIM_UTF8_H_
