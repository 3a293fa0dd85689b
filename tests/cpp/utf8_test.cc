#include "utf8.h"

#include <gtest/gtest.h>

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
