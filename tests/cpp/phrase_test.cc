#include "search/phrase.h"

#include <gtest/gtest.h>

namespace vrim {
namespace {

PhraseToken Bigram(std::string_view text, uint64_t start, uint64_t length = 2) {
  PhraseToken t;
  t.text = text;
  t.has_position = true;
  t.start = start;
  t.length = length;
  t.bigram = true;
  return t;
}

PhraseToken Other(std::string_view text, uint64_t start) {
  PhraseToken t = Bigram(text, start, text.size());
  t.bigram = false;
  return t;
}

struct GroupCase {
  const char* name;
  std::vector<PhraseToken> tokens;
  std::vector<Phrase> want;
};

TEST(GroupBigramsTest, Runs) {
  PhraseToken unpositioned = Bigram("ンジ", 3);
  unpositioned.has_position = false;
  const std::vector<GroupCase> cases = {
      {"han run then katakana run",
       {Bigram("検索", 0), Bigram("エン", 2), Bigram("ンジ", 3),
        Bigram("ジン", 4)},
       {{{"エン", "ンジ", "ジン"}, {0, 1, 2}}}},
      {"two runs split by a latin word",
       {Bigram("エン", 0), Bigram("ンジ", 1), Other("foo", 4),
        Bigram("検索", 8), Bigram("索エ", 9)},
       {{{"エン", "ンジ"}, {0, 1}}, {{"検索", "索エ"}, {0, 1}}}},
      {"two runs split by a gap", {Bigram("エン", 0), Bigram("ンジ", 1),
                                   Bigram("検索", 4), Bigram("索エ", 5)},
       {{{"エン", "ンジ"}, {0, 1}}, {{"検索", "索エ"}, {0, 1}}}},
      {"lone bigram", {Bigram("検索", 0)}, {}},
      {"single characters never overlap",
       {Bigram("検", 0, 1), Bigram("索", 1, 1)}, {}},
      {"same start does not continue", {Bigram("ab", 3), Bigram("ab", 3)}, {}},
      {"missing position closes",
       {Bigram("エン", 2), unpositioned, Bigram("ジン", 4)}, {}},
      {"starts need not be zero",
       {Bigram("ああ", 7), Bigram("ああ", 8), Bigram("ああ", 9)},
       {{{"ああ", "ああ", "ああ"}, {0, 1, 2}}}},
  };
  for (const GroupCase& c : cases) {
    const std::vector<Phrase> got = GroupBigrams(c.tokens);
    ASSERT_EQ(got.size(), c.want.size()) << c.name;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].terms, c.want[i].terms) << c.name;
      EXPECT_EQ(got[i].offsets, c.want[i].offsets) << c.name;
    }
  }
}

struct VerifyCase {
  const char* name;
  std::vector<uint64_t> offsets;
  std::vector<std::vector<uint64_t>> positions;
  bool want;
};

TEST(VerifyPhraseTest, Cases) {
  const uint64_t max = UINT64_MAX;
  const std::vector<VerifyCase> cases = {
      {"adjacent", {0, 1, 2}, {{5, 10}, {11}, {12}}, true},
      {"scattered", {0, 1, 2}, {{0}, {5}, {9}}, false},
      {"one term absent", {0, 1}, {{0, 4}, {}}, false},
      {"anchor before its offset", {0, 3}, {{0, 7, 9}, {1}}, false},
      {"later anchor position works", {0, 1}, {{0, 5, 9}, {3, 10}}, true},
      {"repeated term", {0, 1, 2}, {{0, 1, 2}, {0, 1, 2}, {0, 1, 2}}, true},
      {"repeated term, too short", {0, 1, 2}, {{0, 1}, {0, 1}, {0, 1}},
       false},
      // Wrapping base + 5 to 2 would falsely succeed.
      {"overflowing target", {0, 5}, {{max - 2}, {1, 2}}, false},
  };
  for (const VerifyCase& c : cases) {
    Phrase phrase;
    phrase.offsets = c.offsets;
    phrase.terms.assign(c.offsets.size(), "t");
    EXPECT_EQ(VerifyPhrase(phrase, c.positions), c.want) << c.name;
  }
}

}  // namespace
}  // namespace vrim
