// Byte layout of the writer on small hand-built indexes, with the expected
// bytes written out.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "binary_testing.h"
#include "format/data_writer.h"
#include "index/positions.h"

namespace vrim {
namespace {

using binary_testing::Bytes;
using binary_testing::TestPosting;
using binary_testing::U32At;
using binary_testing::Write;

// Section `i` (0 meta .. 4 positions) of a written file, located through
// the header's offset table.
std::string Section(const std::string& file, int i) {
  uint32_t begin = U32At(file, 40 + 4 * i);
  uint32_t end = U32At(file, 44 + 4 * i);
  return file.substr(begin, end - begin);
}

IndexData MakeData(std::vector<std::string> fields,
                   std::vector<std::string> refs,
                   binary_testing::TermList terms) {
  return binary_testing::MakeIndexData(std::move(fields), std::move(refs),
                                std::move(terms), {"stemmer"}, 1);
}

TEST(BinaryWriter, EmptyIndexIsHeaderMetaAndEmptyFixedParts) {
  IndexData d = MakeData({}, {}, {});
  std::string expected =
      Bytes({'V', 'R', 'I', 'M', 1, 0, 1, 0,   // magic, version, flags
             0, 0, 0, 0, 0, 0, 0, 0,           // D, document count
             0, 0, 0, 0, 0, 0, 0, 0,           // F, T
             0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0xF3, 0x3F,  // k1 1.2
             0, 0, 0, 0, 0, 0, 0xE8, 0x3F,                    // b 0.75
             64, 0, 0, 0, 76, 0, 0, 0, 80, 0, 0, 0,           // meta docs terms
             88, 0, 0, 0, 88, 0, 0, 0, 88, 0, 0, 0}) +        // postings pos end
      Bytes({2, 'e', 'n', 1, 7}) + "stemmer" +  // meta
      Bytes({0, 0, 0, 0}) +                     // docs: one offset
      Bytes({0, 0, 0, 0, 0, 0, 0, 0});          // terms: block + postings
  EXPECT_EQ(Write(d), expected);
}

TEST(BinaryWriter, SmallIndexByteForByte) {
  IndexData d = MakeData(
      {"title", "body"}, {"a", "b"},
      {{"apple", {{0, 0, 1, {{0, 5}}}, {1, 0, 1, {{6, 5}}}, {1, 1, 1, {{0, 5}}}}},
       {"apply", {{1, 1, 2, {{3, 5}, {0, 2}}}}}});
  d.field_boosts = {2.0, 1.0};
  d.doc_boosts = {1.0, 0.5};
  d.field_lengths = {1, 2, 0, 1};
  std::string header = Bytes({
      'V', 'R', 'I', 'M', 1, 0, 1, 0,
      2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
      0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0xF3, 0x3F,
      0, 0, 0, 0, 0, 0, 0xE8, 0x3F,
      64, 0, 0, 0, 103, 0, 0, 0, 149, 0, 0, 0,
      178, 0, 0, 0, 202, 0, 0, 0, 213, 0, 0, 0});
  std::string meta = Bytes({2}) + "en" + Bytes({5}) + "title" + Bytes({4}) +
                     "body" + Bytes({0, 0, 0, 0, 0, 0, 0, 0x40}) +
                     Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}) + Bytes({1, 7}) +
                     "stemmer";
  std::string docs = Bytes({0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}) +
                     Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F}) +
                     Bytes({0, 0, 0, 0, 0, 0, 0xE0, 0x3F}) +
                     Bytes({1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}) +
                     "ab";
  std::string terms = Bytes({0, 0, 0, 0, 9, 0, 0, 0}) +           // blocks
                      Bytes({0, 0, 0, 0, 16, 0, 0, 0, 24, 0, 0, 0}) +  // postings
                      Bytes({5}) + "apple" + Bytes({4, 1}) + "y";
  std::string postings =
      Bytes({0, 2, 2, 0, 1, 0, 1, 1, 1, 2, 0, 1, 1, 1, 1, 1}) +  // apple
      Bytes({6, 1, 1, 1, 1, 1, 2, 2});                           // apply
  std::string positions = Bytes({5, 0, 5, 6, 5, 0}) +  // L = 5 for each
                          Bytes({0, 0, 2, 3, 5});      // L = 0, pairs
  EXPECT_EQ(Write(d), header + meta + docs + terms + postings + positions);
}

TEST(BinaryWriter, FrontCodingSharesWholeCharactersOnly) {
  std::vector<std::pair<std::string, std::vector<TestPosting>>> terms;
  for (const char* t : {"añ", "añb", "añc", "aö"}) {
    terms.push_back({t, {{0, 0, 1, {}}}});
  }
  std::string file = Write(MakeData({"f"}, {"d"}, terms));
  std::string expected_dictionary =
      Bytes({3, 'a', 0xC3, 0xB1}) +  // añ in full
      Bytes({3, 1, 'b'}) +           // añb: shares all of añ
      Bytes({3, 1, 'c'}) +           // añc: shares a and ñ (3 bytes)
      Bytes({1, 2, 0xC3, 0xB6});     // aö: ñ and ö share a lead byte only
  std::string terms_section = Section(file, 2);
  // Fixed part: 2 block offsets and 5 postings offsets.
  EXPECT_EQ(terms_section.substr(28), expected_dictionary);
  EXPECT_EQ(U32At(terms_section, 4), expected_dictionary.size());
}

