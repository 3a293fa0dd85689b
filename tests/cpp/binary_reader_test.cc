// The reader: every error kind from a crafted file with its exact message,
// the language and pipeline checks, and faithful loading of sound files.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "analysis/quote.h"
#include "binary_testing.h"
#include "format/data_reader.h"
#include "format/data_writer.h"
#include "format/reader.h"
#include "index/positions.h"

namespace vrim {
namespace {

using binary_testing::Bytes;
using binary_testing::TestPosting;
using binary_testing::U32At;
using binary_testing::Write;

void SetU32(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
}

void SetU16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}

// A file cut into its header and five sections; Join puts it back with
// the section offsets recomputed, so one section can be rewritten freely.
struct FileParts {
  std::string header;
  std::string sections[5];  // meta, docs, terms, postings, positions
};

FileParts Split(const std::string& file) {
  FileParts parts{file.substr(0, 64), {}};
  for (int i = 0; i < 5; ++i) {
    uint32_t begin = U32At(file, 40 + 4 * i);
    parts.sections[i] = file.substr(begin, U32At(file, 44 + 4 * i) - begin);
  }
  return parts;
}

std::string Join(const FileParts& parts) {
  std::string file = parts.header;
  for (int i = 0; i < 5; ++i) {
    SetU32(&file, 40 + 4 * i, static_cast<uint32_t>(file.size()));
    file += parts.sections[i];
  }
  SetU32(&file, 60, static_cast<uint32_t>(file.size()));
  return file;
}

const std::vector<std::string>& EnglishPipeline() {
  static const std::vector<std::string> pipeline =
      ResolveLanguage("en").language->pipeline();
  return pipeline;
}

IndexData MakeData(std::vector<std::string> fields,
                   std::vector<std::string> refs,
                   binary_testing::TermList terms) {
  return binary_testing::MakeIndexData(std::move(fields), std::move(refs),
                                std::move(terms), EnglishPipeline(), 2);
}

// Seven documents a..g, two fields; "x" occurs once, in document 6 (g).
IndexData SevenDocs() {
  return MakeData({"title", "body"}, {"a", "b", "c", "d", "e", "f", "g"},
                  {{"apple", {{0, 0, 2, {{0, 5}, {9, 5}}}, {1, 3, 1, {{4, 5}}}}},
                   {"apply", {{1, 1, 1, {{2, 5}}}}},
                   {"x", {{1, 6, 1, {{0, 1}}}}}});
}

struct ErrorCase {
  const char* name;
  std::function<std::string()> make;
  ReadErrorKind kind;
  std::string message;
  std::optional<std::string> language = std::nullopt;
};

class BinaryReaderError : public testing::TestWithParam<ErrorCase> {};

TEST_P(BinaryReaderError, RejectsWithItsMessage) {
  const ErrorCase& c = GetParam();
  IndexPtr index;
  ReadError error;
  ASSERT_FALSE(ReadIndex(c.make(), c.language, &index, &error));
  EXPECT_EQ(error.kind, c.kind);
  EXPECT_EQ(error.message, c.message);
  EXPECT_EQ(index, nullptr);
}

std::string Patched(std::function<void(FileParts*)> edit,
                    const IndexData& data = SevenDocs(),
                    bool positions = true) {
  FileParts parts = Split(Write(data, positions));
  edit(&parts);
  return Join(parts);
}

std::string HeaderPatched(size_t at, uint32_t value, int width = 4) {
  std::string file = Write(SevenDocs());
  if (width == 2) {
    SetU16(&file, at, static_cast<uint16_t>(value));
  } else {
    SetU32(&file, at, value);
  }
  return file;
}

// The postings section of SevenDocs: the record of "x" is the last 8
// bytes: positions offset, df 1, one group (field 1, one posting: delta 6,
// tf 1, one position).
constexpr size_t kXRecordDelta = 5;

const ErrorCase kErrorCases[] = {
    {"TooShort", [] { return std::string(63, 'V'); }, ReadErrorKind::kTooShort,
     "index is 63 bytes, need at least 64"},
    {"Png",
     [] {
       return Bytes({137, 80, 78, 71, 13, 10, 26, 10}) + std::string(60, 0);
     },
     ReadErrorKind::kBadMagic, "not a Vrim index: magic bytes [137, 80, 78, 71]"},
    {"Version2", [] { return HeaderPatched(4, 2, 2); },
     ReadErrorKind::kBadVersion,
     "index format version 2 is not supported (this build reads 1)"},
    {"Flags2", [] { return HeaderPatched(6, 2, 2); },
     ReadErrorKind::kUnsupportedFlags, "index has unsupported flag bits 0x0002"},
    {"FlagsHigh", [] { return HeaderPatched(6, 0x8001, 2); },
     ReadErrorKind::kUnsupportedFlags, "index has unsupported flag bits 0x8001"},
    {"OneByteAppended",
     [] {
       // Padding after the pipeline in "meta" is ignored, so the sound file
       // can be made exactly 1000 bytes long.
       FileParts parts = Split(Write(SevenDocs()));
       size_t size = 64;
       for (const std::string& s : parts.sections) size += s.size();
       parts.sections[0].append(1000 - size, '\0');
       std::string file = Join(parts);
       IndexPtr index;
       ReadError error;
       EXPECT_TRUE(ReadIndex(file, std::nullopt, &index, &error))
           << error.message;
       return file + "!";
     },
     ReadErrorKind::kSectionOutOfBounds,
     "section 'end' starts at 1000 but the index ends at 1001"},
    {"MetaInsideHeader", [] { return HeaderPatched(40, 63); },
     ReadErrorKind::kSectionOutOfBounds,
     "section 'meta' starts at 63 but the index ends at " +
         std::to_string(Write(SevenDocs()).size())},
    {"TermsBeyondEnd",
     [] { return HeaderPatched(48, Write(SevenDocs()).size() + 1); },
     ReadErrorKind::kSectionOutOfBounds,
     "section 'terms' starts at " + std::to_string(Write(SevenDocs()).size() + 1) +
         " but the index ends at " + std::to_string(Write(SevenDocs()).size())},
    {"DocsBeforeMeta", [] { return HeaderPatched(44, 60); },
     ReadErrorKind::kSectionOrder, "section 'docs' does not follow 'meta'"},
    {"PostingsBeforeTerms",
     [] {
       std::string file = Write(SevenDocs());
       SetU32(&file, 52, U32At(file, 48) - 1);
       return file;
     },
     ReadErrorKind::kSectionOrder, "section 'postings' does not follow 'terms'"},
    {"PositionsWithoutFlag", [] { return HeaderPatched(6, 0, 2); },
     ReadErrorKind::kTruncated, "section 'positions' ends unexpectedly"},
    {"TenByteVarint",
     [] {
       return Patched([](FileParts* p) {
         p->sections[0] = Bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                 0x80, 0x80, 0x02}) +
                          p->sections[0].substr(1);
       });
     },
     ReadErrorKind::kMalformedVarint, "malformed varint"},
    {"Over32BitFieldId",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         // "x": field id 1 becomes 2^32 (five bytes).
         s = s.substr(0, s.size() - 5) + Bytes({0x80, 0x80, 0x80, 0x80, 0x10}) +
             s.substr(s.size() - 4);
       });
     },
     ReadErrorKind::kMalformedVarint, "malformed varint"},
    {"LanguageNotUtf8",
     [] {
       return Patched([](FileParts* p) { p->sections[0][1] = '\xFF'; });
     },
     ReadErrorKind::kInvalidUtf8, "section 'meta' contains invalid UTF-8"},
    {"ReferenceNotUtf8",
     [] {
       return Patched([](FileParts* p) { p->sections[1].back() = '\xC3'; });
     },
     ReadErrorKind::kInvalidUtf8, "section 'docs' contains invalid UTF-8"},
    {"TermNotUtf8",
     [] {
       return Patched([](FileParts* p) { p->sections[2].back() = '\x80'; });
     },
     ReadErrorKind::kInvalidUtf8, "section 'terms' contains invalid UTF-8"},
    {"LanguageDe", [] { return Write(SevenDocs()); },
     ReadErrorKind::kLanguageMismatch,
     "index was built for language \"en\", not \"de\"", "de"},
    {"LanguageQuoted", [] { return Write(SevenDocs()); },
     ReadErrorKind::kLanguageMismatch,
     "index was built for language \"en\", not \"e\\\"n\\n\"", "e\"n\n"},
    {"Pipeline",
     [] {
       IndexData d = SevenDocs();
       d.pipeline = {"trimmer", "stemmer"};
       return Write(d);
     },
     ReadErrorKind::kPipelineMismatch,
     "index was built with pipeline [\"trimmer\", \"stemmer\"], not " +
         QuoteList(EnglishPipeline())},
    {"SharedPrefixBeyondTerm",
     [] {
       // Dictionary: 5 "apple" 4 1 "y" 0 1 "x" (all one block).
       return Patched([](FileParts* p) {
         std::string& s = p->sections[2];
         s[s.size() - 6] = 9;
       });
     },
     ReadErrorKind::kBadFrontCoding,
     "front-coded term shares 9 bytes with a 5-byte term"},
    {"SharedPrefixInsideCharacter",
     [] {
       IndexData d = MakeData({"f"}, {"d"}, {{"añb", {{0, 0, 1, {}}}},
                                             {"añc", {{0, 0, 1, {}}}}});
       return Patched([](FileParts* p) { p->sections[2][p->sections[2].size() - 3] = 2; },
                      d);
     },
     ReadErrorKind::kBadFrontCoding,
     "front-coded term shares 2 bytes with a 4-byte term"},
    {"DocumentSevenOfSeven",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         s[s.size() - 8 + kXRecordDelta] = 7;
       });
     },
     ReadErrorKind::kDocumentIdOutOfRange, "document id 7 out of range"},
    {"FieldTwoOfTwo",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         s[s.size() - 8 + 3] = 2;
       });
     },
     ReadErrorKind::kFieldIdOutOfRange, "field id 2 out of range"},
    {"InvalidFieldName",
     [] {
       IndexData d = SevenDocs();
       d.fields[1] = "bo dy";
       return Write(d);
     },
     ReadErrorKind::kFieldIdOutOfRange, "field id 1 out of range"},
    {"RepeatedFieldName",
     [] {
       IndexData d = SevenDocs();
       d.fields[1] = "title";
       return Write(d);
     },
     ReadErrorKind::kFieldIdOutOfRange, "field id 1 out of range"},
    {"RepeatedReference",
     [] {
       IndexData d = SevenDocs();
       std::vector<std::string> refs(d.refs.begin(), d.refs.end());
       refs[3] = "c";
       d.refs = StringTable(refs);
       return Write(d);
     },
     ReadErrorKind::kDocumentIdOutOfRange, "document id 3 out of range"},
    {"TermsOutOfOrder",
     [] {
       IndexData d = SevenDocs();
       StringTable swapped{d.terms[1], d.terms[0]};
       for (size_t t = 2; t < d.terms.size(); ++t) swapped.push_back(d.terms[t]);
       d.terms = swapped;
       return Write(d);
     },
     ReadErrorKind::kTermIdOutOfRange, "term id 1 out of range"},
    {"TermWithoutPostings",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         s.resize(s.size() - 6);
         s += Bytes({0});  // "x": no groups
         SetU32(&p->sections[2], 8 + 4 * 3, static_cast<uint32_t>(s.size()));
       });
     },
     ReadErrorKind::kTermIdOutOfRange, "term id 2 out of range"},
    {"FieldGroupsOutOfOrder",
     [] {
       // "apple": 0 2 2 | field 0: 1 posting (0 2 2) | field 1: 1 (3 1 1).
       return Patched([](FileParts* p) { p->sections[3][8] = 0; });
     },
     ReadErrorKind::kFieldIdOutOfRange, "field id 0 out of range"},
    {"SameDocumentTwice",
     [] {
       return Write(MakeData({"f"}, {"a", "b"},
                             {{"x", {{0, 1, 1, {}}, {0, 1, 1, {}}}}}));
     },
     ReadErrorKind::kDocumentIdOutOfRange, "document id 1 out of range"},
    {"DocsFixedPartMissing", [] { return HeaderPatched(8, 0xFFFFFFFF); },
     ReadErrorKind::kTruncated, "section 'docs' ends unexpectedly"},
    {"TermsFixedPartMissing", [] { return HeaderPatched(20, 4); },
     ReadErrorKind::kTruncated, "section 'terms' ends unexpectedly"},
    {"ReferenceOffsetsDecrease",
     [] { return Patched([](FileParts* p) { SetU32(&p->sections[1], 8, 0); }); },
     ReadErrorKind::kTruncated, "section 'docs' ends unexpectedly"},
    {"HeapLongerThanLastOffset",
     [] { return Patched([](FileParts* p) { p->sections[1] += "h"; }); },
     ReadErrorKind::kTruncated, "section 'docs' ends unexpectedly"},
    {"BlockBeyondSection",
     [] { return Patched([](FileParts* p) { SetU32(&p->sections[2], 4, 99); }); },
     ReadErrorKind::kTruncated, "section 'terms' ends unexpectedly"},
    {"RecordBeyondPostings",
     [] {
       return Patched([](FileParts* p) {
         SetU32(&p->sections[2], 8 + 4 * 3, 999);
       });
     },
     ReadErrorKind::kTruncated, "section 'postings' ends unexpectedly"},
    {"HugeGroupCount",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         s[s.size() - 8 + 2] = 100;
       });
     },
     ReadErrorKind::kTruncated, "section 'postings' ends unexpectedly"},
    {"PositionCountBeyondData",
     [] {
       return Patched([](FileParts* p) {
         std::string& s = p->sections[3];
         s.back() = 2;  // "x" claims two positions, one is stored
       });
     },
     ReadErrorKind::kTruncated, "section 'positions' ends unexpectedly"},
    {"PositionLengthTooLong",
     [] {
       return Patched([](FileParts* p) {
         // "x"'s list is the last: L = 1, start 0. Make L 2^20 + 1.
         std::string& s = p->sections[4];
         s.resize(s.size() - 2);
         s += Bytes({0x81, 0x80, 0x40, 0});
       });
     },
     ReadErrorKind::kTruncated, "section 'positions' ends unexpectedly"},
    {"PositionStartOverflows",
     [] {
       IndexData d = MakeData({"f"}, {"d"},
                              {{"x", {{0, 0, 2, {{1, 1}, {2, 1}}}}}});
       return Patched(
           [](FileParts* p) {
             p->sections[4] = Bytes({1, 2}) +
                              Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0x01});
           },
           d);
     },
     ReadErrorKind::kTruncated, "section 'positions' ends unexpectedly"},
};

