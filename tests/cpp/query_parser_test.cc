#include "search/query_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "search_testing.h"

namespace vrim {
namespace {

const std::vector<std::string> kFields = {"title", "body"};

struct ErrorCase {
  const char* query;
  const char* message;
  uint64_t start;
  uint64_t end;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.query; }

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, MessageAndSpan) {
  const ErrorCase& c = GetParam();
  testing::TestLanguage language;
  Query query;
  ParseError error;
  ASSERT_FALSE(ParseQuery(c.query, kFields, language, &query, &error))
      << c.query;
  EXPECT_EQ(error.message, c.message) << c.query;
  EXPECT_EQ(error.start, c.start) << c.query;
  EXPECT_EQ(error.end, c.end) << c.query;
}

INSTANTIATE_TEST_SUITE_P(
    AllMessages, ParseErrorTest,
    ::testing::Values(
        ErrorCase{"^2", "expected either a field or a term, found Boost", 1,
                  2},
        ErrorCase{"~1", "expected either a field or a term, found EditDistance",
                  1, 2},
        ErrorCase{"+", "expecting term or field, found nothing", 0, 1},
        ErrorCase{"foo -", "expecting term or field, found nothing", 4, 5},
        ErrorCase{"+-foo", "expecting term or field, found Presence", 1, 2},
        ErrorCase{"+^2", "expecting term or field, found Boost", 2, 3},
        ErrorCase{"titel:foo",
                  "unrecognised field 'titel', possible fields: 'title', "
                  "'body'",
                  0, 5},
        ErrorCase{":foo",
                  "unrecognised field '', possible fields: 'title', 'body'", 0,
                  0},
        ErrorCase{"ti\\\\tle:foo",
                  "unrecognised field 'ti\\tle', possible fields: 'title', "
                  "'body'",
                  0, 7},
        ErrorCase{"- -", "expecting term or field, found Presence", 2, 3},
        ErrorCase{"title:", "expecting term, found nothing", 0, 5},
        ErrorCase{"title:^2", "expecting term, found Boost", 7, 8},
        ErrorCase{"title:foo:bar", "expecting term, found Field", 6, 9},
        ErrorCase{"title:+foo", "expecting term, found Presence", 6, 7},
        ErrorCase{"title:~1", "expecting term, found EditDistance", 7, 8},
        ErrorCase{"foo~", "edit distance must be numeric", 3, 4},
        ErrorCase{"foo~2x", "edit distance must be numeric", 4, 6},
        ErrorCase{"foo~1.5", "edit distance must be numeric", 4, 7},
        ErrorCase{"foo~x", "edit distance must be numeric", 4, 5},
        ErrorCase{"foo~18446744073709551616", "edit distance must be numeric",
                  4, 24},
        ErrorCase{"foo^", "boost must be numeric", 3, 4},
        ErrorCase{"foo^-1", "boost must be numeric", 3, 4},
        ErrorCase{"foo^1_0", "boost must be numeric", 4, 7},
        ErrorCase{"foo^1e", "boost must be numeric", 4, 6},
        ErrorCase{"foo^.", "boost must be numeric", 4, 5},
        ErrorCase{"foo^1.2.3", "boost must be numeric", 4, 9},
        ErrorCase{"foo^inf", "boost must be finite", 4, 7},
        ErrorCase{"foo^Infinity", "boost must be finite", 4, 12},
        ErrorCase{"foo^NaN", "boost must be finite", 4, 7},
        ErrorCase{"foo^1e999", "boost must be finite", 4, 9},
        // Offsets count code points, not bytes.
        ErrorCase{"検索:x",
                  "unrecognised field '検索', possible fields: 'title', "
                  "'body'",
                  0, 2},
        ErrorCase{"日本^", "boost must be numeric", 2, 3},
        ErrorCase{"über~zwei", "edit distance must be numeric", 5, 9},
        ErrorCase{"é +", "expecting term or field, found nothing", 2, 3}));

struct ClauseExpectation {
  std::string term;
  std::vector<std::string> fields = kFields;
  Presence presence = Presence::kOptional;
  double boost = 1.0;
  std::optional<uint64_t> edit_distance;
  bool wildcard = false;
  bool use_pipeline = true;
};

struct SuccessCase {
  const char* query;
  std::vector<ClauseExpectation> clauses;
};

void PrintTo(const SuccessCase& c, std::ostream* os) { *os << c.query; }

class ParseSuccessTest : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(ParseSuccessTest, Clauses) {
  const SuccessCase& c = GetParam();
  testing::TestLanguage language;
  Query query;
  ParseError error;
  ASSERT_TRUE(ParseQuery(c.query, kFields, language, &query, &error))
      << c.query << ": " << error.message;
  EXPECT_EQ(query.all_fields, kFields);
  ASSERT_EQ(query.clauses.size(), c.clauses.size()) << c.query;
  for (size_t i = 0; i < c.clauses.size(); ++i) {
    const Clause& got = query.clauses[i];
    const ClauseExpectation& want = c.clauses[i];
    EXPECT_EQ(got.term, want.term) << c.query;
    EXPECT_EQ(ClauseFields(query, got), want.fields) << c.query;
    EXPECT_EQ(got.presence, want.presence) << c.query;
    EXPECT_EQ(got.boost, want.boost) << c.query;
    EXPECT_EQ(got.edit_distance, want.edit_distance) << c.query;
    EXPECT_EQ(got.wildcard, want.wildcard) << c.query;
    EXPECT_EQ(got.use_pipeline, want.use_pipeline) << c.query;
  }
}

ClauseExpectation Term(std::string term) {
  ClauseExpectation c;
  c.term = std::move(term);
  return c;
}

ClauseExpectation With(ClauseExpectation c, Presence presence) {
  c.presence = presence;
  return c;
}

ClauseExpectation Boosted(ClauseExpectation c, double boost) {
  c.boost = boost;
  return c;
}

ClauseExpectation Fuzzy(ClauseExpectation c, uint64_t distance) {
  c.edit_distance = distance;
  return c;
}

ClauseExpectation InFields(ClauseExpectation c,
                           std::vector<std::string> fields) {
  c.fields = std::move(fields);
  return c;
}

ClauseExpectation Literal(ClauseExpectation c, bool wildcard) {
  c.wildcard = wildcard;
  c.use_pipeline = false;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ParseSuccessTest,
    ::testing::Values(
        SuccessCase{"", {}}, SuccessCase{"   ", {}},
        SuccessCase{"foo bar", {Term("foo"), Term("bar")}},
        SuccessCase{"FOO Ｂａｒ", {Term("foo"), Term("bar")}},
        SuccessCase{"-foo +bar",
                    {With(Term("foo"), Presence::kProhibited),
                     With(Term("bar"), Presence::kRequired)}},
        SuccessCase{"foo-bar", {Term("foo"), Term("bar")}},
        SuccessCase{"a--b",
                    {Term("a"), With(Term("b"), Presence::kProhibited)}},
        SuccessCase{"a+b", {Term("a+b")}},
        SuccessCase{"title:foo", {InFields(Term("foo"), {"title"})}},
        SuccessCase{"ti\\tle:foo", {InFields(Term("foo"), {"title"})}},
        SuccessCase{"+body:foo bar",
                    {With(InFields(Term("foo"), {"body"}), Presence::kRequired),
                     Term("bar")}},
        SuccessCase{"foo~2", {Fuzzy(Term("foo"), 2)}},
        SuccessCase{"foo~0", {Fuzzy(Term("foo"), 0)}},
        SuccessCase{"foo~18446744073709551615",
                    {Fuzzy(Term("foo"), 18446744073709551615ull)}},
        SuccessCase{"foo^2~1 bar", {Fuzzy(Boosted(Term("foo"), 2), 1),
                                    Term("bar")}},
        SuccessCase{"foo ^2", {Boosted(Term("foo"), 2.0)}},
        SuccessCase{"foo^1e7", {Boosted(Term("foo"), 1000000.0)}},
        SuccessCase{"foo^0.5^3", {Boosted(Term("foo"), 3.0)}},
        SuccessCase{"foo^.5", {Boosted(Term("foo"), 0.5)}},
        SuccessCase{"foo^1.", {Boosted(Term("foo"), 1.0)}},
        SuccessCase{"foo^2E-1", {Boosted(Term("foo"), 0.2)}},
        SuccessCase{"foo^1e-999", {Boosted(Term("foo"), 0.0)}},
        // Correctly rounded on every C++ library: a subnormal stays a
        // value; just past a halfway point rounds up.
        SuccessCase{"foo^4.9e-324", {Boosted(Term("foo"), 4.9e-324)}},
        SuccessCase{"foo^0.30000000000000001665335",
                    {Boosted(Term("foo"), 0.30000000000000004)}},
        SuccessCase{"foo^0.30000000000000001665334",
                    {Boosted(Term("foo"), 0.3)}},
        SuccessCase{"foo^0", {Boosted(Term("foo"), 0.0)}},
        SuccessCase{"foo*", {Literal(Term("foo*"), true)}},
        SuccessCase{"foo\\*", {Literal(Term("foo\\*"), false)}},
        SuccessCase{"foo\\\\*", {Literal(Term("foo\\\\*"), true)}},
        SuccessCase{"*oo~1", {Fuzzy(Literal(Term("*oo"), true), 1)}},
        SuccessCase{"\\+foo", {Term("+foo")}},
        SuccessCase{"a\\:b", {Term("a:b")}},
        SuccessCase{"a\\ b", {Term("a b")}},
        SuccessCase{"a\\^2", {Term("a^2")}},
        SuccessCase{"foo\\", {Term("foo\\")}},
        SuccessCase{"x \\-y", {Term("x"), Term("-y")}}));

TEST(ParseQueryTest, TermFoldingFollowsTheLanguageCode) {
  struct Case {
    const char* code;
    const char* want;
  };
  for (const Case& c :
       {Case{"test", "istanbul"}, Case{"tr", "ıstanbul"},
        Case{" tr ", "ıstanbul"}, Case{"en, tr", "Istanbul"}}) {
    testing::TestLanguage language(c.code);
    Query query;
    ParseError error;
    ASSERT_TRUE(ParseQuery("Istanbul", kFields, language, &query, &error));
    ASSERT_EQ(query.clauses.size(), 1u);
    EXPECT_EQ(query.clauses[0].term, c.want) << c.code;
  }
}

// Few names are scanned, many looked up in a table: both keep the first
// of each name and know every name.
TEST(ParseQueryTest, AllFieldsDropsDuplicateFieldNames) {
  testing::TestLanguage language;
  for (size_t extra : {0, 12}) {
    std::vector<std::string> fields = {"b", "a", "b"};
    for (size_t i = 0; i < extra; ++i) {
      fields.push_back("f" + std::to_string(i % 6));
    }
    std::vector<std::string> unique = {"b", "a"};
    for (size_t i = 0; i < std::min<size_t>(extra, 6); ++i) {
      unique.push_back("f" + std::to_string(i));
    }
    Query query;
    ParseError error;
    ASSERT_TRUE(ParseQuery("x a:y", fields, language, &query, &error));
    EXPECT_EQ(query.all_fields, unique);
    EXPECT_TRUE(query.clauses[0].fields.empty());  // every field, shared
    EXPECT_EQ(ClauseFields(query, query.clauses[0]), query.all_fields);
    EXPECT_FALSE(ParseQuery("c:y", fields, language, &query, &error));
    EXPECT_EQ(error.message.find("unrecognised field 'c'"), 0u);
  }
}

TEST(AddClauseTest, CompletionRules) {
  Query query;
  query.all_fields = {"title", "body"};

  Clause c;
  c.term = "foo";
  c.boost = -2.0;
  c.fields = {"body", "title", "body"};
  AddClause(&query, c);

  c = Clause();
  c.term = "foo";
  c.boost = std::numeric_limits<double>::infinity();
  c.wildcard_leading = true;
  c.wildcard_trailing = true;
  AddClause(&query, c);

  c = Clause();
  c.term = "*fo\\*";  // ends in an escaped star
  c.boost = 5e6;
  c.wildcard_leading = true;
  c.wildcard_trailing = true;
  AddClause(&query, c);

  c = Clause();
  c.term = "";
  c.wildcard_trailing = true;
  AddClause(&query, c);

  c = Clause();
  c.term = "fo\\\\*";  // two backslashes: the star is a wildcard
  c.boost = std::nan("");
  c.wildcard_trailing = true;
  AddClause(&query, c);

  ASSERT_EQ(query.clauses.size(), 5u);
  EXPECT_EQ(query.clauses[0].fields,
            (std::vector<std::string>{"body", "title"}));
  EXPECT_EQ(query.clauses[0].boost, 0.0);
  EXPECT_FALSE(query.clauses[0].wildcard);
  EXPECT_TRUE(query.clauses[0].use_pipeline);

  EXPECT_EQ(ClauseFields(query, query.clauses[1]), query.all_fields);
  EXPECT_EQ(query.clauses[1].boost, 1.0);
  EXPECT_EQ(query.clauses[1].term, "*foo*");
  EXPECT_TRUE(query.clauses[1].wildcard);
  EXPECT_FALSE(query.clauses[1].use_pipeline);

  EXPECT_EQ(query.clauses[2].boost, 1000000.0);
  EXPECT_EQ(query.clauses[2].term, "*fo\\**");

  EXPECT_EQ(query.clauses[3].term, "");
  EXPECT_FALSE(query.clauses[3].wildcard);
  EXPECT_TRUE(query.clauses[3].use_pipeline);

  EXPECT_EQ(query.clauses[4].term, "fo\\\\*");
  EXPECT_EQ(query.clauses[4].boost, 1.0);
  EXPECT_TRUE(query.clauses[4].wildcard);
}

TEST(UnescapeTest, BackslashRuns) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : {Case{"plain", "plain"}, Case{"a\\*", "a*"},
                        Case{"a\\\\*", "a\\*"}, Case{"a\\\\\\*", "a\\*"},
                        Case{"a\\b", "a\\b"}, Case{"a\\\\b", "a\\b"},
                        Case{"a\\\\\\b", "a\\\\b"}, Case{"\\", "\\"},
                        Case{"*\\**", "***"}}) {
    EXPECT_EQ(Unescape(c.in), c.out) << c.in;
  }
}