TEST(BinaryWriter, BlocksHoldSixteenTerms) {
  for (int t_count : {16, 17}) {
    std::vector<std::pair<std::string, std::vector<TestPosting>>> terms;
    for (int i = 0; i < t_count; ++i) {
      terms.push_back({"term" + std::string(1, static_cast<char>('a' + i)),
                       {{0, 0, 1, {}}}});
    }
    std::string section = Section(Write(MakeData({"f"}, {"d"}, terms)), 2);
    const size_t blocks = t_count == 16 ? 1 : 2;
    const size_t area = 4 * (blocks + 1) + 4 * (t_count + 1);
    // First block: "terma" in full, then 15 x (shared 4, suffix of 1).
    const uint32_t first_block = 6 + 15 * 3;
    EXPECT_EQ(U32At(section, 0), 0u);
    EXPECT_EQ(U32At(section, 4), first_block);
    if (t_count == 16) {
      EXPECT_EQ(section.size(), area + first_block);
    } else {
      EXPECT_EQ(U32At(section, 8), first_block + 6);
      // The 17th term opens the second block written in full.
      EXPECT_EQ(section.substr(area + first_block), Bytes({5}) + "termq");
    }
  }
}

TEST(BinaryWriter, PositionListsUseCommonLengthWhenShared) {
  struct Case {
    std::vector<Position> positions;
    std::string expected;
  } cases[] = {
      {{{0, 2}, {3, 2}, {7, 2}}, Bytes({2, 0, 3, 4})},
      {{{0, 2}, {3, 5}}, Bytes({0, 0, 2, 3, 5})},
      {{{4, 0}, {9, 0}}, Bytes({0, 4, 0, 5, 0})},       // length 0 is not common
      {{{7, 3}, {7, 1}, {2, 3}}, Bytes({0, 2, 3, 5, 1, 0, 3})},  // sorted
  };
  for (Case& c : cases) {
    std::string file = Write(MakeData(
        {"f"}, {"d"}, {{"x", {{0, 0, static_cast<uint32_t>(c.positions.size()),
                               c.positions}}}}));
    EXPECT_EQ(Section(file, 4), c.expected);
  }
}

TEST(BinaryWriter, NonCanonicalListsInMemoryAreWrittenCanonically) {
  IndexData d = MakeData({"f"}, {"d"}, {{"x", {{0, 0, 2, {}}}}});
  // Hand-encoded, each flaw alone: L = 0 although both lengths are 2;
  // pairs out of order; a padded varint.
  const std::string flawed[] = {Bytes({0, 1, 2, 3, 2}),
                                Bytes({0, 1, 5, 0, 2}),
                                Bytes({2, 0x81, 0x00, 3})};
  const std::string canonical[] = {Bytes({2, 1, 3}), Bytes({0, 1, 2, 0, 5}),
                                   Bytes({2, 1, 3})};
  d.postings.clear();  // the same posting, its two positions kept
  ASSERT_TRUE(d.postings.push_back(0, 0, 2, 2));
  for (int i = 0; i < 3; ++i) {
    d.positions = flawed[i];
    EXPECT_EQ(Section(Write(d), 4), canonical[i]) << i;
  }
}

TEST(BinaryWriter, PositionsOffKeepsFrequenciesAndWritesNoPositions) {
  IndexData d = MakeData({"f"}, {"a", "b"},
                         {{"x", {{0, 0, 3, {{0, 1}, {2, 1}, {4, 1}}},
                                 {0, 1, 1, {{0, 1}}}}}});
  std::string file = Write(d, /*positions=*/false);
  EXPECT_EQ(file[6], 0);  // flags
  EXPECT_EQ(file[7], 0);
  EXPECT_EQ(Section(file, 4), "");
  // positions offset 0, df 2, one group: field 0, two postings, count 0.
  EXPECT_EQ(Section(file, 3), Bytes({0, 2, 1, 0, 2, 0, 3, 0, 1, 1, 0}));
}

TEST(BinaryWriter, DocumentIdsAreDeltasInReferenceOrder) {
  std::vector<std::string> refs;
  std::vector<TestPosting> postings;
  for (int i = 0; i < 200; ++i) {
    refs.push_back("doc" + std::to_string(1000 + i));
    if (i % 50 == 0 || i == 199) postings.push_back({0, uint32_t(i), 1, {}});
  }
  std::string file = Write(MakeData({"f"}, refs, {{"x", postings}}), false);
  // ids 0, 50, 100, 150, 199 -> deltas 0, 50, 50, 50, 49.
  EXPECT_EQ(Section(file, 3),
            Bytes({0, 5, 1, 0, 5, 0, 1, 0, 50, 1, 0, 50, 1, 0, 50, 1, 0, 49,
                   1, 0}));
  std::string docs = Section(file, 1);
  EXPECT_EQ(U32At(docs, 4 * 200), 7u * 200);  // heap length
  EXPECT_EQ(docs.substr(docs.size() - 14), "doc1198doc1199");
}

// Field lengths are 32-bit in memory already; the document count is the
// quantity left to check.
TEST(BinaryWriter, SizeCheckNamesTheDocumentCount) {
  IndexData d = MakeData({"f"}, {"a"}, {{"x", {{0, 0, 1, {{0, 1}}}}}});
  d.document_count = uint64_t{1} << 32;
  std::string out = "untouched", overflow;
  EXPECT_FALSE(WriteIndexData(d, true, &out, &overflow));
  EXPECT_EQ(overflow, "document count");
  EXPECT_EQ(out, "untouched");
}

}  // namespace
}  // namespace vrim