INSTANTIATE_TEST_SUITE_P(All, BinaryReaderError, testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return info.param.name; });

TEST(BinaryReader, FlagsZeroAndOneAreAccepted) {
  for (bool positions : {false, true}) {
    std::string file = Write(SevenDocs(), positions);
    IndexPtr index;
    ReadError error;
    EXPECT_TRUE(ReadIndex(file, std::nullopt, &index, &error)) << error.message;
    if (!positions) {
      SetU16(&file, 6, 1);  // flag set, empty positions, every count 0
      EXPECT_TRUE(ReadIndex(file, std::nullopt, &index, &error))
          << error.message;
    }
  }
}

TEST(BinaryReader, LoadsExactlyWhatWasWritten) {
  IndexData original = SevenDocs();
  original.field_boosts = {2.5, 0.0};
  original.doc_boosts[2] = 3.0;
  original.field_lengths[5] = 0;
  original.k1 = 1.7;
  original.b = 0.3;
  original.document_count = 9;
  std::string file = Write(original);
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(file, std::nullopt, &loaded, &language, &error))
      << error.message;
  EXPECT_EQ(language->code(), "en");
  EXPECT_EQ(loaded.language, original.language);
  EXPECT_EQ(loaded.pipeline, original.pipeline);
  EXPECT_EQ(loaded.fields, original.fields);
  EXPECT_EQ(loaded.field_boosts, original.field_boosts);
  EXPECT_EQ(loaded.k1, 1.7);
  EXPECT_EQ(loaded.b, 0.3);
  EXPECT_EQ(loaded.document_count, 9u);
  EXPECT_EQ(loaded.refs, original.refs);
  EXPECT_EQ(loaded.doc_boosts, original.doc_boosts);
  EXPECT_EQ(loaded.field_lengths, original.field_lengths);
  EXPECT_EQ(loaded.terms, original.terms);
  EXPECT_EQ(loaded.term_postings, original.term_postings);
  ASSERT_EQ(loaded.postings.size(), original.postings.size());
  for (size_t i = 0; i < loaded.postings.size(); ++i) {
    EXPECT_EQ(binary_testing::PostingValues(loaded.postings, i),
              binary_testing::PostingValues(original.postings, i));
  }
  EXPECT_EQ(binary_testing::PostingPositions(loaded),
            binary_testing::PostingPositions(original));
  EXPECT_EQ(Write(loaded), file);
}

