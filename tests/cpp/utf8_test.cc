#include "analysis/utf8.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vrim {
namespace {

TEST(Utf8, DecodeEncodeRoundTripAcrossWidths) {
  const std::u32string cps = {U'a', U'\u00f1', U'\u20ac', U'\U0001F600', 0,
                              U'\u07FF', U'\u0800', U'\uFFFF', U'\U00010000',
                              U'\U0010FFFF'};
  std::string text = EncodeUtf8(cps.data(), cps.size());
  EXPECT_TRUE(IsValidUtf8(text));
  std::vector<char32_t> back;
  DecodeUtf8(text, &back);
  EXPECT_EQ(std::u32string(back.begin(), back.end()), cps);
  EXPECT_EQ(CountCodePoints(text), cps.size());
}

TEST(Utf8, CountCodePointsAtEveryLengthAndOffset) {
  const std::string text =
      "ab\u00f1c\u20acdefgh\U0001F600ijklmnop\u0800q\u07FFrs";
  for (size_t b = 0; b <= text.size(); ++b) {
    if (!IsCharBoundary(text, b)) continue;
    for (size_t e = b; e <= text.size(); ++e) {
      if (!IsCharBoundary(text, e)) continue;
      std::vector<char32_t> cps;
      DecodeUtf8(text.substr(b, e - b), &cps);
      EXPECT_EQ(CountCodePoints(text.substr(b, e - b)), cps.size()) << b;
    }
  }
}

TEST(Utf8, RejectsMalformedInput) {
  const char* bad[] = {
      "\x80",              // lone continuation byte
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\x80",      // overlong three-byte
      "\xED\xA0\x80",      // surrogate U+D800
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  // invalid lead byte
      "\xE2\x82",          // truncated
      "a\xE2\x28\xA1",     // bad continuation
  };
  for (const char* s : bad) EXPECT_FALSE(IsValidUtf8(s)) << s;
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8(std::string_view("a\0b", 3)));
}

// The definition: decode by the lead byte's length, then refuse overlongs,
// surrogates and values above U+10FFFF.
bool ValidByDecoding(const uint8_t* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    char32_t min, cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, min = 0x80, cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, min = 0x800, cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

// Every string of up to three bytes, and four-byte strings over the bytes
// that decide a sequence; also each after seven and eight ASCII bytes, so
// the word-at-a-time skip leads in.
TEST(Utf8, ValidationMatchesDecodingExhaustively) {
  const uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0,
                           0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC,
                           0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5,
                           0xFF};
  auto check = [](const std::vector<uint8_t>& bytes) {
    for (size_t pad : {0, 7, 8}) {
      std::string text(pad, 'a');
      text.append(bytes.begin(), bytes.end());
      const auto* s = reinterpret_cast<const uint8_t*>(text.data());
      ASSERT_EQ(IsValidUtf8(text), ValidByDecoding(s, text.size()))
          << pad << " " << int{bytes[0]};
    }
  };
  for (uint32_t v = 0; v < (1u << 24); ++v) {
    check({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)});
    if (v < 256) check({uint8_t(v)});
    if (v < (1u << 16)) check({uint8_t(v), uint8_t(v >> 8)});
  }
  for (uint8_t a : edges)
    for (uint8_t b : edges)
      for (uint8_t c : edges)
        for (uint8_t d : edges) check({a, b, c, d});
}

TEST(Utf8, IsAsciiSeesAHighByteAnywhere) {
  for (size_t n = 0; n <= 20; ++n) {
    std::string text(n, 'a');
    EXPECT_TRUE(IsAscii(text)) << n;
    for (size_t i = 0; i < n; ++i) {
      std::string high = text;
      high[i] = '\x80';
      EXPECT_FALSE(IsAscii(high)) << n << " " << i;
    }
  }
}

TEST(Utf8, CharBoundaries) {
  std::string s = "a\u00f1b";  // 'a', two bytes, 'b'
  EXPECT_TRUE(IsCharBoundary(s, 0));
  EXPECT_TRUE(IsCharBoundary(s, 1));
  EXPECT_FALSE(IsCharBoundary(s, 2));
  EXPECT_TRUE(IsCharBoundary(s, 3));
  EXPECT_TRUE(IsCharBoundary(s, 4));
}

}  // namespace
}  // namespace vrim
