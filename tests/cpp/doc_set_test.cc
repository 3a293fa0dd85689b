#include "index/doc_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include "index/column.h"

namespace vrim {
namespace {

std::vector<uint32_t> RandomIds(std::mt19937* rng, uint32_t universe,
                                double share) {
  std::vector<uint32_t> ids;
  std::bernoulli_distribution keep(share);
  for (uint32_t doc = 0; doc < universe; ++doc) {
    if (keep(*rng)) ids.push_back(doc);
  }
  std::shuffle(ids.begin(), ids.end(), *rng);
  return ids;
}

std::vector<uint32_t> Sorted(std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Each operation against the same operation on sorted vectors, over sets
// in both forms (sparse below one member in 32 documents, dense above).
TEST(DocSetTest, OperationsAgreeWithSortedVectorsInBothForms) {
  std::mt19937 rng(7);
  for (uint32_t universe : {0u, 1u, 63u, 64u, 65u, 1000u, 4097u}) {
    for (double a_share : {0.0, 0.01, 0.5, 1.0}) {
      for (double b_share : {0.0, 0.02, 0.3, 1.0}) {
        const std::vector<uint32_t> a = RandomIds(&rng, universe, a_share);
        const std::vector<uint32_t> b = RandomIds(&rng, universe, b_share);
        const DocSet x = DocSet::FromIds(universe, a);
        const DocSet y = DocSet::FromIds(universe, b);
        const std::vector<uint32_t> sa = Sorted(a);
        const std::vector<uint32_t> sb = Sorted(b);
        EXPECT_EQ(x.Ids(), sa);
        EXPECT_EQ(x.dense(), sa.size() * 32 >= universe);
        auto expect = [&](const DocSet& got, auto op) {
          std::vector<uint32_t> want;
          op(sa.begin(), sa.end(), sb.begin(), sb.end(),
             std::back_inserter(want));
          EXPECT_EQ(got.Ids(), want);
          EXPECT_EQ(got.size(), want.size());
          EXPECT_EQ(got, DocSet::FromSortedIds(universe, want));
        };
        expect(DocSet::And(x, y), [](auto... args) {
          return std::set_intersection(args...);
        });
        expect(DocSet::Or(x, y),
               [](auto... args) { return std::set_union(args...); });
        expect(DocSet::Minus(x, y),
               [](auto... args) { return std::set_difference(args...); });
        expect(DocSet::Xor(x, y), [](auto... args) {
          return std::set_symmetric_difference(args...);
        });
        EXPECT_EQ(DocSet::Or(x, x.Complement()), DocSet::All(universe));
        EXPECT_TRUE(DocSet::And(x, x.Complement()).empty());
      }
    }
  }
}

TEST(DocSetTest, NextFromAndTheCursorFindTheNextMember) {
  std::mt19937 rng(11);
  for (double share : {0.005, 0.5}) {
    const std::vector<uint32_t> ids = Sorted(RandomIds(&rng, 3000, share));
    const DocSet set = DocSet::FromSortedIds(3000, ids);
    DocSetCursor cursor(set);
    for (uint32_t doc = 0; doc <= 3001; doc += 1 + doc % 7) {
      auto it = std::lower_bound(ids.begin(), ids.end(), doc);
      const uint32_t want = it == ids.end() ? DocSet::kNone : *it;
      EXPECT_EQ(set.NextFrom(doc), want) << doc;
      EXPECT_EQ(cursor.NextFrom(doc), want) << doc;
      EXPECT_EQ(set.Contains(doc), it != ids.end() && *it == doc);
    }
  }
}

TEST(ColumnValueTest, IntegersAndFloatsCompareExactly) {
  const auto i = ColumnValue::Integer;
  const auto f = ColumnValue::Float;
  EXPECT_EQ(CompareValues(i(1), f(1.0)), 0);
  EXPECT_LT(CompareValues(f(9007199254740992.0), i(9007199254740993)), 0);
  EXPECT_GT(CompareValues(i(-1), f(-1.5)), 0);
  EXPECT_LT(CompareValues(i(INT64_MAX), f(9223372036854775808.0)), 0);
  EXPECT_GT(CompareValues(i(INT64_MIN), f(-INFINITY)), 0);
  EXPECT_LT(CompareValues(f(-0.5), i(0)), 0);
  EXPECT_LT(CompareValues(ColumnValue::String("Z"), ColumnValue::String("a")),
            0);
  EXPECT_LT(CompareValues(ColumnValue::String("z"),
                          ColumnValue::String("\xc3\xa9")),
            0);  // bytes: é after z
}

TEST(ColumnTest, EqualNumbersAreOneValueKeptAsTheInteger) {
  std::vector<std::pair<uint32_t, ColumnValue>> entries = {
      {0, ColumnValue::Float(2.0)}, {2, ColumnValue::Integer(2)},
      {3, ColumnValue::Float(0.5)}};
  const Column column = Column::Make(5, std::move(entries));
  ASSERT_EQ(column.values().size(), 2u);
  EXPECT_EQ(column.values()[1].kind, ColumnValue::Kind::kInteger);
  EXPECT_EQ(column.Equals(ColumnValue::Float(2.0)).Ids(),
            (std::vector<uint32_t>{0, 2}));
  const ColumnValue lo = ColumnValue::Float(0.75);
  EXPECT_EQ(column.Between(&lo, nullptr).Ids(), (std::vector<uint32_t>{0, 2}));
  EXPECT_EQ(column.Between(nullptr, &lo).Ids(), (std::vector<uint32_t>{3}));
  EXPECT_EQ(column.code(1), Column::kNoValue);
}

}  // namespace
}  // namespace vrim
