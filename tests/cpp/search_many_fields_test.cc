// Clauses over many fields resolve every field name, by the same rule as a
// single name: the first field of that name in the index.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "search/search.h"
#include "search/search_plan.h"
#include "search_testing.h"

namespace vrim {
namespace {

TEST(SearchManyFieldsTest, EveryFieldFoundAndDuplicatesResolveToTheFirst) {
  testing::TestCorpus corpus;
  for (int f = 0; f < 12; ++f) corpus.fields.push_back("f" + std::to_string(f));
  corpus.fields.push_back("f3");  // a duplicate name, as a file may hold
  std::vector<std::string> texts(13);
  texts[3] = "apple";
  texts[10] = "pear";
  texts[12] = "apple pie";
  corpus.docs = {{"a", texts}};
  IndexPtr index = testing::AssembleIndex(
      corpus, std::make_shared<const testing::TestLanguage>());

  for (const char* text : {"apple pear pie", "f3:apple f10:pear f3:pie"}) {
    Query query;
    ParseError error;
    ASSERT_TRUE(ParseQuery(text, index->data().fields, index->language(),
                           &query, &error));
    const std::vector<Hit> hits = Search(index, query);
    ASSERT_EQ(hits.size(), 1u) << text;
    std::vector<std::pair<std::string, uint32_t>> matches;
    for (const MatchRef& m : hits[0].matches) {
      matches.emplace_back(index->data().terms[m.term], m.field);
    }
    EXPECT_EQ(matches, (std::vector<std::pair<std::string, uint32_t>>{
                           {"apple", 3}, {"pear", 10}}))
        << text;
  }
}

// A clause over every field plans only the fields its terms occur in, so a
// query of many clauses over an index of many fields costs what its
// postings cost, not clauses x fields; a shadowed duplicate stays out.
TEST(SearchManyFieldsTest, ClauseOverEveryFieldPlansOnlyFieldsWithPostings) {
  testing::TestCorpus corpus;
  for (int f = 0; f < 3000; ++f) corpus.fields.push_back("f" + std::to_string(f));
  corpus.fields.push_back("f5");
  std::vector<std::string> texts(corpus.fields.size());
  texts[5] = "apple";
  texts[2000] = "apple pear";
  texts[3000] = "apple";
  corpus.docs = {{"a", texts}, {"b", std::vector<std::string>(texts.size())}};
  corpus.docs[1].texts[7] = "pear";
  IndexPtr index = testing::AssembleIndex(
      corpus, std::make_shared<const testing::TestLanguage>());

  Query query;
  ParseError error;
  ASSERT_TRUE(ParseQuery("apple pear", index->data().fields,
                         index->language(), &query, &error));
  ASSERT_TRUE(query.clauses[0].fields.empty());  // shares all_fields
  const ScoringStats stats(*index);
  const ClausePlan apple = PlanClause(*index, query.clauses[0], stats);
  EXPECT_EQ(apple.fields, (std::vector<uint32_t>{5, 2000}));
  EXPECT_EQ(apple.ranges.size(), apple.records.size() * 2);
  const ClausePlan pear = PlanClause(*index, query.clauses[1], stats);
  EXPECT_EQ(pear.fields, (std::vector<uint32_t>{7, 2000}));
  EXPECT_EQ(Search(index, query).size(), 2u);
}

}  // namespace
}  // namespace vrim