// Terms that share long prefixes decode to many times the bytes of their
// blocks (the table is sized from the blocks before it is filled), across
// several blocks and with a multi-byte character at the shared boundary.
TEST(BinaryReader, LongSharedPrefixesDecodeAcrossBlocks) {
  const std::string stem = std::string(300, 'q') + "\xC3\xA9";
  binary_testing::TermList terms;
  for (int i = 10; i < 60; ++i) {
    terms.push_back({stem + std::to_string(i), {{0, 0, 1, {{0, 1}}}}});
  }
  IndexData original = MakeData({"f"}, {"d"}, terms);
  const std::string file = Write(original);
  ASSERT_LT(file.size(), original.terms.bytes() / 4);
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(file, std::nullopt, &loaded, &language, &error))
      << error.message;
  EXPECT_EQ(loaded.terms, original.terms);
  EXPECT_EQ(Write(loaded), file);
}

// Boosts of 1.0 everywhere are not held; one other boost, wherever it
// falls, brings back the whole vector.
TEST(BinaryReader, HoldsDocumentBoostsOnlyWhenOneIsNotOne) {
  for (int odd : {-1, 0, 6}) {
    IndexData original = SevenDocs();
    if (odd >= 0) original.doc_boosts[odd] = 0.25;
    IndexData loaded;
    LanguagePtr language;
    ReadError error;
    ASSERT_TRUE(ReadIndexData(Write(original), std::nullopt, &loaded,
                              &language, &error))
        << error.message;
    EXPECT_EQ(loaded.doc_boosts,
              odd < 0 ? std::vector<double>{} : original.doc_boosts)
        << odd;
  }
}

