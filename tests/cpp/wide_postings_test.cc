// Postings whose values do not pack into a posting's word: they load,
// write back byte for byte and score as the values say.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "binary_testing.h"
#include "format/data_reader.h"
#include "index/postings.h"
#include "search/query_parser.h"
#include "search/search.h"

namespace vrim {
namespace {

using binary_testing::PostingValues;

TEST(Postings, PackOrGoWideByValue) {
  struct Case {
    uint32_t field, tf, position_count;
    bool wide;
  } cases[] = {
      {0, 0, 0, false},          {255, 4194303, 4194303, false},
      {256, 1, 1, true},         {0, 4194304, 0, true},
      {3, 5, 4, true},           {3, 0, 7, true},
      {UINT32_MAX, UINT32_MAX, UINT32_MAX, true},
  };
  Postings postings;
  for (const Case& c : cases) {
    ASSERT_TRUE(postings.push_back(c.field, 7, c.tf, c.position_count));
    const Posting& p = postings[postings.size() - 1];
    EXPECT_EQ(p.wide(), c.wide) << c.field << " " << c.tf;
    EXPECT_EQ(PostingValues(postings, postings.size() - 1),
              std::make_tuple(c.field, 7u, c.tf, c.position_count));
  }
  EXPECT_EQ(postings.wide_values().size(), 5u);
}

// 300 fields; "big" has a packed posting, one wide by its position count
// (70000 of a frequency of a million) and one wide by its field (299) and
// frequency (5 million); "small" occurs twice in field 299 of "a", so
// the phrase "small small" has a posting of its own that does not pack.
IndexData WideData() {
  std::vector<std::string> fields;
  for (int f = 0; f < 300; ++f) fields.push_back("f" + std::to_string(f));
  std::vector<Position> many;
  for (uint32_t i = 0; i < 70000; ++i) many.push_back({2 * i, 1});
  return binary_testing::MakeIndexData(
      fields, {"a", "b", "c"},
      {{"big",
        {{0, 0, 3, {{0, 3}, {4, 3}, {8, 3}}},
         {0, 1, 1000000, many},
         {299, 2, 5000000, {}}}},
       {"small", {{299, 0, 2, {{0, 1}, {2, 1}}}}}},
      ResolveLanguage("en").language->pipeline(), 10);
}

TEST(WidePostings, RoundTripThroughTheFileFormat) {
  const IndexData original = WideData();
  ASSERT_EQ(original.postings.wide_values().size(), 3u);
  const std::string file = binary_testing::Write(original);
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  for (ReadPath path : {ReadPath::kFast, ReadPath::kGeneral}) {
    ASSERT_TRUE(ReadIndexData(file, std::nullopt, &loaded, &language, &error,
                              path))
        << error.message;
    ASSERT_EQ(loaded.postings.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(PostingValues(loaded.postings, i),
                PostingValues(original.postings, i));
    }
    EXPECT_EQ(binary_testing::PostingPositions(loaded),
              binary_testing::PostingPositions(original));
    EXPECT_EQ(binary_testing::Write(loaded), file);
  }
}

TEST(WidePostings, ScoreAsTheirValues) {
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(binary_testing::Write(WideData()), std::nullopt,
                            &loaded, &language, &error))
      << error.message;
  const IndexPtr index = Index::Make(std::move(loaded), language);
  // Every field length is 10, the average: BM25 with the length part 1.
  const double idf = std::log(1 + 0.5 / 3.5);
  auto score = [&](double tf) {
    return std::round(idf * tf * 2.2 / (tf + 1.2) * 1000) / 1000;
  };
  struct Case {
    const char* query;
    std::vector<std::pair<std::string, double>> hits;
  } cases[] = {
      // Equal once rounded: by reference.
      {"big", {{"b", score(1e6)}, {"c", score(5e6)}, {"a", score(3)}}},
      {"f299:big", {{"c", score(5e6)}}},
      {"f299:\"small small\"", {{"a", 0.0}}},
  };
  for (const Case& c : cases) {
    Query query;
    ParseError parse_error;
    ASSERT_TRUE(ParseQuery(c.query, index->data().fields, index->language(),
                           &query, &parse_error));
    for (std::optional<uint64_t> limit : {std::optional<uint64_t>(),
                                          std::optional<uint64_t>(2)}) {
      const std::vector<Hit> hits =
          Search(index, query, SearchOptions{.limit = limit});
      ASSERT_EQ(hits.size(), std::min<uint64_t>(limit.value_or(9),
                                                c.hits.size()))
          << c.query;
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].ref(), c.hits[i].first) << c.query;
        if (c.hits[i].second > 0.0) {
          EXPECT_DOUBLE_EQ(hits[i].score, c.hits[i].second) << c.query;
        } else {
          EXPECT_GT(hits[i].score, 0.0) << c.query;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vrim
