#include "build/posting_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vrim {
namespace {

struct Expected {
  uint32_t term, field, doc, tf;
  std::string list;
};

// Fields past one byte of steps, documents starting over at each field,
// frequencies on both sides of the shared varint (up to lists of hundreds
// of bytes), and several MB of stream, so that reading while handing pages
// back crosses many release points: every posting reads back as written.
TEST(PostingStream, ReadsBackWhatWasAddedWithOrWithoutRelease) {
  for (const bool release : {false, true}) {
    std::mt19937 rng(7);
    PostingStream stream;
    std::vector<Expected> want;
    for (const uint32_t field : {0u, 1u, 130u, 300u}) {
      for (uint32_t doc = rng() % 3; doc < 60000; doc += 1 + rng() % 30) {
        const uint32_t count = 1 + rng() % 6;
        stream.BeginField(field, doc, count);
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t tf = rng() % 4 == 0 ? 1 + rng() % 200 : 1 + rng() % 9;
          std::vector<Position> positions;
          for (uint32_t k = 0; k < tf; ++k) {
            positions.push_back(Position{rng() % 100000, 1 + rng() % 3});
          }
          const uint32_t term = rng() % 70000;
          std::vector<Position> copy = positions;
          std::string list;
          EncodePositions(&copy, &list);
          want.push_back(Expected{term, field, doc, tf, list});
          stream.Add(term, positions.data(), positions.data() + tf);
        }
      }
    }
    ASSERT_GT(stream.size(), size_t{4} << 20);
    size_t i = 0;
    stream.Read(release, [&](const StreamPosting& q) {
      ASSERT_LT(i, want.size());
      const Expected& e = want[i++];
      ASSERT_EQ(q.term, e.term) << i;
      ASSERT_EQ(q.field, e.field) << i;
      ASSERT_EQ(q.doc, e.doc) << i;
      ASSERT_EQ(q.tf, e.tf) << i;
      ASSERT_EQ(std::string(reinterpret_cast<const char*>(q.list), q.length),
                e.list)
          << i;
    });
    EXPECT_EQ(i, want.size());
  }
}

}  // namespace
}  // namespace vrim
