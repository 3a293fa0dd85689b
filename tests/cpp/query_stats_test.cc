// Two-phase search: shards scoring with their summed query statistics rank
// exactly like one index over all their documents.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

#include "search/index_fingerprint.h"
#include "search/query_stats.h"
#include "search/search.h"
#include "search_testing.h"

namespace vrim {
namespace {

using testing::AssembleIndex;
using testing::TestCorpus;
using testing::TestDoc;
using testing::TestLanguage;

const char* const kWords[] = {"ab",   "abc",  "abd",   "bad",  "bed",
                              "cab",  "dab",  "dabs",  "ebb",  "abba",
                              "dead", "deed", "bead",  "beads", "ace",
                              "aces", "the",  "caddy", "é",    "bé"};

std::string RandomText(std::mt19937& rng) {
  // Skewed towards the first words, so some terms span many blocks.
  std::string text;
  const int n = std::uniform_int_distribution<int>(0, 12)(rng);
  for (int i = 0; i < n; ++i) {
    const size_t w = std::min(rng() % std::size(kWords), rng() % std::size(kWords));
    text += (i ? " " : "") + std::string(kWords[w]);
  }
  return text;
}

std::string RandomQuery(std::mt19937& rng, const std::vector<std::string>& fields) {
  return testing::RandomQuery(rng, fields, kWords);
}

Query Parse(const IndexPtr& index, const std::string& text) {
  Query query;
  ParseError error;
  EXPECT_TRUE(ParseQuery(text, index->data().fields, index->language(), &query,
                         &error))
      << text;
  return query;
}

// Both phases across `shards`, hits merged by (score, reference).
std::vector<std::pair<std::string, double>> ShardedSearch(
    const std::vector<IndexPtr>& shards, const std::string& text,
    const SearchOptions& options) {
  std::vector<Query> queries;
  QueryStats merged;
  for (size_t s = 0; s < shards.size(); ++s) {
    queries.push_back(Parse(shards[s], text));
    const QueryStats stats = CollectQueryStats(*shards[s], queries.back());
    std::string error;
    if (s == 0) {
      merged = stats;
    } else {
      EXPECT_TRUE(AddQueryStats(merged, stats, &merged, &error)) << error;
    }
  }
  std::vector<std::pair<std::string, double>> hits;
  for (size_t s = 0; s < shards.size(); ++s) {
    std::vector<Hit> found;
    std::string error;
    EXPECT_TRUE(SearchWithStats(shards[s], queries[s], merged, options, &found,
                                &error))
        << error;
    for (const Hit& hit : found) hits.emplace_back(hit.ref(), hit.score);
  }
  std::sort(hits.begin(), hits.end(), [](const auto& x, const auto& y) {
    return x.second != y.second ? x.second > y.second : x.first < y.first;
  });
  if (options.limit && hits.size() > *options.limit) hits.resize(*options.limit);
  return hits;
}

TEST(QueryStatsTest, ShardsRankLikeOneIndex) {
  std::mt19937 rng(1307);
  auto language = std::make_shared<TestLanguage>();
  for (int trial = 0; trial < 40; ++trial) {
    TestCorpus whole;
    whole.fields = {"title", "body"};
    const double boosts[] = {1.0, 2.5, 0.0};
    whole.field_boosts = {boosts[rng() % 3], boosts[rng() % 3]};
    whole.k1 = trial % 4 == 1 ? 0.0 : 1.2;
    whole.b = trial % 4 == 2 ? 1.0 : 0.75;
    whole.positions = trial % 3 != 0;
    const int docs = std::uniform_int_distribution<int>(0, 500)(rng);
    const size_t shard_count = 2 + rng() % 6;
    std::vector<TestCorpus> parts(shard_count, whole);
    for (int d = 0; d < docs; ++d) {
      TestDoc doc{"d" + std::to_string(rng() % 100) + "/" + std::to_string(d),
                  {RandomText(rng), RandomText(rng)},
                  rng() % 6 == 0 ? 3.0 : (rng() % 9 == 0 ? 0.0 : 1.0)};
      whole.docs.push_back(doc);
      parts[rng() % shard_count].docs.push_back(doc);
    }
    const IndexPtr index = AssembleIndex(whole, language);
    std::vector<IndexPtr> shards;
    for (const TestCorpus& part : parts) {
      shards.push_back(AssembleIndex(part, language));
    }
    for (int q = 0; q < 25; ++q) {
      const std::string text = RandomQuery(rng, whole.fields);
      const std::optional<uint64_t> limits[] = {std::nullopt, 1, 10};
      for (const std::optional<uint64_t>& limit : limits) {
        const SearchOptions options{limit};
        const auto got = ShardedSearch(shards, text, options);
        const std::vector<Hit> want = Search(index, Parse(index, text), options);
        const std::string label = "trial " + std::to_string(trial) + " " + text;
        ASSERT_EQ(got.size(), want.size()) << label;
        for (size_t i = 0; i < got.size(); ++i) {
          ASSERT_EQ(got[i].first, want[i].ref()) << label << " rank " << i;
          ASSERT_EQ(std::bit_cast<uint64_t>(got[i].second + 0.0),
                    std::bit_cast<uint64_t>(want[i].score + 0.0))
              << label << " rank " << i;
        }
      }
    }
  }
}

TEST(QueryStatsTest, StatsThatDoNotFitAreRejected) {
  auto language = std::make_shared<TestLanguage>();
  TestCorpus corpus;
  corpus.fields = {"title", "body"};
  corpus.docs = {TestDoc{"a", {"bad bed", "cab"}}, TestDoc{"b", {"bed", ""}}};
  const IndexPtr index = AssembleIndex(corpus, language);
  const Query query = Parse(index, "bed ca* -cab");
  const QueryStats stats = CollectQueryStats(*index, query);
  ASSERT_EQ(stats.terms.size(), 2u);  // prohibited terms need none
  EXPECT_EQ(stats.document_count, 2u);
  EXPECT_EQ(stats.field_totals[0].total_length, 3u);
  EXPECT_EQ(stats.field_totals[1].documents, 1u);

  std::vector<Hit> hits;
  std::string error;
  QueryStats lacking = stats;
  lacking.terms.erase(lacking.terms.begin());
  EXPECT_FALSE(SearchWithStats(index, query, lacking, {}, &hits, &error));
  EXPECT_NE(error.find("lack the term \"bed\""), std::string::npos) << error;

  QueryStats other = stats;
  other.fields = {"title", "text"};
  EXPECT_FALSE(SearchWithStats(index, query, other, {}, &hits, &error));
  EXPECT_FALSE(AddQueryStats(stats, other, &other, &error));
  EXPECT_NE(error.find("different fields"), std::string::npos) << error;

  QueryStats huge = stats;
  huge.document_count = UINT64_MAX;
  EXPECT_FALSE(AddQueryStats(stats, huge, &huge, &error));
  EXPECT_NE(error.find("overflow"), std::string::npos) << error;

  QueryStats unordered = stats;
  std::swap(unordered.terms[0], unordered.terms[1]);
  EXPECT_FALSE(SearchWithStats(index, query, unordered, {}, &hits, &error));
}

TEST(QueryStatsTest, StatsNameTheIndexesTheyComeFrom) {
  auto language = std::make_shared<TestLanguage>();
  TestCorpus corpus;
  corpus.fields = {"title", "body"};
  corpus.docs = {TestDoc{"a", {"bad bed", "cab"}}};
  const IndexPtr first = AssembleIndex(corpus, language);
  corpus.docs = {TestDoc{"b", {"bed", "cab"}}};
  const IndexPtr second = AssembleIndex(corpus, language);
  corpus.docs = {};
  const IndexPtr empty = AssembleIndex(corpus, language);
  ASSERT_NE(IndexFingerprint::Of(*first), IndexFingerprint::Of(*second));
  EXPECT_EQ(IndexFingerprint::Of(*empty),
            IndexFingerprint::Of(*AssembleIndex(corpus, language)));

  const Query query = Parse(first, "bed cab");
  const QueryStats own = CollectQueryStats(*first, query);
  const QueryStats theirs = CollectQueryStats(*second, query);
  ASSERT_EQ(own.sources.size(), 1u);
  EXPECT_EQ(own.sources[0].index, IndexFingerprint::Of(*first));
  EXPECT_EQ(own.sources[0].exclusion, 0u);

  std::vector<Hit> hits;
  std::string error;
  EXPECT_FALSE(SearchWithStats(first, query, theirs, {}, &hits, &error));
  EXPECT_NE(error.find("own contribution"), std::string::npos) << error;
  QueryStats both;
  ASSERT_TRUE(AddQueryStats(theirs, own, &both, &error)) << error;
  EXPECT_EQ(both.sources.size(), 2u);
  EXPECT_TRUE(std::is_sorted(both.sources.begin(), both.sources.end()));
  EXPECT_TRUE(SearchWithStats(first, query, both, {}, &hits, &error)) << error;

  // Equal contents are counted once each: two empty shards, two sources.
  const QueryStats none = CollectQueryStats(*empty, query);
  QueryStats twice;
  ASSERT_TRUE(AddQueryStats(none, none, &twice, &error)) << error;
  EXPECT_EQ(twice.sources.size(), 2u);
}

}  // namespace
}  // namespace vrim
