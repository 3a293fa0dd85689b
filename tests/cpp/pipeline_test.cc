#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "analysis/language.h"
#include "analysis/languages/cjk.h"
#include "analysis/languages/trimmer.h"
#include "analysis/stemmers/stemmer_table.h"

namespace vrim {
namespace {

using Triple = std::tuple<std::string, uint64_t, uint64_t>;
using Strings = std::vector<std::string>;

std::vector<Triple> Triples(const TokenList& tokens) {
  std::vector<Triple> out;
  for (const Token& t : tokens) {
    out.emplace_back(t.text, t.metadata.start, t.metadata.length);
  }
  return out;
}

std::vector<uint64_t> Ordinals(const TokenList& tokens) {
  std::vector<uint64_t> out;
  for (const Token& t : tokens) out.push_back(t.metadata.index);
  return out;
}

TokenList Analyze(std::string_view code, std::string_view text) {
  LanguagePtr lang = ResolveLanguage(code).language;
  return RunPipeline(*lang, lang->tokenize(text));
}

bool HasSnowballRow(std::string_view code) {
  size_t count = 0;
  const SnowballRow* rows = SnowballTable(&count);
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].code == code) return true;
  }
  return false;
}

TEST(PipelineTest, EnglishSentence) {
  TokenList out = Analyze("en", "The running dogs.");
  EXPECT_EQ(Triples(out),
            (std::vector<Triple>{{"run", 4, 7}, {"dog", 12, 4}}));
  // Survivors keep their tokenizer ordinals.
  EXPECT_EQ(Ordinals(out), (std::vector<uint64_t>{1, 2}));
}

TEST(PipelineTest, EmptyInput) {
  LanguagePtr en = ResolveLanguage("en").language;
  EXPECT_TRUE(RunPipeline(*en, {}).empty());
  EXPECT_TRUE(Analyze("en", "").empty());
  EXPECT_TRUE(Analyze("en,zh", "").empty());
  EXPECT_TRUE(Analyze("en", " ... !!! -").empty());
}

TEST(PipelineTest, GenericTrimmer) {
  const struct {
    std::string in;
    bool kept;
    std::string out;
    uint64_t start, length;
  } cases[] = {
      {"(hello)", true, "hello", 11, 5},
      {"hello", true, "hello", 10, 5},
      {"...", false, "", 10, 3},
      {"\u00AB\u00E9t\u00E9\u00BB", true, "\u00E9t\u00E9", 11, 3},
      {"don't", true, "don't", 10, 5},
      {"'quoted'", true, "quoted", 11, 6},
      {"_x_", true, "_x_", 10, 3},
      {"\u00B2\u2160!", true, "\u00B2\u2160", 10, 2},  // No and Nl count
      {"a\u0301", true, "a", 10, 1},                   // marks are trimmed
      {"\u4E2D.", true, "\u4E2D", 10, 1},
      {"\U0001F600", false, "", 10, 1},
      {"--ab\u00E9,", true, "ab\u00E9", 12, 3},
      {"\u201Cword\u201D", true, "word", 11, 4},
      {"..\u00E9!.", true, "\u00E9", 12, 1},
      {"-\u2014-", false, "", 10, 3},
  };
  for (const auto& c : cases) {
    // The span trimmer agrees with the token trimmer.
    const std::string text = "\u00E9 " + c.in + " z";
    size_t b = 3, e = 3 + c.in.size();
    uint64_t dropped = 0, length = 0;
    EXPECT_EQ(TrimSpanToWordCharacters(text, &b, &e, &dropped, &length),
              c.kept)
        << c.in;
    if (c.kept) {
      EXPECT_EQ(text.substr(b, e - b), c.out);
      EXPECT_EQ(10 + dropped, c.start) << c.in;
      EXPECT_EQ(length, c.length) << c.in;
    }
    Token t(c.in, 10, 99, 0);
    t.metadata.length = 0;
    bool kept = GenericTrim(&t);
    EXPECT_EQ(kept, c.kept) << c.in;
    if (!kept) continue;
    EXPECT_EQ(t.text, c.out);
    EXPECT_EQ(t.metadata.start, c.start) << c.in;
    EXPECT_EQ(t.metadata.length, c.length) << c.in;
  }
  // A token without a position gets none.
  Token bare;
  bare.text = "(x)";
  EXPECT_TRUE(GenericTrim(&bare));
  EXPECT_EQ(bare.text, "x");
  EXPECT_FALSE(bare.metadata.has_position);
}

TEST(PipelineTest, BigramTrimmer) {
  const struct {
    std::string in;
    bool kept;
    std::string out;
  } cases[] = {
      {"\u30FC\u30FC", false, ""},           // all U+30FC
      {"\u30FC", false, ""},
      {"\u30FC\u3044", true, "\u30FC\u3044"},
      {"\u3044\u30FC", true, "\u3044\u30FC"},
      {"\u3099", false, ""},                 // all marks
      {"\u0E34\u0E01", false, ""},           // starts with a mark
      {"\u0E01\u0E34", true, "\u0E01\u0E34"},
      {"\u4E2D\u6587", true, "\u4E2D\u6587"},
      {"\u19E0\u19E1", true, "\u19E0\u19E1"},  // Khmer symbols: left alone
      {"(abc)", true, "abc"},
      {"\u300C\u4E2D\u300D", true, "\u4E2D"},  // brackets are not script
      {"x\u0E34", true, "x\u0E34"},          // marks count as word characters
      {"!!", false, ""},
      {"", false, ""},
  };
  for (const auto& c : cases) {
    Token t(c.in, 3, 0, 0);
    EXPECT_EQ(BigramTrim(&t), c.kept) << c.in;
    if (c.kept) {
      EXPECT_EQ(t.text, c.out) << c.in;
    }
  }
}

