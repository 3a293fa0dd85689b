#include "analysis/unicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace vrim {
namespace {

std::vector<char32_t> Lower(char32_t cp) {
  char32_t out[3];
  size_t n = LowercaseMapping(cp, out);
  return std::vector<char32_t>(out, out + n);
}

TEST(UnicodeTest, LowercaseMapping) {
  struct Case {
    char32_t in;
    std::vector<char32_t> out;
  } cases[] = {
      {U'A', {U'a'}},           {U'z', {U'z'}},
      {U'@', {U'@'}},           {U'[', {U'['}},
      {0xC0, {0xE0}},           {0xDF, {0xDF}},  // sharp s has no lower form
      {0x130, {0x69, 0x307}},   {0x49, {0x69}},
      {0x3A3, {0x3C3}},         {0x391, {0x3B1}},
      {0x410, {0x430}},         {0x1E9E, {0xDF}},
      {0x2126, {0x3C9}},        {0x212A, {0x6B}},
      {0xFF21, {0xFF41}},       {0x10400, {0x10428}},
      {0x1E900, {0x1E922}},     {0x4E2D, {0x4E2D}},
      {0x10FFFF, {0x10FFFF}},   {0x1F88, {0x1F80}},  // title-case-like capital
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Lower(c.in), c.out) << std::hex << uint32_t(c.in);
  }
}

// Lowercasing copies this block without looking it up.
TEST(UnicodeTest, NoLowercaseMappingsInKanaAndCjk) {
  for (char32_t cp = 0x3000; cp <= 0x9FFF; ++cp) {
    ASSERT_EQ(Lower(cp), std::vector<char32_t>{cp}) << std::hex << uint32_t(cp);
  }
}

TEST(UnicodeTest, Properties) {
  struct Case {
    char32_t cp;
    bool cased, ignorable, alphabetic, numeric, white, printable;
  } cases[] = {
      {U'a', true, false, true, false, false, true},
      {U'Z', true, false, true, false, false, true},
      {U'5', false, false, false, true, false, true},
      {U'_', false, false, false, false, false, true},
      {U' ', false, false, false, false, true, true},
      {U'\t', false, false, false, false, true, false},
      {U'\'', false, true, false, false, false, true},
      {U'.', false, true, false, false, false, true},
      {0x00A0, false, false, false, false, true, false},
      {0x00AD, false, true, false, false, false, false},  // soft hyphen, Cf
      {0x0301, false, true, false, false, false, true},   // combining acute
      {0x0345, true, true, true, false, false, true},     // cased and ignorable
      {0x00B2, false, false, false, true, false, true},   // superscript two, No
      {0x2160, true, false, true, true, false, true},     // roman numeral, Nl
      {0x0663, false, false, false, true, false, true},   // arabic-indic 3, Nd
      {0x4E2D, false, false, true, false, false, true},
      {0x3000, false, false, false, false, true, false},
      {0x2028, false, false, false, false, true, false},
      {0x200B, false, true, false, false, false, false},
      {0xE000, false, false, false, false, false, false},  // private use
      {0xD800, false, false, false, false, false, false},  // surrogate
      {0x0378, false, false, false, false, false, false},  // unassigned
      {0xFFFF, false, false, false, false, false, false},
      {0x10FFFF, false, false, false, false, false, false},
      {0x110000, false, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << uint32_t(c.cp));
    EXPECT_EQ(IsCased(c.cp), c.cased);
    EXPECT_EQ(IsCaseIgnorable(c.cp), c.ignorable);
    EXPECT_EQ(IsAlphabetic(c.cp), c.alphabetic);
    EXPECT_EQ(IsNumeric(c.cp), c.numeric);
    EXPECT_EQ(IsWhiteSpace(c.cp), c.white);
    EXPECT_EQ(IsPrintable(c.cp), c.printable);
  }
}

// The White_Space property is small and fixed; check it exhaustively.
TEST(UnicodeTest, WhiteSpaceIsExactlyTheListedCharacters) {
  std::vector<char32_t> found;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (IsWhiteSpace(cp)) found.push_back(cp);
  }
  std::vector<char32_t> expected = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20,
                                    0x85, 0xA0, 0x1680};
  for (char32_t cp = 0x2000; cp <= 0x200A; ++cp) expected.push_back(cp);
  for (char32_t cp : {0x2028, 0x2029, 0x202F, 0x205F, 0x3000}) {
    expected.push_back(cp);
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace vrim
