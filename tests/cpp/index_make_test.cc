#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "index/index.h"
#include "test_language.h"

namespace vrim {
namespace {

// Three documents a, b, c; fields title, body. Terms: cat (title of a and
// body of a and c), dog (body of b), zebra (no postings are kept for it
// except body of c).
IndexData SampleData() {
  IndexData d;
  d.language = "test";
  d.pipeline = {"trimmer"};
  d.fields = {"title", "body"};
  d.field_boosts = {2.0, 1.0};
  d.refs = {"a", "b", "c"};
  d.doc_boosts = {1.0, 1.0, 0.5};
  d.document_count = 3;
  // Document-major: title lengths 4, 0, 2 and body lengths 3, 5, 0.
  d.field_lengths = {4, 3, 0, 5, 2, 0};
  d.terms = {"cat", "dog", "zebra"};
  std::vector<Position> cat_title = {{5, 3}, {0, 3}};
  std::vector<Position> cat_body = {{2, 4}};
  d.postings.push_back(0, 0, 2, 2);
  EncodePositions(&cat_title, &d.positions);
  d.postings.push_back(1, 0, 1, 1);
  EncodePositions(&cat_body, &d.positions);
  d.postings.push_back(1, 2, 1, 0);  // no positions
  d.postings.push_back(1, 1, 3, 0);
  d.postings.push_back(0, 2, 1, 0);
  d.term_postings = {0, 3, 4, 5};
  return d;
}

TEST(IndexMakeTest, DerivesAverageFieldLengthsSkippingEmptyFields) {
  IndexPtr index = Index::Make(SampleData(), testing::MakeSpaceLanguage());
  EXPECT_DOUBLE_EQ(index->average_field_length(0), 3.0);  // (4 + 2) / 2
  EXPECT_DOUBLE_EQ(index->average_field_length(1), 4.0);  // (3 + 5) / 2
  EXPECT_EQ(index->field_length(2, 0), 2u);
  EXPECT_EQ(index->field_length(2, 1), 0u);
}

TEST(IndexMakeTest, HoldsDocumentBoostsOnlyWhenOneIsNotOne) {
  const std::vector<double> kept = {1.0, 1.0, 0.5};
  for (const std::vector<double>& boosts :
       {std::vector<double>{1.0, 1.0, 1.0}, kept, std::vector<double>{}}) {
    IndexData d = SampleData();
    d.doc_boosts = boosts;
    IndexPtr index = Index::Make(std::move(d), nullptr);
    const bool all_one = boosts != kept;
    EXPECT_EQ(index->data().doc_boosts.empty(), all_one);
    EXPECT_EQ(index->data().doc_boost(2), all_one ? 1.0 : 0.5);
    EXPECT_EQ(index->data().doc_boost(0), 1.0);
  }
}

TEST(IndexMakeTest, FieldLengthsAboveThirtyTwoBitsAreRefused) {
  EXPECT_EQ(FieldLengthOf(kMaxFieldLength), UINT32_MAX);
  EXPECT_THROW(FieldLengthOf(kMaxFieldLength + 1), std::length_error);
  EXPECT_THROW(FieldLengthOf(uint64_t{1} << 40), std::length_error);
}

TEST(IndexMakeTest, FieldWithoutTokensAveragesZero) {
  IndexData d = SampleData();
  d.fields.push_back("empty");
  d.field_boosts.push_back(1.0);
  d.field_lengths = {4, 3, 0, 0, 5, 0, 2, 0, 0};
  IndexPtr index = Index::Make(std::move(d), nullptr);
  EXPECT_EQ(index->average_field_length(2), 0.0);
}

TEST(IndexMakeTest, DocumentFrequencyCountsDistinctDocuments) {
  IndexPtr index = Index::Make(SampleData(), testing::MakeSpaceLanguage());
  EXPECT_EQ(index->document_frequency(0), 2u);  // a twice, c once
  EXPECT_EQ(index->document_frequency(1), 1u);
  EXPECT_EQ(index->document_frequency(2), 1u);
}

TEST(IndexMakeTest, LooksUpTermsFieldsAndPositions) {
  IndexPtr index = Index::Make(SampleData(), testing::MakeSpaceLanguage());
  EXPECT_EQ(index->FindTerm("cat"), 0);
  EXPECT_EQ(index->FindTerm("zebra"), 2);
  EXPECT_EQ(index->FindTerm("ca"), -1);
  EXPECT_EQ(index->FindTerm("zz"), -1);
  EXPECT_EQ(index->FindTerm(""), -1);
  EXPECT_EQ(index->FindField("body"), 1);
  EXPECT_EQ(index->FindField("Body"), -1);
  EXPECT_EQ(index->token_set().Find("dog"), 1);
  EXPECT_EQ(index->token_set().node_count(), 1u + 3 + 3 + 5);

  EXPECT_EQ(index->postings_end(0) - index->postings_begin(0), 3);
  std::vector<Position> got;
  index->AppendPositions(*index->postings_begin(0), &got);
  EXPECT_EQ(got, (std::vector<Position>{{0, 3}, {5, 3}}));  // sorted
  got.clear();
  index->AppendPositions(*index->postings_begin(1), &got);
  EXPECT_TRUE(got.empty());  // tf 3 but positions not kept
}

TEST(IndexMakeTest, FindsEveryPostingsPositionListAcrossMarks) {
  // Lists of varied lengths and postings without any, over several marks.
  IndexData d;
  d.fields = {"body"};
  d.field_boosts = {1.0};
  d.document_count = 200;
  std::vector<std::vector<Position>> want(200);
  for (uint32_t doc = 0; doc < 200; ++doc) {
    d.refs.push_back(std::to_string(1000 + doc));
    d.doc_boosts.push_back(1.0);
    d.field_lengths.push_back(500);
    for (uint32_t k = 0; k < doc % 7; ++k) {
      want[doc].push_back({doc * 3 + k * 200, doc % 3 == 0 ? 4u : k + 1});
    }
    std::vector<Position> list = want[doc];
    const auto count = static_cast<uint32_t>(list.size());
    d.postings.push_back(0, doc, count + 1, count);
    if (count > 0) EncodePositions(&list, &d.positions);
  }
  d.terms = {"word"};
  d.term_postings = {0, 200};
  IndexPtr index = Index::Make(std::move(d), testing::MakeSpaceLanguage());
  for (uint32_t doc = 0; doc < 200; ++doc) {
    std::vector<Position> got;
    index->AppendPositions(index->postings_begin(0)[doc], &got);
    EXPECT_EQ(got, want[doc]) << doc;
  }
}

TEST(IndexMakeTest, EmptyIndex) {
  IndexData d;
  d.term_postings = {0};
  IndexPtr index = Index::Make(std::move(d), nullptr);
  EXPECT_EQ(index->term_count(), 0u);
  EXPECT_EQ(index->FindTerm("a"), -1);
  EXPECT_EQ(index->token_set().node_count(), 1u);
}

TEST(IndexMakeTest, SanitizesK1AndB) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double in, k1, b;
  } cases[] = {
      {0.0, 0.0, 0.0},    {-0.0, 0.0, 0.0},  {0.5, 0.5, 0.5},
      {1.0, 1.0, 1.0},    {2.0, 2.0, 1.0},   {-1.0, 1.2, 0.0},
      {-0.5, 1.2, 0.0},   {inf, 1.2, 0.75},  {-inf, 1.2, 0.75},
      {nan, 1.2, 0.75},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeK1(c.in), c.k1) << c.in;
    EXPECT_EQ(SanitizeB(c.in), c.b) << c.in;
  }
}

}  // namespace
}  // namespace vrim