TEST(BinaryReader, PositionsOffLoadsEmptyListsAndFrequencies) {
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(Write(SevenDocs(), false), std::nullopt, &loaded,
                            &language, &error));
  std::vector<uint32_t> tfs;
  for (const Posting& p : loaded.postings) {
    EXPECT_EQ(loaded.postings.position_count(p), 0u);
    tfs.push_back(loaded.postings.tf(p));
  }
  EXPECT_EQ(tfs, (std::vector<uint32_t>{2, 1, 1, 1}));
  EXPECT_TRUE(loaded.positions.empty());
}

TEST(BinaryReader, NonCanonicalPositionsAreStoredCanonically) {
  // L = 0 although both lengths are 3, pairs out of order, a padded varint.
  IndexData d = MakeData({"f"}, {"d"}, {{"x", {{0, 0, 2, {{1, 3}, {5, 3}}}}}});
  std::string file = Patched(
      [](FileParts* p) { p->sections[4] = Bytes({0, 5, 3, 0x84, 0x00, 3}); }, d);
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(file, std::nullopt, &loaded, &language, &error))
      << error.message;
  // Entries decode to (5, 3), (9, 3) and re-encode with L = 3.
  EXPECT_EQ(loaded.positions, Bytes({3, 5, 4}));
  EXPECT_EQ(Split(Write(loaded)).sections[4], Bytes({3, 5, 4}));
}

