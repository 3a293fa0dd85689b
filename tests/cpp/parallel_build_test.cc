// The parallel build gives the index of the single-threaded one, in memory
// and in bytes, for every thread count, language kind and builder kind;
// and the parts it rests on (sorts, core count, thread runner).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "build/available_cores.h"
#include "build/id_table.h"
#include "build/index_builder.h"
#include "build/parallel_for.h"
#include "build/posting_sorter.h"
#include "build/term_interner.h"
#include "format/reader.h"
#include "format/writer.h"
#include "test_language.h"

namespace vrim {
namespace {

// Words of every script the languages treat differently: ASCII, Latin with
// diacritics, Turkish dotted and dotless i, kana and kanji (bigrams),
// punctuation the trimmer removes, and "#" words without positions (for
// the test language).
const char* const kWords[] = {
    "the", "Running", "runs", "ran", "(quoted)", "don't", "U.S.A.", "2026",
    "#tag", "DATA", "caf\xC3\xA9", "na\xC3\xAFve", "dat\xC3\xA9",
    "I\xC4\xB1k", "\xC4\xB0stanbul", "k\xC4\xB1z",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
    "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",
};

std::string RandomText(std::mt19937* rng, size_t words) {
  std::uniform_int_distribution<size_t> pick(0, std::size(kWords) - 1);
  std::uniform_int_distribution<int> rare(0, 9999);
  std::string text;
  for (size_t i = 0; i < words; ++i) {
    if (!text.empty()) text += (*rng)() % 7 == 0 ? "-" : " ";
    // Many distinct rare words, so the shares' vocabularies differ.
    text += (*rng)() % 3 == 0 ? "w" + std::to_string(rare(*rng))
                              : kWords[pick(*rng)];
  }
  return text;
}

void StageRandom(IndexBuilder* builder, std::mt19937* rng, size_t docs,
                 const std::string& prefix) {
  for (size_t d = 0; d < docs; ++d) {
    StagedDocument doc;
    doc.ref = prefix + std::to_string((*rng)() % (docs * 2));
    if ((*rng)() % 5 != 0) doc.fields.push_back({0, RandomText(rng, 6)});
    doc.fields.push_back({1, RandomText(rng, (*rng)() % 120)});
    doc.boost = ((*rng)() % 4) * 0.5;
    builder->Stage(std::move(doc));
  }
}

void ExpectSameData(const IndexData& a, const IndexData& b) {
  EXPECT_EQ(a.refs, b.refs);
  EXPECT_EQ(a.doc_boosts, b.doc_boosts);
  EXPECT_EQ(a.field_lengths, b.field_lengths);
  EXPECT_EQ(a.document_count, b.document_count);
  EXPECT_EQ(a.terms, b.terms);
  EXPECT_EQ(a.term_postings, b.term_postings);
  ASSERT_EQ(a.postings.size(), b.postings.size());
  for (size_t i = 0; i < a.postings.size(); ++i) {
    const Posting& x = a.postings[i];
    const Posting& y = b.postings[i];
    ASSERT_TRUE(a.postings.field(x) == b.postings.field(y) && x.doc == y.doc &&
                a.postings.tf(x) == b.postings.tf(y) &&
                a.postings.position_count(x) == b.postings.position_count(y))
        << "posting " << i;
  }
  EXPECT_EQ(a.positions, b.positions);
}

std::string Bytes(const Index& index) {
  std::string out, overflow;
  EXPECT_TRUE(WriteIndex(index, true, &out, &overflow)) << overflow;
  return out;
}

// The builder's documents staged again on a base that holds none: the
// build then gathers the postings with the base's and sorts them, where a
// fresh one puts them in place from each share's stream.
std::unique_ptr<IndexBuilder> OnEmptyBase(const IndexBuilder& builder) {
  IndexBuilder empty(builder.language_ptr(), 1.2, 0.75);
  for (size_t f = 0; f < builder.field_names().size(); ++f) {
    empty.DeclareField(builder.field_names()[f], builder.field_boosts()[f]);
  }
  std::unique_ptr<IndexBuilder> rebased =
      IndexBuilder::FromIndex(*empty.Build());
  for (size_t i = 0; i < builder.staged_count(); ++i) {
    rebased->Stage(builder.staged(i));
  }
  return rebased;
}

// Builds with 1 thread and with 2, 3 and 8, every share one field's worth
// of text at least, and (a fresh builder) on an empty base with 1 and 3,
// and expects the same index.
void ExpectSameForEveryThreadCount(const IndexBuilder& builder) {
  const IndexPtr single = builder.Build();
  const std::string bytes = Bytes(*single);
  const auto expect_same = [&](const IndexBuilder& b, size_t threads) {
    SCOPED_TRACE(threads);
    const IndexPtr other =
        b.Build(BuildOptions{threads, /*min_bytes_per_thread=*/1});
    ExpectSameData(single->data(), other->data());
    EXPECT_EQ(Bytes(*other), bytes);
  };
  for (size_t threads : {2, 3, 8}) expect_same(builder, threads);
  if (builder.rehydrated()) return;
  const std::unique_ptr<IndexBuilder> rebased = OnEmptyBase(builder);
  for (size_t threads : {1, 3}) expect_same(*rebased, threads);
}

LanguagePtr LanguageFor(const std::string& code) {
  if (code == "space") return std::make_shared<const testing::SpaceLanguage>();
  return ResolveLanguage(code).language;
}

class ParallelBuildTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ParallelBuildTest, FreshBuilder) {
  IndexBuilder builder(LanguageFor(GetParam()), 1.2, 0.75);
  builder.DeclareField("title", 2.0);
  builder.DeclareField("body", 1.0);
  std::mt19937 rng(7);
  StageRandom(&builder, &rng, 300, "doc");
  ExpectSameForEveryThreadCount(builder);
}

TEST_P(ParallelBuildTest, RehydratedWithUpsertsRemovalsAndNewField) {
  IndexBuilder first(LanguageFor(GetParam()), 1.2, 0.75);
  first.DeclareField("title", 2.0);
  first.DeclareField("body", 1.0);
  std::mt19937 rng(11);
  StageRandom(&first, &rng, 200, "doc");
  auto builder = IndexBuilder::FromIndex(*first.Build());
  for (int i = 0; i < 40; ++i) builder->Remove("doc" + std::to_string(i * 3));
  builder->DeclareField("extra", 1.0);
  StageRandom(builder.get(), &rng, 150, "doc");  // upserts and new ones
  StagedDocument extra;
  extra.ref = "doc7";
  extra.fields.push_back({2, RandomText(&rng, 50)});
  builder->Stage(std::move(extra));
  ExpectSameForEveryThreadCount(*builder);
}

// Fields past 63 stage wide postings, past 255 they are wide in the index
// too; each thread's share sets those aside and they must come out in
// the same order as from one thread.
TEST(ParallelBuildWideTest, PostingsTooWideToPackComeOutTheSame) {
  IndexBuilder builder(LanguageFor("space"), 1.2, 0.75);
  for (int f = 0; f < 260; ++f) {
    builder.DeclareField("f" + std::to_string(f), 1.0);
  }
  std::mt19937 rng(5);
  for (int d = 0; d < 150; ++d) {
    StagedDocument doc;
    doc.ref = "doc" + std::to_string(d);
    for (uint32_t f : {0u, 70u, 256u, 259u}) {
      doc.fields.push_back({f, RandomText(&rng, 12)});
    }
    builder.Stage(std::move(doc));
  }
  ExpectSameForEveryThreadCount(builder);
}

// Threads lay their postings out a block of terms at a time; tens of
// thousands of terms make many blocks, each term in every share.
TEST(ParallelBuildWideTest, ManyTermsComeOutTheSame) {
  IndexBuilder builder(LanguageFor("space"), 1.2, 0.75);
  builder.DeclareField("title", 2.0);
  builder.DeclareField("body", 1.0);
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> word(0, 29999);
  for (int d = 0; d < 600; ++d) {
    std::string body;
    for (int w = 0; w < 80; ++w) body += "t" + std::to_string(word(rng)) + " ";
    StagedDocument doc;
    doc.ref = "doc" + std::to_string(d);
    doc.fields = {{0, "title t" + std::to_string(d)}, {1, body}};
    builder.Stage(std::move(doc));
  }
  ExpectSameForEveryThreadCount(builder);
}

INSTANTIATE_TEST_SUITE_P(Languages, ParallelBuildTest,
                         ::testing::Values("en", "fr", "ja", "en,tr",
                                           "space"),
                         [](const auto& info) {
                           std::string name = info.param;
                           std::replace(name.begin(), name.end(), ',', '_');
                           return name;
                         });

// Postings are laid out in slices of 2^18, each split among the threads.
TEST(ParallelBuild, LayOutAcrossSlices) {
  IndexBuilder builder(LanguageFor("en"), 1.2, 0.75);
  builder.DeclareField("title", 2.0);
  builder.DeclareField("body", 1.0);
  std::mt19937 rng(5);
  StageRandom(&builder, &rng, 12000, "doc");
  const IndexPtr single = builder.Build();
  ASSERT_GT(single->data().postings.size(), size_t{1} << 18);
  // The reader checks every list against its posting's count.
  IndexPtr read;
  ReadError error;
  ASSERT_TRUE(ReadIndex(Bytes(*single), std::nullopt, &read, &error))
      << error.message;
  ExpectSameData(single->data(), read->data());
  ExpectSameForEveryThreadCount(builder);
}

// A term 16384 times or more in a field stages a wide posting, and its
// list, longer than 254 bytes, is measured again when laid out.
TEST(ParallelBuild, FrequentTermsStageWidePostings) {
  IndexBuilder builder(LanguageFor("space"), 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  for (uint32_t d = 0; d < 4; ++d) {
    StagedDocument doc{"d" + std::to_string(d), {{0, "y"}}, 1.0};
    for (uint32_t k = 0; k < 16383 + d; ++k) doc.fields[0].second += " x";
    builder.Stage(doc);
  }
  const IndexPtr index = builder.Build();
  const IndexData& data = index->data();
  ASSERT_EQ(data.terms[0], "x");
  for (uint32_t d = 0; d < 4; ++d) {
    EXPECT_EQ(data.postings.tf(data.postings[d]), 16383 + d);
  }
  ExpectSameForEveryThreadCount(builder);
}

TEST(ParallelBuild, EmptyBuildersAndEmptyTexts) {
  IndexBuilder no_fields(ResolveLanguage("en").language, 1.2, 0.75);
  ExpectSameForEveryThreadCount(no_fields);
  IndexBuilder builder(ResolveLanguage("en").language, 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  ExpectSameForEveryThreadCount(builder);
  for (int i = 0; i < 5; ++i) {
    StagedDocument doc;
    doc.ref = "d" + std::to_string(i);
    doc.fields.push_back({0, i % 2 ? "" : "the a of"});  // nothing kept
    builder.Stage(std::move(doc));
  }
  ExpectSameForEveryThreadCount(builder);
}

// Shares that keep no term sit between shares that do, and shares differ
// in how much of their text is ASCII (which weighs on where they are cut):
// the merge of the parts' sorted terms still gives the one index.
TEST(ParallelBuild, PartsWithoutTermsAmongOthers) {
  IndexBuilder builder(ResolveLanguage("en").language, 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  const char* const texts[] = {"", "the of and", "Zebras café naïve façade",
                               "zebras apples", "of the", "Ünïcödé apples"};
  for (int i = 0; i < 24; ++i) {
    StagedDocument doc;
    doc.ref = "d" + std::to_string(i);
    doc.fields.push_back({0, texts[(i / 4) % 6]});
    builder.Stage(std::move(doc));
  }
  ExpectSameForEveryThreadCount(builder);
}

TEST(ParallelBuild, SmallBuildsStayOnFewerThreads) {
  IndexBuilder builder(ResolveLanguage("en").language, 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  std::mt19937 rng(3);
  StageRandom(&builder, &rng, 50, "d");
  // Whatever the share size, the same index.
  const std::string bytes = Bytes(*builder.Build());
  for (uint64_t min_bytes : {uint64_t{0}, uint64_t{100}, uint64_t{1} << 40}) {
    EXPECT_EQ(Bytes(*builder.Build(BuildOptions{4, min_bytes})), bytes);
  }
  EXPECT_EQ(Bytes(*builder.Build(BuildOptions{0, 1})), bytes);  // all cores
}

TEST(SortPostings, ThreadsGiveTheSingleThreadedOrder) {
  std::mt19937 rng(5);
  const size_t n = 200000;
  StagedPostings postings;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> keys;
  for (size_t i = 0; keys.size() < n; ++i) {
    keys.emplace_back(rng() % 5000, rng() % 3, rng() % 70000);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::shuffle(keys.begin(), keys.end(), rng);
  for (const auto& [t, f, d] : keys) {
    // Every 97th posting is wide (a field of 64 or more).
    const uint32_t field = postings.size() % 97 == 0 ? f + 64 : f;
    postings.push_back(t, d, StagedValues{postings.size(), field, 1, 0}, 0);
  }
  auto sorted = [&](size_t threads) {
    StagedPostings p = postings;
    SortPostings(&p, 5000, 67, 70000, threads);
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint64_t>> out;
    for (const StagedPosting& q : p) {
      out.emplace_back(q.term, p.field(q), q.doc,
                       p.values(q).positions_offset);
    }
    return out;
  };
  const auto single = sorted(1);
  EXPECT_TRUE(std::is_sorted(single.begin(), single.end()));
  EXPECT_EQ(sorted(2), single);
  EXPECT_EQ(sorted(7), single);
}

TEST(StagedPostings, ValuesSurvivePackedOrWide) {
  const uint64_t last_packed = StagedPosting::kOffsetMask;
  const std::vector<StagedValues> values = {
      {0, 0, 1, 1},
      {last_packed, 63, 16383, 0},  // packed at every limit
      {last_packed + 1, 1, 2, 2},   // wide from here on
      {7, 64, 1, 1},
      {7, 1, 16384, 16384},
      {7, 1, 3, 2},
  };
  StagedPostings postings;
  for (size_t i = 0; i < values.size(); ++i) {
    postings.push_back(static_cast<uint32_t>(i), 9, values[i], 254 + i);
  }
  size_t i = 0;
  for (const StagedPosting& p : postings) {
    EXPECT_EQ(p.wide(), i >= 2) << i;
    // Lengths of 255 bytes and more are not kept, nor those of wide ones.
    EXPECT_EQ(StagedPostings::list_length(p), i == 0 ? 254u : 255u);
    const StagedValues v = postings.values(p);
    const StagedValues& want = values[i];
    EXPECT_EQ(std::make_tuple(p.term, p.doc, v.positions_offset, v.field,
                              v.tf, v.position_count),
              std::make_tuple(uint32_t(i), 9u, want.positions_offset,
                              want.field, want.tf, want.position_count));
    EXPECT_EQ(postings.field(p), values[i].field);
    ++i;
  }
}

TEST(TermInterner, ByteOrderOnThreads) {
  TermInterner terms;
  std::mt19937 rng(9);
  bool added;
  std::vector<std::string> words;
  for (int i = 0; i < 60000; ++i) {
    std::string w(1 + rng() % 12, 'a');
    for (char& c : w) c = static_cast<char>("ab\xC3\xA9z"[rng() % 4]);
    words.push_back(w);
    terms.Intern(MakeKey(words.back()), &added);
  }
  const std::vector<uint32_t> single = terms.ByteOrder(1);
  for (size_t r = 1; r < single.size(); ++r) {
    ASSERT_LT(terms.term(single[r - 1]), terms.term(single[r]));
  }
  EXPECT_EQ(terms.ByteOrder(3), single);
}

// Keys whose hash and first eight bytes agree are told apart by the rest
// of their bytes, wherever they differ.
TEST(IdTable, TellsApartKeysOfOneHashAndPrefix) {
  for (size_t length : {8, 9, 15, 16, 17, 24, 40}) {
    std::vector<std::string> texts;
    for (size_t at = 8; at < length; ++at) {
      texts.emplace_back(length, 'k');
      texts.back()[at] = 'x';
    }
    texts.emplace_back(length, 'k');
    IdTable table;
    const auto key = [&](const std::string& text) {
      HashedKey k = MakeKey(text);
      k.hash = 42;  // all collide
      return k;
    };
    const auto key_of = [&](uint32_t id) {
      return std::string_view(texts[id]);
    };
    for (uint32_t id = 0; id < texts.size(); ++id) {
      ASSERT_EQ(table.Find(key(texts[id]), key_of), -1) << length << " " << id;
      table.Insert(key(texts[id]), id);
    }
    for (uint32_t id = 0; id < texts.size(); ++id) {
      EXPECT_EQ(table.Find(key(texts[id]), key_of), id) << length;
    }
  }
}

TEST(AvailableCores, QuotaFiles) {
  EXPECT_EQ(CoresFromCpuMax("max 100000\n"), std::nullopt);
  EXPECT_EQ(CoresFromCpuMax("200000 100000\n"), 2u);
  EXPECT_EQ(CoresFromCpuMax("150000 100000"), 2u);  // rounds up
  EXPECT_EQ(CoresFromCpuMax("50000 100000"), 1u);
  EXPECT_EQ(CoresFromCpuMax("garbage"), std::nullopt);
  EXPECT_EQ(CoresFromCpuMax("100 0"), std::nullopt);
  EXPECT_EQ(CoresFromCfs("-1\n", "100000\n"), std::nullopt);
  EXPECT_EQ(CoresFromCfs("400000\n", "100000\n"), 4u);
  EXPECT_EQ(CoresFromCfs("", "100000"), std::nullopt);
  EXPECT_GE(AvailableCores(), 1u);
}

TEST(ParallelFor, RunsEveryPieceOnceAndRethrowsTheFirstError) {
  std::vector<std::atomic<int>> runs(9);
  ParallelFor(runs.size(), [&](size_t i) { ++runs[i]; });
  for (const auto& r : runs) EXPECT_EQ(r.load(), 1);
  try {
    ParallelFor(4, [](size_t i) {
      if (i >= 2) throw std::runtime_error("piece " + std::to_string(i));
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "piece 2");
  }
}

}  // namespace
}  // namespace vrim
