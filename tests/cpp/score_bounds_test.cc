#include "search/score_bounds.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <random>

#include "search_testing.h"

namespace vrim {
namespace {

// Every posting's bound is its own unit score rounded up to a float, and
// every block's bound the largest of its postings', whatever the boosts
// and lengths (invalid boosts and empty fields included).
TEST(ScoreBounds, EachPostingIsBoundedByItsOwnUnit) {
  const double kBoosts[] = {1.0, 0.0, 2.5, -1.0,
                            std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity()};
  std::mt19937 rng(7);
  testing::TestCorpus corpus;
  corpus.fields = {"title", "body", "empty"};
  corpus.k1 = 0.9;
  corpus.b = 0.6;
  const char* words[] = {"alpha", "beta", "gamma", "delta", "omega"};
  for (int d = 0; d < 300; ++d) {
    testing::TestDoc doc{"d" + std::to_string(d), {"", "", ""}, kBoosts[d % 6]};
    for (int f = 0; f < 2; ++f) {
      for (unsigned w = rng() % 90; w > 0; --w) {
        doc.texts[f] += std::string(words[rng() % 5]) + " ";
      }
    }
    corpus.docs.push_back(doc);
  }
  IndexPtr index =
      testing::AssembleIndex(corpus, std::make_shared<testing::TestLanguage>());
  const ScoreBounds& bounds = ScoreBounds::Of(*index);
  for (uint32_t t = 0; t < index->term_count(); ++t) {
    const uint64_t first = index->data().term_postings[t];
    const float* units = bounds.posting_units_from(first);
    const double* blocks = bounds.block_units_of(t);
    for (const Posting* p = index->postings_begin(t); p != index->postings_end(t);
         ++p) {
      const uint64_t i = static_cast<uint64_t>(p - index->postings_begin(t));
      const double unit = ScoreBounds::Unit(*index, index->data().postings, *p, 0.9,
                                            0.6);
      float want = static_cast<float>(unit);
      if (want < unit) want = std::nextafter(want, 2.0f * want + 1.0f);
      ASSERT_EQ(std::bit_cast<uint32_t>(units[i]), std::bit_cast<uint32_t>(want))
          << "term " << t << " posting " << i;
      ASSERT_GE(blocks[ScoreBounds::BlockOf(i)], units[i]);
    }
  }
}

}  // namespace
}  // namespace vrim
