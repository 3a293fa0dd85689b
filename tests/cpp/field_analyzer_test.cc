#include "build/field_analyzer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/language.h"
#include "analysis/utf8.h"

namespace vrim {
namespace {

using Kept = std::tuple<std::string, uint64_t, uint64_t>;  // text, start, length

// What the language's own tokenizer and trimmer keep, as the analyzer
// should give it on whichever path it takes.
std::vector<Kept> ThroughPipeline(const Language& language,
                                  std::string_view text, uint64_t max) {
  std::vector<Kept> out;
  for (Token& t : language.tokenize(text)) {
    if (!language.trim(&t) || t.metadata.length > max) continue;
    out.emplace_back(t.text, t.metadata.start, t.metadata.length);
  }
  return out;
}

std::vector<Kept> ThroughAnalyzer(FieldAnalyzer* analyzer,
                                  std::string_view text) {
  std::vector<Kept> out;
  for (const KeyedToken& k : analyzer->Analyse(text)) {
    EXPECT_TRUE(k.has_position);
    EXPECT_EQ(k.key.hash, MakeKey(k.key.text).hash);
    out.emplace_back(std::string(k.key.text), k.position.start,
                     k.position.length);
  }
  return out;
}

// Pieces that exercise the bigram runs, cluster marks, the long vowel
// mark, trimming at both ends, separators and the ASCII paths.
const std::vector<std::string> kPieces = {
    "東京都", "日本語の", "ひらがな", "カタカナー", "ー", "ーー", "が", "\u3099",
    "\u3099か", "한국어", "ไทย", "ภาษา\u0E31", "\u0E31", "ລາວ", "ខ្មែរ",
    "မြန်မာ", "བོད", "abc", "ABC", "x_y", "Straße", "(", ")", "「", "」",
    "。", "、", "-", " ", "  ", "\n", "\u00a0", "42", "é", "\u0301",
    "ｶﾀｶﾅ", "Ａ１", "!!", "東", "...", "a東", "東a", "a\u3099", "-\u309A",
    "x\u0E48", "\u0F71."};

class FieldAnalyzerPaths : public ::testing::TestWithParam<const char*> {};

TEST_P(FieldAnalyzerPaths, GiveWhatTheLanguagePipelineKeeps) {
  const LanguagePtr language = ResolveLanguage(GetParam()).language;
  for (uint64_t max : {uint64_t{2}, uint64_t{64}}) {
    FieldAnalyzer analyzer(*language, max);
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
      std::string text;
      const int count = static_cast<int>(random() % 12);
      for (int i = 0; i < count; ++i) text += kPieces[random() % kPieces.size()];
      ASSERT_EQ(ThroughAnalyzer(&analyzer, text),
                ThroughPipeline(*language, text, max))
          << GetParam() << " max " << max << ": " << text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, FieldAnalyzerPaths,
                         ::testing::Values("zh", "ja", "ko", "th", "my", "xx",
                                           "tr", "de"));

}  // namespace
}  // namespace vrim
