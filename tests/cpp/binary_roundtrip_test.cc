// Round trips through the real builder: write, read, write gives the same
// bytes, and the loaded index answers queries exactly like the original
// (without positions only positions and the bigram phrase factor differ).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/language.h"
#include "build/index_builder.h"
#include "format/format.h"
#include "format/reader.h"
#include "format/writer.h"
#include "search/query_parser.h"
#include "search/search.h"

namespace vrim {
namespace {

std::string Write(const Index& index, bool positions) {
  std::string out, overflow;
  EXPECT_TRUE(WriteIndex(index, positions, &out, &overflow)) << overflow;
  return out;
}

IndexPtr Read(const std::string& bytes) {
  IndexPtr index;
  ReadError error;
  EXPECT_TRUE(ReadIndex(bytes, std::nullopt, &index, &error)) << error.message;
  return index;
}

const std::vector<std::string> kEnglishWords = {
    "apple",  "apples", "apply",   "banana", "band",    "bandit", "can",
    "cannot", "dog",    "dogs",    "the",    "running", "runner", "ran",
    "naïve",  "café",   "zürich",  "x",      "éé",      "über",   "quick",
    "brown",  "fox",    "jumps",   "lazy",   "over",    "a",      "an"};
const std::vector<std::string> kChineseWords = {
    "中文", "搜索", "引擎", "数据", "索引", "查询", "文本", "分词", "hello", "世界"};

// A random corpus: `docs` documents with a title and a body, some boosted,
// some with an empty field, staged in random reference order.
IndexPtr BuildCorpus(const std::string& language,
                     const std::vector<std::string>& words, int docs,
                     std::mt19937* rng) {
  IndexBuilder builder(ResolveLanguage(language).language, 1.2, 0.75);
  builder.DeclareField("title", 3.0);
  builder.DeclareField("body", 1.0);
  std::uniform_int_distribution<size_t> word(0, words.size() - 1);
  std::vector<int> order(docs);
  for (int i = 0; i < docs; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), *rng);
  const char* separator = language == "zh" ? "" : " ";
  for (int i : order) {
    StagedDocument doc;
    doc.ref = "doc/" + std::to_string(i * 7919 % 1000);
    doc.boost = i % 5 == 0 ? 2.0 : 1.0;
    for (uint32_t field = 0; field < 2; ++field) {
      int n = static_cast<int>((*rng)() % (field == 0 ? 4 : 30));
      if (i % 11 == 0 && field == 0) continue;  // no title at all
      std::string text;
      for (int w = 0; w < n; ++w) {
        if (w) text += (*rng)() % 9 == 0 ? ", " : separator;
        text += words[word(*rng)];
      }
      doc.fields.emplace_back(field, text);
    }
    builder.Stage(std::move(doc));
  }
  return builder.Build();
}

std::vector<std::string> RandomQueries(const std::vector<std::string>& words,
                                       int count, std::mt19937* rng) {
  std::uniform_int_distribution<size_t> word(0, words.size() - 1);
  std::vector<std::string> queries;
  for (int q = 0; q < count; ++q) {
    std::string query;
    int clauses = 1 + static_cast<int>((*rng)() % 3);
    for (int c = 0; c < clauses; ++c) {
      if (c) query += " ";
      switch ((*rng)() % 8) {
        case 0: query += "+"; break;
        case 1: query += "-"; break;
        case 2: query += "title:"; break;
        default: break;
      }
      std::string w = words[word(*rng)];
      switch ((*rng)() % 6) {
        case 0: query += w.substr(0, 2) + "*"; break;
        case 1: query += w + "~1"; break;
        case 2: query += w + "^2"; break;
        default: query += w; break;
      }
    }
    queries.push_back(query);
  }
  return queries;
}

using Match = std::tuple<std::string, std::string, std::vector<Position>>;
struct Answer {
  std::string ref;
  double score;
  std::vector<Match> matches;
  bool operator==(const Answer&) const = default;
};

std::vector<Answer> Answers(const IndexPtr& index, const std::string& text,
                        bool with_positions) {
  Query query;
  ParseError error;
  EXPECT_TRUE(ParseQuery(text, index->data().fields, index->language(),
                         &query, &error))
      << text << ": " << error.message;
  std::vector<Answer> answers;
  for (const Hit& hit : Search(index, query)) {
    Answer answer{std::string(hit.ref()), hit.score, {}};
    for (const MatchRef& m : hit.matches) {
      std::vector<Position> positions;
      if (with_positions) index->AppendPositions(*m.posting, &positions);
      answer.matches.emplace_back(index->data().terms[m.term],
                                  index->data().fields[m.field], positions);
    }
    answers.push_back(std::move(answer));
  }
  return answers;
}

std::vector<Answer> SortedByRef(std::vector<Answer> answers) {
  std::sort(answers.begin(), answers.end(),
            [](const Answer& a, const Answer& b) { return a.ref < b.ref; });
  for (Answer& a : answers) a.score = 0;  // the phrase factor may differ
  return answers;
}

class BinaryRoundTrip : public testing::TestWithParam<const char*> {};

TEST_P(BinaryRoundTrip, BytesAndAnswersSurvive) {
  const std::string language = GetParam();
  const std::vector<std::string>& words =
      language == "zh" ? kChineseWords : kEnglishWords;
  const bool bigram = language == "zh";
  std::mt19937 rng(20261207);
  for (int docs : {0, 1, 40, 300}) {
    SCOPED_TRACE(docs);
    IndexPtr original = BuildCorpus(language, words, docs, &rng);
    std::string full = Write(*original, true);
    std::string bare = Write(*original, false);
    IndexPtr loaded = Read(full);
    IndexPtr loaded_bare = Read(bare);
    ASSERT_TRUE(loaded && loaded_bare);
    EXPECT_EQ(Write(*loaded, true), full);
    EXPECT_EQ(Write(*loaded, false), bare);
    EXPECT_EQ(Write(*loaded_bare, false), bare);
    EXPECT_EQ(loaded->data().terms, original->data().terms);
    EXPECT_EQ(loaded->data().refs, original->data().refs);
    for (uint32_t f = 0; f < original->field_count(); ++f) {
      EXPECT_EQ(loaded->average_field_length(f),
                original->average_field_length(f));
    }
    if (docs == 0) continue;
    for (const std::string& q : RandomQueries(words, 150, &rng)) {
      SCOPED_TRACE(q);
      std::vector<Answer> expected = Answers(original, q, true);
      EXPECT_EQ(Answers(loaded, q, true), expected);
      std::vector<Answer> without = Answers(original, q, false);
      std::vector<Answer> got = Answers(loaded_bare, q, true);  // lists empty
      if (bigram) {
        EXPECT_EQ(SortedByRef(got), SortedByRef(without));
      } else {
        EXPECT_EQ(got, without);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, BinaryRoundTrip,
                         testing::Values("en", "zh", "en,fr"));

TEST(BinaryRoundTrip, DocumentIdsFollowReferenceOrderNotStagingOrder) {
  IndexBuilder builder(ResolveLanguage("en").language, 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  builder.Stage(StagedDocument{"b", {{0, "zebra"}}, 1.0});
  builder.Stage(StagedDocument{"a", {{0, "zebra"}}, 1.0});
  std::string file = Write(*builder.Build(), false);
  // The heap ends the docs section: "a" (id 0) then "b" (id 1); the one
  // term's record lists ids 0 and 1 as deltas 0 and 1.
  uint32_t terms_at = 0, postings_at = 0, positions_at = 0;
  for (int i = 0; i < 4; ++i) {
    terms_at |= static_cast<uint32_t>(static_cast<uint8_t>(file[48 + i])) << (8 * i);
    postings_at |= static_cast<uint32_t>(static_cast<uint8_t>(file[52 + i])) << (8 * i);
    positions_at |= static_cast<uint32_t>(static_cast<uint8_t>(file[56 + i])) << (8 * i);
  }
  EXPECT_EQ(file.substr(terms_at - 2, 2), "ab");
  EXPECT_EQ(file.substr(postings_at, positions_at - postings_at),
            std::string("\x00\x02\x01\x00\x02\x00\x01\x00\x01\x01\x00", 11));
}

// The writer refuses a position the reader would refuse, naming where it
// is; a builder with a maximum token length drops such a token instead.
// Covers the ASCII, generic and general (bigram language) analysis paths.
TEST(BinaryRoundTrip, TokenLengthAtTheReaderLimitOnly) {
  constexpr uint64_t kMax = binary_format::kMaxPositionLength;
  struct Case {
    const char* language;
    std::string unit;  // one character
  } cases[] = {{"en", "a"}, {"en", "\xC3\xA9"}, {"zh", "b"}};
  for (const Case& c : cases) {
    for (uint64_t length : {kMax, kMax + 1}) {
      SCOPED_TRACE(std::string(c.language) + " " + c.unit + " " +
                   std::to_string(length));
      std::string word;
      for (uint64_t i = 0; i < length; ++i) word += c.unit;
      for (uint64_t limit : {kUnlimitedTokenLength, kMax}) {
        IndexBuilder builder(ResolveLanguage(c.language).language, 1.2, 0.75);
        builder.set_max_token_length(limit);
        builder.DeclareField("title", 1.0);
        builder.DeclareField("body", 1.0);
        builder.Stage({"a", {{1, "x"}}, 1.0});
        builder.Stage({"b", {{1, "one " + word + " two"}}, 1.0});
        BuildStats stats;
        IndexPtr index = builder.Build({}, &stats);
        const bool dropped = length > limit;
        EXPECT_EQ(stats.dropped_tokens, dropped ? 1u : 0u);
        std::string out, overflow;
        OverlongPosition overlong;
        const bool fits = length <= kMax || dropped;
        ASSERT_EQ(WriteIndex(*index, true, &out, &overflow, &overlong), fits);
        if (fits) {
          EXPECT_EQ(Read(out)->data().document_count, 2u);
        } else {
          EXPECT_EQ(overflow, "position length");
          EXPECT_EQ(overlong.doc, 1u);
          EXPECT_EQ(overlong.field, 1u);
          EXPECT_EQ(overlong.length, length);
          EXPECT_FALSE(Write(*index, false).empty());
        }
      }
    }
  }
}

}  // namespace
}  // namespace vrim
