#include "analysis/tokenizer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/language.h"
#include "analysis/languages/cjk.h"
#include "analysis/normalize.h"
#include "analysis/utf8.h"

namespace vrim {
namespace {

// (text, start, length) of every token; also checks the ordinals.
using Triple = std::tuple<std::string, uint64_t, uint64_t>;

std::vector<Triple> Triples(const TokenList& tokens) {
  std::vector<Triple> out;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    EXPECT_TRUE(t.metadata.has_position);
    EXPECT_TRUE(t.metadata.has_index);
    EXPECT_EQ(t.metadata.index, i);
    out.emplace_back(t.text, t.metadata.start, t.metadata.length);
  }
  return out;
}

std::vector<Triple> Generic(std::string_view text) {
  return Triples(TokenizeGeneric(NormalizeDefault(text), kStandardSeparators));
}

uint32_t Mask(std::vector<int> classes) { return BigramClassMask(classes); }

TEST(TokenizerTest, StandardSeparators) {
  ASSERT_EQ(kStandardSeparators.size(), 10u);
  EXPECT_EQ(kStandardSeparators, std::string_view(" \t\n\r\f\v\r\xC2\xA0-", 10));
}

TEST(TokenizerTest, SplitOnSeparators) {
  const struct {
    std::string text, separators;
    std::vector<Triple> expected;
  } cases[] = {
      {"", " ", {}},
      {"   ", " ", {}},
      {"a  b", " ", {{"a", 0, 1}, {"b", 3, 1}}},
      {" ab ", " ", {{"ab", 1, 2}}},
      {"-foo", std::string(kStandardSeparators), {{"foo", 1, 3}}},
      {"x\u00A0y\u2003z", std::string(kStandardSeparators),
       {{"x", 0, 1}, {"y\u2003z", 2, 3}}},
      {"\u00E9t\u00E9\u00B7\u00E9", "\u00B7", {{"\u00E9t\u00E9", 0, 3},
                                               {"\u00E9", 4, 1}}},
      {"a\tb\nc\rd\fe\vf", std::string(kStandardSeparators),
       {{"a", 0, 1}, {"b", 2, 1}, {"c", 4, 1}, {"d", 6, 1}, {"e", 8, 1},
        {"f", 10, 1}}},
      {"end.", std::string(kStandardSeparators), {{"end.", 0, 4}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Triples(SplitOnSeparators(c.text, c.separators)), c.expected)
        << c.text;
  }
}

TEST(TokenizerTest, ScriptClasses) {
  const struct {
    char32_t cp;
    int script;
  } cases[] = {
      {U'a', 9},     {0x0E00, 9},  {0x0E01, 4},  {0x0E5B, 4},  {0x0E5C, 9},
      {0x0E81, 5},   {0x0EDF, 5},  {0x0F00, 8},  {0x0FDA, 8},  {0x0FDB, 9},
      {0x1000, 7},   {0x109F, 7},  {0x1100, 3},  {0x11FF, 3},  {0x1780, 6},
      {0x17F9, 6},   {0x17FA, 9},  {0x19E0, 6},  {0x3005, 0},  {0x3006, 9},
      {0x3007, 0},   {0x3041, 1},  {0x3099, 1},  {0x309F, 1},  {0x30A0, 9},
      {0x30A1, 2},   {0x30FA, 2},  {0x30FB, 9},  {0x30FC, 2},  {0x30FF, 2},
      {0x3130, 3},   {0x318F, 3},  {0x31F0, 2},  {0x3400, 0},  {0x4DBF, 0},
      {0x4DC0, 9},   {0x4E00, 0},  {0x9FFF, 0},  {0xA960, 3},  {0xA9E0, 7},
      {0xAA60, 7},   {0xAC00, 3},  {0xD7A3, 3},  {0xD7A4, 9},  {0xD7B0, 3},
      {0xF900, 0},   {0xFAFF, 0},  {0xFF76, 9},  {0x20000, 0}, {0x2A6DF, 0},
      {0x2A6E0, 9},  {0x2A700, 0}, {0x2EBEF, 0}, {0x2EBF0, 9}, {0x30000, 0},
      {0x3134F, 0},  {0x31350, 9},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ScriptClass(c.cp), c.script) << std::hex << uint32_t(c.cp);
  }
}

TEST(TokenizerTest, CombiningMarks) {
  // Every listed range, with the code points just outside it.
  const std::vector<std::pair<char32_t, char32_t>> ranges = {
      {0x3099, 0x309A}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
      {0x0EB1, 0x0EB1}, {0x0EB4, 0x0EBC}, {0x0EC8, 0x0ECE}, {0x0F18, 0x0F19},
      {0x0F35, 0x0F35}, {0x0F37, 0x0F37}, {0x0F39, 0x0F39}, {0x0F3E, 0x0F3F},
      {0x0F71, 0x0F84}, {0x0F86, 0x0F87}, {0x0F8D, 0x0F97}, {0x0F99, 0x0FBC},
      {0x0FC6, 0x0FC6}, {0x102B, 0x103E}, {0x1056, 0x1059}, {0x105E, 0x1060},
      {0x1062, 0x1064}, {0x1067, 0x106D}, {0x1071, 0x1074}, {0x1082, 0x108D},
      {0x108F, 0x108F}, {0x109A, 0x109D}, {0x17B4, 0x17D3}, {0x17DD, 0x17DD},
  };
  auto listed = [&](char32_t cp) {
    for (auto [lo, hi] : ranges) {
      if (cp >= lo && cp <= hi) return true;
    }
    return false;
  };
  for (char32_t cp = 0; cp < 0x20000; ++cp) {
    ASSERT_EQ(IsCombiningMark(cp), listed(cp)) << std::hex << uint32_t(cp);
  }
}

TEST(TokenizerTest, GenericTokenizer) {
  const struct {
    std::string text;
    std::vector<Triple> expected;
  } cases[] = {
      {"", {}},
      {" - \t", {}},
      {"hello\u4E16\u754Cfoo-bar",
       {{"hello", 0, 5}, {"\u4E16\u754C", 5, 2}, {"foo", 7, 3}, {"bar", 11, 3}}},
      {"Hello, World.", {{"hello,", 0, 6}, {"world.", 7, 6}}},
      {"\u691C\u7D22\u30A8\u30F3\u30B8\u30F3",  // 検索エンジン: class change
       {{"\u691C\u7D22", 0, 2}, {"\u30A8\u30F3\u30B8\u30F3", 2, 4}}},
      {"\u3059\u3054\u30FC\u3044", {{"\u3059\u3054\u30FC\u3044", 0, 4}}},
      {" \u4E2D ", {{"\u4E2D", 1, 1}}},
      {"a\u0E01\u0E34b", {{"a", 0, 1}, {"\u0E01\u0E34", 1, 2}, {"b", 3, 1}}},
      // U+30FB is not a script character: it ends the katakana run.
      {"\u30A2\u30FB\u30A4", {{"\u30A2", 0, 1}, {"\u30FB", 1, 1},
                              {"\u30A4", 2, 1}}},
      // Offsets count code points of the normalized text.
      {"\u0130x y", {{"i\u0307x", 0, 3}, {"y", 4, 1}}},
      {"\U0001F600 x", {{"\U0001F600", 0, 1}, {"x", 2, 1}}},
  };
  for (const auto& c : cases) EXPECT_EQ(Generic(c.text), c.expected) << c.text;
}

TEST(TokenizerTest, BigramTokenizer) {
  const struct {
    std::vector<int> classes;
    std::string text;
    std::vector<Triple> expected;
  } cases[] = {
      {{0, 1, 2},
       "\u691C\u7D22\u30A8\u30F3\u30B8\u30F3",
       {{"\u691C\u7D22", 0, 2},
        {"\u30A8\u30F3", 2, 2},
        {"\u30F3\u30B8", 3, 2},
        {"\u30B8\u30F3", 4, 2}}},
      {{0, 1, 2},
       "\u3059\u3054\u30FC\u3044",
       {{"\u3059\u3054", 0, 2}, {"\u3054\u30FC", 1, 2}, {"\u30FC\u3044", 2, 2}}},
      {{0},
       "\u4E2D\u6587abc \u6D4B\u8BD5",
       {{"\u4E2D\u6587", 0, 2}, {"abc", 2, 3}, {"\u6D4B\u8BD5", 6, 2}}},
      {{0}, "\uC548\uB155\uD558\uC138\uC694",
       {{"\uC548\uB155\uD558\uC138\uC694", 0, 5}}},
      {{3, 0}, "\uC548\uB155\uD558",
       {{"\uC548\uB155", 0, 2}, {"\uB155\uD558", 1, 2}}},
      // ｶﾞｲﾄﾞ normalizes to ガイド.
      {{0, 1, 2}, "\uFF76\uFF9E\uFF72\uFF84\uFF9E",
       {{"\u30AC\u30A4", 0, 2}, {"\u30A4\u30C9", 1, 2}}},
      {{0}, " \u4E2D ", {{"\u4E2D", 1, 1}}},
      {{0, 1, 2}, "", {}},
      // A combining voiced mark stays with its base and counts in lengths.
      {{0, 1, 2}, "\u3042\u3099\u3044\u3046",
       {{"\u3042\u3099\u3044", 0, 3}, {"\u3044\u3046", 2, 2}}},
      // Thai: marks glue to the preceding consonant.
      {{4}, "\u0E01\u0E34\u0E19\u0E02\u0E49\u0E32\u0E27",
       {{"\u0E01\u0E34\u0E19", 0, 3},
        {"\u0E19\u0E02\u0E49", 2, 3},
        {"\u0E02\u0E49\u0E32", 3, 3},
        {"\u0E32\u0E27", 5, 2}}},
      // A mark at the very start of a run starts its own cluster.
      {{4}, "\u0E34\u0E01\u0E02", {{"\u0E34\u0E01", 0, 2}, {"\u0E01\u0E02", 1, 2}}},
      {{4}, "\u0E01\u0E34", {{"\u0E01\u0E34", 0, 2}}},
      // Bigrams never cross a separator or a change of class.
      {{0, 1, 2}, "\u4E00\u4E8C-\u4E09\u3042",
       {{"\u4E00\u4E8C", 0, 2}, {"\u4E09", 3, 1}, {"\u3042", 4, 1}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Triples(TokenizeBigram(c.text, Mask(c.classes))), c.expected)
        << c.text;
  }
}

// The obvious character-by-character splitter, to check the block-wise one
// against.
std::vector<Triple> ReferenceSplit(const std::u32string& text,
                                   const std::u32string& separators) {
  std::vector<Triple> out;
  size_t r = 0;
  for (size_t k = 0; k <= text.size(); ++k) {
    if (k < text.size() && separators.find(text[k]) == std::u32string::npos) {
      continue;
    }
    if (k > r) {
      out.emplace_back(EncodeUtf8(text.data() + r, k - r), r, k - r);
    }
    r = k + 1;
  }
  return out;
}

TEST(TokenizerTest, SplitterAgreesWithReferenceOnRandomText) {
  std::mt19937 rng(7);
  const std::u32string alphabet =
      U"aaaaaaaaaaaabbbbbbbbccccZ09_.,;:!?'   \t\n\r\f\v--"
      U"\u00A0\u00E9\u2003\u00B7|/~";
  const std::u32string separator_sets[] = {
      std::u32string(U" \t\n\r\f\v\r\u00A0-"),
      std::u32string(U" "),
      std::u32string(U"\u00B7"),
      // More distinct ASCII separators than the vector path takes.
      std::u32string(U" \t\n\r\f\v-.,;:!?|/~"),
  };
  for (const std::u32string& seps : separator_sets) {
    std::string seps8 = EncodeUtf8(seps.data(), seps.size());
    for (int round = 0; round < 400; ++round) {
      std::u32string text;
      size_t len = rng() % 300;
      // Long stretches without separators cross block boundaries.
      bool long_words = round % 3 == 0;
      for (size_t i = 0; i < len; ++i) {
        char32_t c = alphabet[rng() % alphabet.size()];
        if (long_words && seps.find(c) != std::u32string::npos && rng() % 8) {
          c = U'x';
        }
        text.push_back(c);
      }
      std::string text8 = EncodeUtf8(text.data(), text.size());
      ASSERT_EQ(Triples(SplitOnSeparators(text8, seps8)),
                ReferenceSplit(text, seps))
          << text8;
      if (seps.size() == 9) {
        ASSERT_EQ(Triples(TokenizeGeneric(text8, seps8)),
                  ReferenceSplit(text, seps))
            << text8;
      }
    }
  }
}

// The one-pass path for ASCII text must give exactly what normalizing and
// then tokenizing gives.
TEST(TokenizerTest, NormalizeAndTokenizeAgreesWithTwoPasses) {
  std::mt19937 rng(11);
  const std::string ascii = "aAbBzZiIqQ09_.,!'  \t\n--";
  const std::vector<std::string> extra = {"\u00C9", "\u0130", "\u03A3",
                                          "\u4E2D", "\uFF21", "\u00A0"};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    size_t len = rng() % 200;
    bool plain = round % 2 == 0;
    for (size_t i = 0; i < len; ++i) {
      if (!plain && rng() % 10 == 0) {
        text += extra[rng() % extra.size()];
      } else {
        text.push_back(ascii[rng() % ascii.size()]);
      }
    }
    for (bool turkish : {false, true}) {
      std::string normalized =
          turkish ? NormalizeTurkish(text) : NormalizeDefault(text);
      ASSERT_EQ(
          Triples(NormalizeAndTokenizeGeneric(text, turkish,
                                              kStandardSeparators)),
          Triples(TokenizeGeneric(normalized, kStandardSeparators)))
          << text << (turkish ? " (tr)" : "");
      // The span paths cut the same token texts.
      std::vector<std::string> expected;
      for (const Token& t : TokenizeGeneric(normalized, kStandardSeparators)) {
        expected.push_back(t.text);
      }
      std::vector<ByteSpan> spans;
      SplitGeneric(normalized, kStandardSeparators, &spans);
      std::vector<std::string> cut;
      for (const ByteSpan& s : spans) {
        cut.push_back(normalized.substr(s.begin, s.end - s.begin));
      }
      ASSERT_EQ(cut, expected) << text;
      spans.clear();
      if (SplitPlainAscii(text, turkish, kStandardSeparators, &spans)) {
        cut.clear();
        for (const ByteSpan& s : spans) {
          std::string piece = text.substr(s.begin, s.end - s.begin);
          for (char& c : piece) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
          cut.push_back(piece);
        }
        ASSERT_EQ(cut, expected) << text;
      } else {
        ASSERT_TRUE(spans.empty());
        ASSERT_TRUE(!plain || turkish) << text;
      }
    }
  }
}

// A run longer than any fixed buffer still yields every bigram.
TEST(TokenizerTest, LongBigramRun) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "\u4E00";
  TokenList tokens = TokenizeBigram(text, Mask({0}));
  ASSERT_EQ(tokens.size(), 999u);
  EXPECT_EQ(tokens[998].metadata.start, 998u);
  EXPECT_EQ(tokens[998].text, "\u4E00\u4E00");
}

// The bigram trimmer takes Han ideographs and kana letters as plain script
// letters without asking the script tables; they must agree.
TEST(TokenizerTest, BigramTrimPlainLettersAgreeWithScriptTables) {
  for (auto [from, to] : {std::pair<char32_t, char32_t>{0x4E00, 0x9FFF},
                          {0x3041, 0x3096}, {0x30A1, 0x30FA}}) {
    for (char32_t cp = from; cp <= to; ++cp) {
      ASSERT_TRUE(IsScriptChar(cp)) << static_cast<uint32_t>(cp);
      ASSERT_FALSE(IsCombiningMark(cp)) << static_cast<uint32_t>(cp);
      ASSERT_NE(static_cast<uint32_t>(cp), 0x30FCu);
    }
  }
  for (std::string text : {"\u30FC\u30FC", "\u3099\u4E00", "\u4E00\u3099",
                           "\u30A2\u30FC"}) {
    Token token(text, 0, 2, 0);
    EXPECT_EQ(BigramTrim(&token), text == "\u4E00\u3099" || text == "\u30A2\u30FC")
        << text;
  }
}

}  // namespace
}  // namespace vrim
