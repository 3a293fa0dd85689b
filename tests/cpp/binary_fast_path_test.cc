// The reader's fast path against its general path: for random files and
// random mutations of them, both must load the same data or fail with the
// same error. The files mix every shape the fast path tells apart: one- to
// three-byte deltas and frequencies, lists with and without lengths, short
// and long varints, lists at the very end of the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/language.h"
#include "binary_testing.h"
#include "format/data_reader.h"
#include "format/position_scan.h"
#include "index/positions.h"
#include "index/varint.h"

namespace vrim {
namespace {

using binary_testing::TermList;
using binary_testing::TestPosting;

struct Outcome {
  bool ok;
  ReadError error;
  IndexData data;
};

Outcome Read(const std::string& file, ReadPath path) {
  Outcome out{};
  LanguagePtr language;
  out.ok = ReadIndexData(file, std::nullopt, &out.data, &language, &out.error,
                         path);
  return out;
}

void ExpectSame(const Outcome& fast, const Outcome& general,
                const std::string& what) {
  ASSERT_EQ(fast.ok, general.ok) << what << ": " << fast.error.message
                                 << " / " << general.error.message;
  if (!fast.ok) {
    EXPECT_EQ(fast.error.kind, general.error.kind) << what;
    EXPECT_EQ(fast.error.message, general.error.message) << what;
    return;
  }
  const IndexData& a = fast.data;
  const IndexData& b = general.data;
  EXPECT_EQ(a.refs, b.refs) << what;
  EXPECT_EQ(a.terms, b.terms) << what;
  EXPECT_EQ(a.term_postings, b.term_postings) << what;
  EXPECT_EQ(a.positions, b.positions) << what;
  ASSERT_EQ(a.postings.size(), b.postings.size()) << what;
  for (size_t i = 0; i < a.postings.size(); ++i) {
    ASSERT_EQ(binary_testing::PostingValues(a.postings, i),
              binary_testing::PostingValues(b.postings, i))
        << what << ": posting " << i;
  }
}

// A value of one, two, three or (rarely) many varint bytes.
uint64_t SomeValue(std::mt19937_64& rng, uint64_t cap) {
  static const uint64_t kLimits[] = {128, 16384, 1 << 21, 1ull << 40};
  const int r = static_cast<int>(rng() % 16);
  const uint64_t limit = kLimits[r < 8 ? 0 : r < 13 ? 1 : r < 15 ? 2 : 3];
  return rng() % std::min(limit, cap);
}

IndexData RandomIndex(std::mt19937_64& rng) {
  const int docs = 1 + static_cast<int>(rng() % 300);
  std::vector<std::string> refs;
  for (int d = 0; d < docs; ++d) refs.push_back("d" + std::to_string(1000 + d));
  TermList terms;
  const int term_count = 1 + static_cast<int>(rng() % 40);
  std::set<std::string> words;
  while (static_cast<int>(words.size()) < term_count) {
    words.insert("t" + std::to_string(rng() % 100000));
  }
  for (const std::string& word : words) {
    std::vector<TestPosting> postings;
    for (uint32_t field = 0; field < 2; ++field) {
      if (rng() % 3 == 0 && !(field == 1 && postings.empty())) continue;
      const uint64_t step = 1 + rng() % (rng() % 2 ? 3 : 200);
      for (uint64_t doc = rng() % 5; doc < static_cast<uint64_t>(docs);
           doc += step) {
        const uint64_t k = 1 + (rng() % 4 == 0 ? rng() % 40 : rng() % 3);
        const bool one_length = rng() % 3 != 0;
        const uint64_t length = 1 + SomeValue(rng, 1 << 20);
        std::vector<Position> positions;
        uint64_t start = SomeValue(rng, 1ull << 40);
        for (uint64_t i = 0; i < k; ++i) {
          positions.push_back(
              {start, one_length ? length : SomeValue(rng, 1 << 20)});
          start += SomeValue(rng, 1ull << 40);
        }
        const uint32_t tf = static_cast<uint32_t>(
            k + (rng() % 8 == 0 ? SomeValue(rng, 1 << 20) : 0));
        postings.push_back({field, static_cast<uint32_t>(doc), tf, positions});
      }
    }
    if (!postings.empty()) terms.emplace_back(word, postings);
  }
  if (terms.empty()) terms.push_back({"x", {{0, 0, 1, {{0, 1}}}}});
  return binary_testing::MakeIndexData(
      {"title", "body"}, refs, terms,
      ResolveLanguage("en").language->pipeline(), 3);
}

// Overwrites, inserts or removes bytes, mostly in the postings and
// positions sections, keeping the header's offsets: the section ends move
// only with removals and insertions, as in a damaged file.
std::string Mutate(std::string file, std::mt19937_64& rng) {
  const uint32_t postings_at = binary_testing::U32At(file, 52);
  const int edits = 1 + static_cast<int>(rng() % 3);
  for (int e = 0; e < edits && file.size() > 64; ++e) {
    const size_t from = rng() % 4 == 0 ? 64 : std::min<size_t>(postings_at,
                                                              file.size() - 1);
    const size_t at = from + rng() % (file.size() - from);
    static const uint8_t kBytes[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFF};
    const char byte = static_cast<char>(
        rng() % 2 ? kBytes[rng() % 6] : static_cast<uint8_t>(rng()));
    switch (rng() % 6) {
      case 0:
        file.insert(file.begin() + at, byte);
        break;
      case 1:
        file.erase(at, 1);
        break;
      default:
        file[at] = byte;
    }
  }
  return file;
}

TEST(BinaryFastPath, AgreesWithTheGeneralPathOnRandomAndDamagedFiles) {
  std::mt19937_64 rng(14);
  int loaded = 0, rejected = 0;
  for (int round = 0; round < 300; ++round) {
    const IndexData data = RandomIndex(rng);
    const std::string file = binary_testing::Write(data, round % 10 != 0);
    const Outcome sound = Read(file, ReadPath::kFast);
    ASSERT_TRUE(sound.ok) << sound.error.message;
    ExpectSame(sound, Read(file, ReadPath::kGeneral), "round " +
                                                          std::to_string(round));
    for (int m = 0; m < 30; ++m) {
      const std::string damaged = Mutate(file, rng);
      const Outcome fast = Read(damaged, ReadPath::kFast);
      ExpectSame(fast, Read(damaged, ReadPath::kGeneral),
                 "round " + std::to_string(round) + " mutation " +
                     std::to_string(m));
      (fast.ok ? loaded : rejected)++;
      if (testing::Test::HasFatalFailure()) return;
    }
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(loaded, 1000);
  EXPECT_GT(rejected, 1000);
}

// The word scan against a one-at-a-time count, around every word boundary.
TEST(BinaryFastPath, ShortVarintScanMatchesDecoding) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      const int r = static_cast<int>(rng() % 20);
      if (r == 0) {
        bytes += binary_testing::Bytes({0x80, 0x00});  // padded
      } else {
        PutVarint64(&bytes, r < 10   ? rng() % 128
                            : r < 16 ? rng() % 16384
                            : r < 19 ? rng() % (1 << 28)
                                     : rng() % (1ull << 50));
      }
    }
    bytes += std::string(rng() % 12, '\x81');  // what follows, then the end
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* end = p + bytes.size();
    const uint64_t want = static_cast<uint64_t>(count);
    const uint64_t scanned = ScanShortVarints(p, end, want);
    // The reference: decode one at a time.
    const uint8_t* q = p;
    bool padded = false, long_varint = false;
    for (uint64_t i = 0; i < want; ++i) {
      const uint8_t* at = q;
      GetVarint64Unchecked(&q);
      if (q - at > 1 && q[-1] == 0) padded = true;
      if (q - at > 4) long_varint = true;
    }
    const uint64_t length = static_cast<uint64_t>(q - p);
    // Whole words are read up to the one holding the last byte.
    const bool reachable = (length + 7) / 8 * 8 <= bytes.size();
    if (padded) {
      EXPECT_EQ(scanned, 0u) << round;
    } else if (!long_varint) {
      EXPECT_EQ(scanned, reachable ? length : 0) << round;
    } else if (scanned != 0) {
      EXPECT_EQ(scanned, length) << round;
      EXPECT_LE(length, 8u) << round;  // too few bytes to overflow
    }
  }
}

