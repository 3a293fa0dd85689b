#include "analysis/language.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/languages/stop_words.h"
#include "analysis/stemmers/stemmer_table.h"

namespace vrim {
namespace {

using Strings = std::vector<std::string>;

bool HasSnowballRow(std::string_view code) {
  size_t count = 0;
  const SnowballRow* rows = SnowballTable(&count);
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].code == code) return true;
  }
  return false;
}

TEST(LanguageTest, ResolvesSingleCodes) {
  const struct {
    std::string in;
    Language::Kind kind;
    std::string code;
    bool supported;
  } cases[] = {
      {"en", Language::Kind::kEnglish, "en", true},
      {" en ", Language::Kind::kEnglish, "en", true},
      {"en,en", Language::Kind::kEnglish, "en", true},
      {"en,", Language::Kind::kEnglish, "en", true},
      {",\u3000en\t,", Language::Kind::kEnglish, "en", true},
      {"zh", Language::Kind::kBigram, "zh", true},
      {"ja", Language::Kind::kBigram, "ja", true},
      {"ko", Language::Kind::kBigram, "ko", true},
      {"th", Language::Kind::kBigram, "th", true},
      {"lo", Language::Kind::kBigram, "lo", true},
      {"km", Language::Kind::kBigram, "km", true},
      {"my", Language::Kind::kBigram, "my", true},
      {"bo", Language::Kind::kBigram, "bo", true},
      {"EN", Language::Kind::kGeneric, "EN", false},
      {"xx", Language::Kind::kGeneric, "xx", false},
      {" x x ", Language::Kind::kGeneric, "x x", false},
      {"", Language::Kind::kGeneric, "", false},
      {",,", Language::Kind::kGeneric, "", false},
      {" , ", Language::Kind::kGeneric, "", false},
  };
  for (const auto& c : cases) {
    LanguageResolution r = ResolveLanguage(c.in);
    ASSERT_NE(r.language, nullptr);
    EXPECT_EQ(r.language->kind(), c.kind) << c.in;
    EXPECT_EQ(r.language->code(), c.code) << c.in;
    EXPECT_EQ(r.fully_supported, c.supported) << c.in;
  }
}

// Snowball codes are Snowball languages exactly when the table has their
// row; until then they resolve as Generic and are not fully supported.
TEST(LanguageTest, SnowballCodesFollowTheTable) {
  for (const std::string& code : SupportedLanguageCodes()) {
    LanguageResolution r = ResolveLanguage(code);
    EXPECT_EQ(r.language->code(), code);
    bool bigram = r.language->kind() == Language::Kind::kBigram;
    if (code == "en" || bigram) continue;
    if (HasSnowballRow(code)) {
      EXPECT_EQ(r.language->kind(), Language::Kind::kSnowball) << code;
      EXPECT_TRUE(r.fully_supported) << code;
      EXPECT_TRUE(IsKnownLanguageCode(code)) << code;
      Strings expected = {"trimmer", "stopWordFilter", "stemmer", code};
      EXPECT_EQ(r.language->pipeline(), expected);
    } else {
      EXPECT_EQ(r.language->kind(), Language::Kind::kGeneric) << code;
      EXPECT_FALSE(r.fully_supported) << code;
      EXPECT_FALSE(IsKnownLanguageCode(code)) << code;
    }
  }
}

TEST(LanguageTest, MultiCodes) {
  LanguageResolution r = ResolveLanguage("en , zh,en, ja");
  EXPECT_EQ(r.language->kind(), Language::Kind::kMulti);
  EXPECT_EQ(r.language->code(), "en,zh,ja");
  EXPECT_TRUE(r.fully_supported);
  // The union of identical separator strings is their eight characters.
  EXPECT_EQ(r.language->separators(), " \t\n\r\f\v\u00A0-");

  r = ResolveLanguage("fr, EN");
  EXPECT_EQ(r.language->kind(), Language::Kind::kMulti);
  EXPECT_EQ(r.language->code(), "fr,EN");
  EXPECT_FALSE(r.fully_supported);

  r = ResolveLanguage("zh,xx");
  EXPECT_EQ(r.language->code(), "zh,xx");
  EXPECT_FALSE(r.fully_supported);
}

