#include "analysis/utf8.h"

#include <cstring>

namespace vrim {

void DecodeUtf8(std::string_view text, std::vector<char32_t>* out) {
  out->reserve(out->size() + text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    if (static_cast<uint8_t>(*p) < 0x80) {
      out->push_back(static_cast<uint8_t>(*p++));
    } else {
      out->push_back(NextCodePoint(&p));
    }
  }
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string EncodeUtf8(const char32_t* cps, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) AppendUtf8(cps[i], &out);
  return out;
}

// Every byte but the continuation bytes (10xxxxxx) starts a code point;
// they are counted eight at a time.
size_t CountCodePoints(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const char* p = text.data();
  const size_t size = text.size();
  size_t n = size;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    // Bit 7 of each byte: set, with bit 6 (shifted up) clear.
    const uint64_t continuation = v & ~(v << 1) & (kOnes << 7);
    n -= ((continuation >> 7) * kOnes) >> 56;
  }
  for (; i < size; ++i) n -= (static_cast<uint8_t>(p[i]) & 0xC0) == 0x80;
  return n;
}

namespace {

// How far an ASCII byte at `s` moves a scan: past the 8 bytes from `s`
// when all are ASCII (runs go a word at a time), else past it alone.
inline size_t AsciiStep(const uint8_t* s, const uint8_t* end) {
  if (end - s < 8) return 1;
  uint64_t w;
  std::memcpy(&w, s, 8);
  return (w & 0x8080808080808080u) == 0 ? 8 : 1;
}

}  // namespace

// The well-formed byte sequences, by lead byte: the second byte's range
// excludes overlongs (after E0, F0), surrogates (after ED) and values above
// U+10FFFF (after F4); every other continuation byte is 80..BF.
bool IsValidUtf8(std::string_view text) {
  const uint8_t* s = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = s + text.size();
  const auto cont = [](uint8_t b) { return (b & 0xC0) == 0x80; };
  while (s < end) {
    const uint8_t c = *s;
    if (c < 0x80) {
      s += AsciiStep(s, end);
      continue;
    }
    // The commonest lead bytes of all: three bytes with no range to check
    // beyond two continuation bytes (most of the scripts written without
    // spaces).
    if (c >= 0xE1 && c <= 0xEF && c != 0xED) {
      if (end - s < 3 || !cont(s[1]) || !cont(s[2])) return false;
      s += 3;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      if (end - s < 2 || !cont(s[1])) return false;
      s += 2;
    } else if (c == 0xE0 || c == 0xED) {
      if (end - s < 3) return false;
      const uint8_t low = c == 0xE0 ? 0xA0 : 0x80;
      const uint8_t high = c == 0xED ? 0x9F : 0xBF;
      if (s[1] < low || s[1] > high || !cont(s[2])) return false;
      s += 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      if (end - s < 4) return false;
      const uint8_t low = c == 0xF0 ? 0x90 : 0x80;
      const uint8_t high = c == 0xF4 ? 0x8F : 0xBF;
      if (s[1] < low || s[1] > high || !cont(s[2]) || !cont(s[3])) {
        return false;
      }
      s += 4;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace vrim