// One-start lists, taken apart from the word scan, against decoding:
// every L and varint byte that matters, and ends that cut the list short.
TEST(BinaryFastPath, OneStartListScanMatchesDecoding) {
  static const uint8_t kBytes[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFF};
  for (uint8_t l : {0x01, 0x7F, 0x80}) {  // L = 0 is the other shape
    for (uint8_t b1 : kBytes) {
      for (uint8_t b2 : kBytes) {
        for (uint8_t b3 : kBytes) {
          const std::string full = binary_testing::Bytes({l, b1, b2, b3}) +
                                   std::string(8, '\x01');
          // Decoded one byte at a time: the start takes bytes 1..n, and
          // is in shortest form or not.
          size_t n = 1;
          while (static_cast<uint8_t>(full[n]) & 0x80) ++n;
          const bool shortest = n == 1 || full[n] != 0;
          for (size_t size = 1; size <= full.size(); ++size) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(full.data());
            const uint64_t scanned =
                ScanCanonicalPositions(p, p + size, 1, 1 << 20);
            const bool accepts = l <= 0x7F && shortest && n + 1 <= size;
            if (!accepts) {
              EXPECT_EQ(scanned, 0u) << int{l} << " " << size;
            } else if (scanned != 0) {  // a scan may leave it to decoding
              EXPECT_EQ(scanned, n + 1) << int{l} << " " << size;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace vrim