TEST(LanguageTest, SplitLanguageCode) {
  const struct {
    std::string in;
    Strings out;
  } cases[] = {
      {"", {}},
      {",,", {}},
      {"en", {"en"}},
      {" en , fr ,en,", {"en", "fr"}},
      {"EN,en", {"EN", "en"}},
      {"a b,\u2003c\u00A0", {"a b", "c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLanguageCode(c.in), c.out);
}

TEST(LanguageTest, HasTurkishMember) {
  const struct {
    std::string in;
    bool out;
  } cases[] = {
      {"tr", false}, {" tr ", false}, {"tr,en", true}, {"en, tr ", true},
      {"en,TR", false}, {"en,tra", false}, {",tr", true}, {"en,fr", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(HasTurkishMember(c.in), c.out) << c.in;
}

TEST(LanguageTest, KnownCodes) {
  for (std::string_view code : {"en", " en", "zh", "ja", "ko", "th", "lo",
                                "km", "my", "bo"}) {
    EXPECT_TRUE(IsKnownLanguageCode(code)) << code;
  }
  for (std::string_view code : {"", "EN", "en,fr", "xx", "e"}) {
    EXPECT_FALSE(IsKnownLanguageCode(code)) << code;
  }
}

TEST(LanguageTest, SupportedCodes) {
  const Strings& codes = SupportedLanguageCodes();
  ASSERT_EQ(codes.size(), 46u);
  EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end()));
  EXPECT_EQ(std::adjacent_find(codes.begin(), codes.end()), codes.end());
  EXPECT_EQ(codes.front(), "ar");
  EXPECT_EQ(codes.back(), "zh");
  for (std::string_view c : {"en", "en-lovins", "en-porter", "en-snowball",
                             "nl-porter", "tr", "yi", "bo", "ko"}) {
    EXPECT_NE(std::find(codes.begin(), codes.end(), c), codes.end()) << c;
  }
}

TEST(LanguageTest, Pipelines) {
  const struct {
    std::string code;
    Strings pipeline;
  } cases[] = {
      {"en", {"trimmer", "stopWordFilter", "stemmer"}},
      {"zh", {}},
      {"xx", {"trimmer", "stopWordFilter"}},
      {"zh,en", {"stemmer", "stopWordFilter", "trimmer"}},
      {"zh,ja", {}},
      {"xx,ja", {"stopWordFilter", "trimmer"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResolveLanguage(c.code).language->pipeline(), c.pipeline)
        << c.code;
  }
  if (HasSnowballRow("fr")) {
    EXPECT_EQ(ResolveLanguage("fr").language->pipeline(),
              (Strings{"trimmer", "stopWordFilter", "stemmer", "fr"}));
    EXPECT_EQ(ResolveLanguage("en,fr").language->pipeline(),
              (Strings{"fr", "stemmer", "stopWordFilter", "trimmer"}));
  }
}

TEST(LanguageTest, StopWords) {
  size_t count = 0;
  const std::string_view* words = EnglishStopWords(&count);
  ASSERT_EQ(count, 119u);
  EXPECT_TRUE(std::is_sorted(words, words + count));
  LanguagePtr en_ptr = ResolveLanguage("en").language;
  const Language& en = *en_ptr;
  for (size_t i = 0; i < count; ++i) {
    EXPECT_TRUE(en.is_stop_word(words[i])) << words[i];
  }
  for (std::string_view w : {"The", "THE", "Because", "li\u212Ae", "I"}) {
    EXPECT_TRUE(en.is_stop_word(w)) << w;
  }
  for (std::string_view w : {std::string_view(""), std::string_view("dog"),
                             std::string_view("th"), std::string_view("thee"),
                             std::string_view("becausee"),
                             std::string_view("wanted"),
                             std::string_view("\u0130f"),
                             std::string_view("a\0", 2),
                             std::string_view("\0a", 2)}) {
    EXPECT_FALSE(en.is_stop_word(w)) << w;
  }
  for (std::string code : {"xx", "zh", "tr", "fr"}) {
    EXPECT_FALSE(ResolveLanguage(code).language->is_stop_word("the")) << code;
  }
  EXPECT_FALSE(ResolveLanguage("en,xx").language->is_stop_word("the"));
  EXPECT_TRUE(ResolveLanguage("en,en").language->is_stop_word("the"));
}

TEST(LanguageTest, BigramChars) {
  LanguagePtr ja_ptr = ResolveLanguage("ja").language;
  const Language& ja = *ja_ptr;
  EXPECT_TRUE(ja.is_bigram_char(0x4E2D));
  EXPECT_TRUE(ja.is_bigram_char(0x3042));
  EXPECT_TRUE(ja.is_bigram_char(0x30A2));
  EXPECT_FALSE(ja.is_bigram_char(0xAC00));
  EXPECT_FALSE(ja.is_bigram_char(U'a'));
  LanguagePtr ko_ptr = ResolveLanguage("ko").language;
  const Language& ko = *ko_ptr;
  EXPECT_TRUE(ko.is_bigram_char(0xAC00));
  EXPECT_TRUE(ko.is_bigram_char(0x4E2D));
  EXPECT_FALSE(ko.is_bigram_char(0x3042));
  EXPECT_FALSE(ResolveLanguage("en").language->is_bigram_char(0x4E2D));
  EXPECT_TRUE(ResolveLanguage("en,th").language->is_bigram_char(0x0E01));
}

}  // namespace
}  // namespace vrim