TEST(PipelineTest, JapaneseLongVowelBigrams) {
  // A run of U+30FC alone is dropped; ーい survives.
  EXPECT_TRUE(Analyze("ja", "\u30FC\u30FC").empty());
  EXPECT_EQ(Triples(Analyze("ja", "\u3059\u3054\u30FC\u3044")),
            (std::vector<Triple>{{"\u3059\u3054", 0, 2},
                                 {"\u3054\u30FC", 1, 2},
                                 {"\u30FC\u3044", 2, 2}}));
}

TEST(PipelineTest, StopWordsAcrossLanguages) {
  // Only English drops "the"; a French member never calls it a stop word.
  EXPECT_TRUE(Analyze("en", "the").empty());
  EXPECT_EQ(Triples(Analyze("fr", "le")), (std::vector<Triple>{{"le", 0, 2}}));
  EXPECT_EQ(Analyze("en,fr", "the").size(), 1u);
  EXPECT_EQ(Analyze("en,xx", "the").size(), 1u);
}

TEST(PipelineTest, MultiTokenization) {
  const struct {
    std::string code, text;
    std::vector<Triple> tokens;
  } cases[] = {
      // Identical tokens of two members appear once.
      {"en,xx", "Hello world", {{"hello", 0, 5}, {"world", 6, 5}}},
      {"en,fr", "Le  Chat-noir", {{"le", 0, 2}, {"chat", 4, 4}, {"noir", 9, 4}}},
      // zh bigrams plus the English member's whole Han run.
      {"zh,en", "\u4E2D\u6587\u5B57 abc",
       {{"\u4E2D\u6587", 0, 2},
        {"\u4E2D\u6587\u5B57", 0, 3},
        {"\u6587\u5B57", 1, 2},
        {"abc", 4, 3}}},
      // Each member normalizes its own way: the Turkish member folds I to ı,
      // offsets advance by the default normalization (İ is two code points).
      {"tr,en", "I \u0130x y",
       {{"\u0131", 0, 1},
        {"i", 0, 1},
        {"ix", 2, 2},
        {"i\u0307x", 2, 3},
        {"y", 6, 1}}},
      // Separators cut segments; empty segments produce nothing.
      {"en,zh", "--a--b", {{"a", 2, 1}, {"b", 5, 1}}},
  };
  for (const auto& c : cases) {
    LanguagePtr lang = ResolveLanguage(c.code).language;
    TokenList tokens = lang->tokenize(c.text);
    EXPECT_EQ(Triples(tokens), c.tokens) << c.code << " " << c.text;
    for (size_t i = 0; i < tokens.size(); ++i) {
      EXPECT_EQ(tokens[i].metadata.index, i);
    }
  }
}

TEST(PipelineTest, MultiStagesConsultMembersInOrder) {
  LanguagePtr multi = ResolveLanguage("xx,en").language;
  // The Generic member keeps the word; the English member stems it.
  EXPECT_EQ(multi->stem("running"), "run");
  EXPECT_EQ(multi->stem("xyz"), "xyz");
  // The first member that keeps a copy wins: xx trims generically.
  Token t("(abc)", 0, 5, 0);
  EXPECT_TRUE(multi->trim(&t));
  EXPECT_EQ(std::get<0>(Triples({t})[0]), "abc");
  // ja drops a run of U+30FC, but en keeps it (the mark is Alphabetic).
  Token dash("\u30FC\u30FC", 0, 2, 0);
  EXPECT_FALSE(ResolveLanguage("ja").language->trim(&dash));
  EXPECT_TRUE(ResolveLanguage("ja,en").language->trim(&dash));
  Token bang("!!", 0, 2, 0);
  EXPECT_FALSE(ResolveLanguage("ja,en").language->trim(&bang));
  // A trimmed copy that a member rejects leaves the token untouched for
  // the next member: th drops the leading mark's token, en keeps it whole.
  Token mark("\u0E34\u0E01", 0, 2, 0);
  EXPECT_FALSE(ResolveLanguage("th").language->trim(&mark));
  EXPECT_TRUE(ResolveLanguage("th,en").language->trim(&mark));
  EXPECT_EQ(mark.text, "\u0E34\u0E01");
}

TEST(PipelineTest, SnowballStemLowercasesFirst) {
  if (!HasSnowballRow("tr") || !HasSnowballRow("fr")) {
    GTEST_SKIP() << "Snowball stemmers not present";
  }
  LanguagePtr fr = ResolveLanguage("fr").language;
  EXPECT_EQ(fr->stem("MAISONS"), fr->stem("maisons"));
  LanguagePtr tr = ResolveLanguage("tr").language;
  EXPECT_EQ(tr->stem("IRMAK"), tr->stem("\u0131rmak"));
}

}  // namespace
}  // namespace vrim