TEST(BinaryReader, MixedCanonicalAndRecodedListsKeepTheirPositions) {
  // "apply"'s list (L = 5, start 2) rewritten as L = 0 with the pair (2, 5);
  // "x"'s list moves one byte on.
  std::string file = Patched([](FileParts* p) {
    std::string& positions = p->sections[4];
    positions = positions.substr(0, 5) + Bytes({0, 2, 5}) +
                positions.substr(7);
    std::string& postings = p->sections[3];
    postings[postings.size() - 8] = 8;
  });
  IndexData loaded;
  LanguagePtr language;
  ReadError error;
  ASSERT_TRUE(ReadIndexData(file, std::nullopt, &loaded, &language, &error))
      << error.message;
  IndexData original = SevenDocs();
  EXPECT_EQ(binary_testing::PostingPositions(loaded),
            binary_testing::PostingPositions(original));
  EXPECT_EQ(loaded.positions, original.positions);
  EXPECT_EQ(Write(loaded), Write(original));
}

TEST(BinaryReader, MultiLanguageCodesCompareMembersInOrder) {
  IndexData d = SevenDocs();
  d.language = "en,fr";
  d.pipeline = ResolveLanguage("en,fr").language->pipeline();
  std::string file = Write(d);
  for (const char* ok : {"en,fr", "en, fr, en", " en ,,fr"}) {
    IndexPtr index;
    ReadError error;
    EXPECT_TRUE(ReadIndex(file, std::string(ok), &index, &error)) << ok;
  }
  for (const char* bad : {"fr,en", "en", "en,fr,de"}) {
    IndexPtr index;
    ReadError error;
    EXPECT_FALSE(ReadIndex(file, std::string(bad), &index, &error)) << bad;
    EXPECT_EQ(error.kind, ReadErrorKind::kLanguageMismatch);
  }
}

TEST(BinaryReader, LanguageIsReadWithoutTouchingPostings) {
  std::string file = Patched([](FileParts* p) {
    for (char& c : p->sections[3]) c = '\xFF';
    p->sections[2].back() = '\xFF';
  });
  std::string language;
  ReadError error;
  EXPECT_TRUE(ReadIndexLanguage(file, &language, &error)) << error.message;
  EXPECT_EQ(language, "en");
  IndexPtr index;
  EXPECT_FALSE(ReadIndex(file, std::nullopt, &index, &error));
  // ...but a fault in the fixed parts stops it.
  file = HeaderPatched(20, 4000);
  EXPECT_FALSE(ReadIndexLanguage(file, &language, &error));
  EXPECT_EQ(error.message, "section 'terms' ends unexpectedly");
}

}  // namespace
}  // namespace vrim