TEST(PhraseParseTest, QuotedRunsAreClausesOnlyWhenAsked) {
  testing::TestLanguage language;
  Query query;
  ParseError error;
  ParseOptions phrases;
  phrases.phrases = true;
  ASSERT_TRUE(ParseQuery("+title:\"Red a\\\"b \\*x\"~3^2 -\"c d\" e\"f", kFields,
                         language, &query, &error, phrases))
      << error.message;
  ASSERT_EQ(query.clauses.size(), 3u);
  const Clause& first = query.clauses[0];
  EXPECT_TRUE(first.phrase);
  EXPECT_EQ(first.term, "red a\"b *x");  // escaped star: not a wildcard
  EXPECT_EQ(first.slop, 3u);
  EXPECT_EQ(first.boost, 2.0);
  EXPECT_EQ(first.presence, Presence::kRequired);
  EXPECT_EQ(first.fields, std::vector<std::string>{"title"});
  EXPECT_FALSE(first.wildcard);
  EXPECT_TRUE(query.clauses[1].phrase);
  EXPECT_EQ(query.clauses[1].presence, Presence::kProhibited);
  EXPECT_EQ(query.clauses[1].term, "c d");
  EXPECT_FALSE(query.clauses[2].phrase);  // a quote inside a term
  EXPECT_EQ(query.clauses[2].term, "e\"f");

  ASSERT_TRUE(ParseQuery("\"c d\"~3", kFields, language, &query, &error));
  ASSERT_EQ(query.clauses.size(), 2u);
  EXPECT_FALSE(query.clauses[0].phrase);
  EXPECT_EQ(query.clauses[1].term, "d\"");
  EXPECT_EQ(query.clauses[1].edit_distance, 3u);
}

}  // namespace
}  // namespace vrim
