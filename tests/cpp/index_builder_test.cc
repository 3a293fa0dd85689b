#include "build/index_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/languages/kinds.h"
#include "test_language.h"

namespace vrim {
namespace {

// The space language has its own tokenizer, so builders must run its
// tokenize() and trim() rather than cut tokens themselves.
LanguagePtr MakeSpaceLanguage() {
  return std::make_shared<const testing::SpaceLanguage>();
}

// An index in plain containers, independent of ids and buffer offsets, so
// that two indexes can be compared for equivalence.
struct View {
  struct PostingView {
    uint32_t tf;
    std::vector<Position> positions;
    bool operator==(const PostingView&) const = default;
  };
  std::string language;
  std::vector<std::string> pipeline;
  std::vector<std::string> fields;
  std::vector<double> field_boosts;
  double k1, b;
  uint64_t document_count;
  std::map<std::string, std::pair<double, std::vector<uint64_t>>> docs;
  // term -> field -> ref -> posting
  std::map<std::string,
           std::map<std::string, std::map<std::string, PostingView>>>
      postings;
  bool operator==(const View&) const = default;
};

View ViewOf(const Index& index) {
  const IndexData& d = index.data();
  View v{d.language, d.pipeline, d.fields, d.field_boosts, d.k1,
         d.b,        d.document_count, {}, {}};
  for (size_t doc = 0; doc < d.refs.size(); ++doc) {
    std::vector<uint64_t> lengths;
    for (size_t f = 0; f < d.fields.size(); ++f) {
      lengths.push_back(index.field_length(doc, f));
    }
    v.docs[std::string(d.ref(doc))] = {d.doc_boost(doc), lengths};
  }
  for (size_t t = 0; t < d.terms.size(); ++t) {
    for (const Posting* p = index.postings_begin(t); p != index.postings_end(t);
         ++p) {
      View::PostingView pv{index.tf(*p), {}};
      index.AppendPositions(*p, &pv.positions);
      v.postings[std::string(d.terms[t])][d.fields[index.field(*p)]]
                [std::string(d.ref(p->doc))] = pv;
    }
  }
  return v;
}

// Checks the ordering and sizing invariants documented on IndexData.
void ExpectWellFormed(const Index& index) {
  const IndexData& d = index.data();
  EXPECT_TRUE(std::is_sorted(d.refs.begin(), d.refs.end()));
  EXPECT_EQ(std::adjacent_find(d.refs.begin(), d.refs.end()), d.refs.end());
  EXPECT_TRUE(std::is_sorted(d.terms.begin(), d.terms.end()));
  EXPECT_EQ(std::adjacent_find(d.terms.begin(), d.terms.end()),
            d.terms.end());
  // Boosts are held only when one differs from 1.0.
  if (std::all_of(d.doc_boosts.begin(), d.doc_boosts.end(),
                  [](double boost) { return boost == 1.0; })) {
    EXPECT_TRUE(d.doc_boosts.empty());
  } else {
    EXPECT_EQ(d.doc_boosts.size(), d.refs.size());
  }
  EXPECT_EQ(d.field_lengths.size(), d.refs.size() * d.fields.size());
  EXPECT_EQ(d.field_boosts.size(), d.fields.size());
  ASSERT_EQ(d.term_postings.size(), d.terms.size() + 1);
  EXPECT_EQ(d.term_postings.back(), d.postings.size());
  for (size_t t = 0; t < d.terms.size(); ++t) {
    EXPECT_LT(d.term_postings[t], d.term_postings[t + 1]) << d.terms[t];
    for (uint64_t i = d.term_postings[t]; i + 1 < d.term_postings[t + 1];
         ++i) {
      const Posting& a = d.postings[i];
      const Posting& b = d.postings[i + 1];
      EXPECT_LT(std::pair(index.field(a), a.doc),
                std::pair(index.field(b), b.doc));
    }
  }
  for (const Posting& p : d.postings) {
    EXPECT_LT(index.field(p), d.fields.size());
    EXPECT_LT(p.doc, d.refs.size());
    EXPECT_TRUE(index.position_count(p) == 0 ||
                index.position_count(p) == index.tf(p));
  }
  EXPECT_EQ(index.token_set().node_count() > 1, !d.terms.empty());
}

StagedDocument Doc(std::string ref, std::string title, std::string body,
                   double boost = 1.0) {
  StagedDocument d;
  d.ref = std::move(ref);
  if (!title.empty()) d.fields.push_back({0, std::move(title)});
  if (!body.empty()) d.fields.push_back({1, std::move(body)});
  d.boost = boost;
  return d;
}

std::unique_ptr<IndexBuilder> TitleBodyBuilder(double k1 = 1.2,
                                               double b = 0.75) {
  auto builder = std::make_unique<IndexBuilder>(MakeSpaceLanguage(), k1, b);
  builder->DeclareField("title", 2.0);
  builder->DeclareField("body", 1.0);
  return builder;
}

using Positions = std::vector<Position>;

TEST(IndexBuilderTest, RecordsPostingsPositionsAndLengths) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("b", "Dogs and cats", "the dogs chase the cats dogs"));
  builder->Stage(Doc("a", "héllo wörld héllo", ""));
  IndexPtr index = builder->Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);

  EXPECT_EQ(v.language, "test");
  EXPECT_EQ(v.pipeline, (std::vector<std::string>{"trimmer", "stopWordFilter",
                                                  "stemmer"}));
  EXPECT_EQ(v.document_count, 2u);
  EXPECT_EQ(index->data().refs, (StringTable{"a", "b"}));
  EXPECT_EQ(index->data().terms,
            (StringTable{"and", "cat", "chase", "dog",
                                      "h\xC3\xA9llo", "w\xC3\xB6rld"}));
  // Lengths count tokens after the pipeline: "the" is a stop word.
  EXPECT_EQ(v.docs["a"].second, (std::vector<uint64_t>{3, 0}));
  EXPECT_EQ(v.docs["b"].second, (std::vector<uint64_t>{3, 4}));
  // Positions are in code points of the text, sorted.
  EXPECT_EQ(v.postings["h\xC3\xA9llo"]["title"]["a"],
            (View::PostingView{2, Positions{{0, 5}, {12, 5}}}));
  EXPECT_EQ(v.postings["w\xC3\xB6rld"]["title"]["a"],
            (View::PostingView{1, Positions{{6, 5}}}));
  EXPECT_EQ(v.postings["dog"]["body"]["b"],
            (View::PostingView{2, Positions{{4, 4}, {24, 4}}}));
  EXPECT_EQ(v.postings["dog"]["title"]["b"],
            (View::PostingView{1, Positions{{0, 4}}}));
  EXPECT_EQ(v.postings["dog"].size(), 2u);
  EXPECT_EQ(index->document_frequency(index->FindTerm("dog")), 1u);
  EXPECT_DOUBLE_EQ(index->average_field_length(0), 3.0);
  EXPECT_DOUBLE_EQ(index->average_field_length(1), 4.0);  // "a" skipped
  EXPECT_EQ(index->token_set().Find("chase"), index->FindTerm("chase"));
}

TEST(IndexBuilderTest, TokenWithoutPositionIsRecordedAtStartZero) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("a", "#tägs", "x #tägs y #tägs"));
  View v = ViewOf(*builder->Build());
  // "#tägs" is stemmed to "#täg": four characters, at start 0, twice; the
  // same text seen again in a later field gets the same.
  EXPECT_EQ(v.postings["#t\xC3\xA4g"]["body"]["a"],
            (View::PostingView{2, Positions{{0, 4}, {0, 4}}}));
  EXPECT_EQ(v.postings["#t\xC3\xA4g"]["title"]["a"],
            (View::PostingView{1, Positions{{0, 4}}}));
}

TEST(PackedDocument, KeepsReferenceFieldsAndBoost) {
  // Field ids out of order, an empty text, a length past one varint byte.
  const StagedDocument doc{
      "ref/\xC3\xA9", {{3, "three"}, {0, ""}, {200, std::string(300, 'x')}},
      0.25};
  const PackedDocument packed(doc);
  EXPECT_EQ(packed.ref(), doc.ref);
  EXPECT_EQ(packed.text(3), "three");
  EXPECT_EQ(packed.text(200), doc.fields[2].second);
  EXPECT_EQ(packed.text(0), "");
  EXPECT_EQ(packed.text(1), "");  // absent
  // All at once; a field past `count` is left out, an absent one as it was.
  std::vector<std::string_view> texts(4, "unset");
  packed.Texts(texts.data(), texts.size());
  EXPECT_EQ(texts, (std::vector<std::string_view>{"", "unset", "unset",
                                                  "three"}));
  const StagedDocument back = packed.Unpack();
  EXPECT_EQ(std::tie(back.ref, back.fields, back.boost),
            std::tie(doc.ref, doc.fields, doc.boost));
}

// Each holder is a counter of the times it was released.
void CountRelease(void* holder) { ++*static_cast<int*>(holder); }

StagedDocument BorrowingDoc(std::string ref, std::string_view body,
                            int* holder) {
  StagedDocument d = Doc(std::move(ref), "cats", "");
  d.borrowed.push_back({1, body, holder});
  d.release = CountRelease;
  return d;
}

TEST(PackedDocument, ReadsBorrowedTextsInPlaceAndReleasesThemOnce) {
  const std::string body(300, 'x');
  int released = 0;
  {
    PackedDocument packed(BorrowingDoc("a", body, &released));
    EXPECT_EQ(packed.text(1).data(), body.data());
    EXPECT_EQ(packed.text(0), "cats");
    const StagedDocument back = packed.Unpack();
    EXPECT_EQ(back.fields,
              (std::vector<std::pair<uint32_t, std::string>>{{0, "cats"},
                                                             {1, body}}));
    EXPECT_TRUE(back.borrowed.empty());
    PackedDocument moved(std::move(packed));
    std::vector<PackedDocument> grown;
    grown.push_back(std::move(moved));
    grown.reserve(64);
    EXPECT_EQ(grown[0].text(1).data(), body.data());
    EXPECT_EQ(released, 0);
  }
  EXPECT_EQ(released, 1);
}

// A borrowed text is kept as its distance from its holder, which may
// lie on either side of it, near or far.
TEST(PackedDocument, FindsBorrowedTextsOnEitherSideOfTheirHolders) {
  static char area[4096];
  int far_holder = 0;
  StagedDocument d = Doc("a", "", "");
  d.fields.clear();
  d.borrowed = {{0, std::string_view(area + 8, 5), area},
                {1, std::string_view(area + 1000, 7), area + 4000},
                {2, std::string_view(area, 3), &far_holder}};
  d.release = [](void*) {};
  const PackedDocument packed(d);
  for (uint32_t f = 0; f < 3; ++f) {
    EXPECT_EQ(packed.text(f).data(), d.borrowed[f].text.data()) << f;
    EXPECT_EQ(packed.text(f).size(), d.borrowed[f].text.size()) << f;
  }
}

// Release function N counts into entry N of the array its holder is.
template <int N>
void CountInto(void* holder) {
  ++static_cast<int*>(holder)[N];
}

template <int... N>
std::vector<ReleaseText> CountingReleases(std::integer_sequence<int, N...>) {
  return {&CountInto<N>...};
}

// A document keeps its release function as a byte while fewer than 256
// have been seen, then as its address: each holder still goes back
// through its own function, once.
TEST(PackedDocument, KeepsEveryReleaseFunctionApart) {
  const std::vector<ReleaseText> releases =
      CountingReleases(std::make_integer_sequence<int, 300>());
  std::vector<int> counts(releases.size(), 0);
  {
    std::vector<PackedDocument> docs;
    for (size_t i = 0; i < releases.size(); ++i) {
      StagedDocument d = Doc("d" + std::to_string(i), "", "");
      d.fields.clear();
      d.borrowed = {{0, "text", counts.data()}};
      d.release = releases[i];
      docs.emplace_back(d);
      EXPECT_EQ(docs.back().text(0), "text");
    }
  }
  EXPECT_EQ(counts, std::vector<int>(releases.size(), 1));
}

TEST(IndexBuilderTest, BorrowedTextsAreReleasedWhenTheirDocumentLeaves) {
  const std::string body = "xyzzy plugh";
  int replaced = 0, removed = 0, cleared = 0, destroyed = 0;
  auto builder = IndexBuilder::FromIndex(*TitleBodyBuilder()->Build());
  builder->Stage(BorrowingDoc("a", body, &replaced));
  builder->Stage(BorrowingDoc("b", body, &removed));
  builder->Stage(BorrowingDoc("a", body, &cleared));  // replaces the first
  EXPECT_EQ(replaced, 1);
  const View built = ViewOf(*builder->Build());
  EXPECT_EQ(built.postings.at("xyzzy").at("body").size(), 2u);
  EXPECT_TRUE(builder->Remove("b"));
  EXPECT_EQ(removed, 1);
  EXPECT_EQ(cleared, 0);
  builder->Clear();
  EXPECT_EQ(cleared, 1);
  builder->Stage(BorrowingDoc("c", body, &destroyed));
  builder.reset();
  EXPECT_EQ(std::tuple(replaced, removed, cleared, destroyed),
            std::tuple(1, 1, 1, 1));
}

TEST(IndexBuilderTest, LargeFieldsAndVocabulariesPastTheBuildersCaches) {
  // Ten fields of 9,000 tokens each (each field's buffers are freed after
  // it) over 90,000 token texts (the cache of what each becomes starts
  // over past 65,536); neighbouring fields share 1,000 words, spelt with
  // an "s" in every other field, and each repeats a word at a different
  // place, so a stale cache entry shows as a wrong term.
  constexpr size_t kFields = 10, kStep = 8000, kWidth = 9000;
  auto builder = TitleBodyBuilder();
  std::map<std::string, std::map<std::string, Position>> expected;
  for (size_t i = 0; i < kFields; ++i) {
    std::string body = "the";
    const std::string ref = "d" + std::to_string(i);
    for (size_t j = i * kStep; j < i * kStep + kWidth; ++j) {
      if (j == i * kStep + i) body += " cats dogs cats";
      const std::string word = "w" + std::to_string(j);
      body += ' ';
      expected[word][ref] = Position{body.size(), word.size() + i % 2};
      body += word + (i % 2 ? "s" : "");
    }
    builder->Stage(Doc(ref, "", body));
  }
  const View v = ViewOf(*builder->Build());
  ASSERT_EQ(v.postings.size(), expected.size() + 2);
  for (const auto& [ref, posting] : v.postings.at("cat").at("body")) {
    EXPECT_EQ(posting.tf, 2u) << ref;
  }
  for (const auto& [word, refs] : expected) {
    const auto& found = v.postings.at(word).at("body");
    ASSERT_EQ(found.size(), refs.size()) << word;
    for (const auto& [ref, position] : refs) {
      EXPECT_EQ(found.at(ref), (View::PostingView{1, {position}})) << word;
    }
  }
}

TEST(IndexBuilderTest, StagingTheSameReferenceReplacesInPlace) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("a", "one", ""));
  builder->Stage(Doc("b", "two", ""));
  builder->Stage(Doc("a", "three", "", 0.5));
  ASSERT_EQ(builder->staged_count(), 2u);
  EXPECT_EQ(builder->staged(0).ref, "a");
  EXPECT_EQ(builder->staged(0).fields[0].second, "three");
  View v = ViewOf(*builder->Build());
  EXPECT_EQ(v.document_count, 2u);
  EXPECT_EQ(v.postings.count("one"), 0u);
  EXPECT_EQ(v.postings["three"]["title"].count("a"), 1u);
  EXPECT_EQ(v.docs["a"].first, 0.5);
}

TEST(IndexBuilderTest, DocumentWithoutTextHasZeroLengthAndNoPostings) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("a", "word", ""));
  builder->Stage(Doc("b", "", ""));
  builder->Stage(Doc("c", "the the", "the"));  // only stop words
  IndexPtr index = builder->Build();
  View v = ViewOf(*index);
  EXPECT_EQ(v.document_count, 3u);
  EXPECT_EQ(v.docs["a"].second, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(v.docs["b"].second, (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(v.docs["c"].second, (std::vector<uint64_t>{0, 0}));
  EXPECT_EQ(v.postings.size(), 1u);
  EXPECT_EQ(index->average_field_length(1), 0.0);
}

TEST(IndexBuilderTest, ReferenceMayContainSlash) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("guide/intro", "intro", ""));
  builder->Stage(Doc("guide", "intro", ""));
  View v = ViewOf(*builder->Build());
  EXPECT_EQ(v.postings["intro"]["title"].size(), 2u);
  EXPECT_EQ(v.postings["intro"]["title"].count("guide/intro"), 1u);
}

// Documents are numbered in byte order of their references, whatever
// order they were staged in: references sharing more than the 16 bytes
// the sort compares at once, and more than the 256 past which it compares
// them whole; references that are prefixes of others; zero and high bytes.
TEST(IndexBuilderTest, DocumentsAreNumberedInByteOrderOfTheirReferences) {
  const std::string long16(20, 'p');
  const std::string long256(300, 'q');
  std::vector<std::string> refs = {"b", "a", std::string("a\0", 2),
                                   std::string("a\0\0", 3), "\xC3\xA9",
                                   "\x7F", "ab"};
  for (const std::string& stem : {long16, long256}) {
    for (const char* tail : {"", "a", "b", "ab", "\x01", "\xFF"}) {
      refs.push_back(stem + tail);
      refs.push_back(stem.substr(0, stem.size() - 1) + tail);
    }
  }
  std::mt19937 random(7);
  std::shuffle(refs.begin(), refs.end(), random);
  auto builder = TitleBodyBuilder();
  for (const std::string& ref : refs) builder->Stage(Doc(ref, "word", ""));
  IndexPtr index = builder->Build();
  std::sort(refs.begin(), refs.end());
  ASSERT_EQ(index->data().refs.size(), refs.size());
  for (size_t i = 0; i < refs.size(); ++i) {
    EXPECT_EQ(index->data().refs[i], refs[i]) << i;
  }
}

TEST(IndexBuilderTest, BoostsAreClamped) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double in, field, doc;
  } cases[] = {{2.5, 2.5, 2.5},  {0.0, 0.0, 0.0},   {-0.0, 0.0, 0.0},
               {-3.0, 0.0, 0.0}, {inf, 1.0, 1.0},   {-inf, 1.0, 1.0},
               {nan, 1.0, 1.0}};
  for (const Case& c : cases) {
    EXPECT_EQ(ClampFieldBoost(c.in), c.field) << c.in;
    EXPECT_FALSE(std::signbit(ClampFieldBoost(c.in))) << c.in;
    EXPECT_EQ(SanitizeDocumentBoost(c.in), c.doc) << c.in;
  }
  IndexBuilder builder(MakeSpaceLanguage(), 1.2, 0.75);
  EXPECT_EQ(builder.DeclareField("title", -1.0), 0u);
  EXPECT_EQ(builder.DeclareField("body", nan), 1u);
  EXPECT_EQ(builder.DeclareField("title", 5.0), 0u);  // first boost wins
  EXPECT_EQ(builder.field_boosts(), (std::vector<double>{0.0, 1.0}));
  builder.Stage(Doc("a", "x", "", -3.0));
  View v = ViewOf(*builder.Build());
  EXPECT_EQ(v.field_boosts, (std::vector<double>{0.0, 1.0}));
  EXPECT_EQ(v.docs["a"].first, 0.0);
  EXPECT_EQ(v.postings["x"]["title"].size(), 1u);  // still matches
}

TEST(IndexBuilderTest, SanitisesK1AndBAtBuild) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double k1_in, b_in, k1, b;
  } cases[] = {{-1.0, 2.0, 1.2, 1.0},  {0.0, -0.5, 0.0, 0.0},
               {inf, inf, 1.2, 0.75},  {2.0, 0.3, 2.0, 0.3},
               {std::nan(""), std::nan(""), 1.2, 0.75}};
  for (const Case& c : cases) {
    IndexPtr index = TitleBodyBuilder(c.k1_in, c.b_in)->Build();
    EXPECT_EQ(index->data().k1, c.k1) << c.k1_in;
    EXPECT_EQ(index->data().b, c.b) << c.b_in;
  }
}

TEST(IndexBuilderTest, RepeatedBuildsAreEquivalentAndKeepTheBuilder) {
  auto builder = TitleBodyBuilder();
  builder->Stage(Doc("a", "red fox", "quick red fox"));
  builder->Stage(Doc("b", "lazy dog", ""));
  IndexPtr first = builder->Build();
  IndexPtr second = builder->Build();
  EXPECT_EQ(builder->staged_count(), 2u);
  EXPECT_EQ(ViewOf(*first), ViewOf(*second));
  EXPECT_NE(first.get(), second.get());
}

TEST(IndexBuilderTest, EmptyBuild) {
  IndexPtr index = TitleBodyBuilder()->Build();
  ExpectWellFormed(*index);
  EXPECT_EQ(index->data().document_count, 0u);
  EXPECT_EQ(index->term_count(), 0u);
  EXPECT_EQ(index->field_count(), 2u);
}

// ---- Rehydrated builders. ----

IndexPtr SampleIndex() {
  auto builder = TitleBodyBuilder(0.9, 0.4);
  builder->Stage(Doc("a", "alpha", "common words alpha"));
  builder->Stage(Doc("b", "beta", "common beta"));
  builder->Stage(Doc("c", "gamma", "common"));
  return builder->Build();
}

TEST(IndexBuilderTest, FromIndexRebuildsTheSameIndex) {
  IndexPtr index = SampleIndex();
  auto builder = IndexBuilder::FromIndex(*index);
  EXPECT_TRUE(builder->rehydrated());
  EXPECT_EQ(builder->field_names(),
            (std::vector<std::string>{"title", "body"}));
  EXPECT_EQ(builder->field_boosts(), (std::vector<double>{2.0, 1.0}));
  IndexPtr rebuilt = builder->Build();
  ExpectWellFormed(*rebuilt);
  EXPECT_EQ(ViewOf(*rebuilt), ViewOf(*index));
  EXPECT_EQ(rebuilt->data().k1, 0.9);  // the base's parameters are used
}

TEST(IndexBuilderTest, UpsertOfABaseDocumentReplacesIt) {
  auto builder = IndexBuilder::FromIndex(*SampleIndex());
  builder->Stage(Doc("b", "delta", ""));
  IndexPtr index = builder->Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);
  EXPECT_EQ(v.document_count, 3u);
  EXPECT_EQ(v.postings.count("beta"), 0u);  // left the dictionary
  EXPECT_EQ(v.postings["delta"]["title"].count("b"), 1u);
  EXPECT_EQ(v.postings["common"]["body"].count("b"), 0u);
  EXPECT_EQ(v.postings["common"]["body"].size(), 2u);
  EXPECT_EQ(v.docs["b"].second, (std::vector<uint64_t>{1, 0}));
  EXPECT_EQ(index->document_frequency(index->FindTerm("common")), 2u);
}

TEST(IndexBuilderTest, RemoveEditsTheBaseAtOnce) {
  auto builder = IndexBuilder::FromIndex(*SampleIndex());
  EXPECT_FALSE(builder->Remove("zzz"));
  EXPECT_EQ(builder->Build()->data().document_count, 3u);

  builder->Stage(Doc("new", "fresh", ""));
  EXPECT_TRUE(builder->Remove("a"));
  EXPECT_FALSE(builder->Remove("a"));  // already gone
  View v = ViewOf(*builder->Build());
  EXPECT_EQ(v.document_count, 3u);  // 3 - 1 + 1
  EXPECT_EQ(v.docs.count("a"), 0u);
  EXPECT_EQ(v.postings.count("alpha"), 0u);
  EXPECT_EQ(v.postings.count("word"), 0u);

  // Removal survives clearing the staged list and later builds.
  builder->Clear();
  EXPECT_EQ(builder->staged_count(), 0u);
  View after_clear = ViewOf(*builder->Build());
  EXPECT_EQ(after_clear.document_count, 2u);
  EXPECT_EQ(after_clear.docs.count("a"), 0u);
  EXPECT_EQ(after_clear.docs.count("new"), 0u);
  EXPECT_EQ(ViewOf(*builder->Build()), after_clear);

  // A reference that is only staged is dropped from the staged list.
  builder->Stage(Doc("x", "one", ""));
  builder->Stage(Doc("y", "two", ""));
  EXPECT_TRUE(builder->Remove("x"));
  ASSERT_EQ(builder->staged_count(), 1u);
  builder->Stage(Doc("y", "three", ""));  // the lookup still works
  EXPECT_EQ(builder->staged_count(), 1u);
  EXPECT_EQ(builder->staged(0).fields[0].second, "three");
}

TEST(IndexBuilderTest, DocumentCountNeverDropsBelowZero) {
  IndexData d;
  d.fields = {"title"};
  d.field_boosts = {1.0};
  d.refs = {"a", "b"};
  d.doc_boosts = {1.0, 1.0};
  d.field_lengths = {0, 0};
  d.document_count = 1;  // inconsistent, as a hand-made file may be
  d.term_postings = {0};
  auto builder =
      IndexBuilder::FromIndex(*Index::Make(std::move(d), MakeSpaceLanguage()));
  EXPECT_TRUE(builder->Remove("a"));
  EXPECT_TRUE(builder->Remove("b"));
  EXPECT_EQ(builder->Build()->data().document_count, 0u);
}

TEST(IndexBuilderTest, FieldDeclaredOnARehydratedBuilderReachesTheBase) {
  auto builder = IndexBuilder::FromIndex(*SampleIndex());
  EXPECT_EQ(builder->DeclareField("tags", -2.0), 2u);
  StagedDocument doc = Doc("d", "delta", "");
  doc.fields.push_back({2, "tagged"});
  builder->Stage(doc);
  IndexPtr index = builder->Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);
  EXPECT_EQ(v.fields, (std::vector<std::string>{"title", "body", "tags"}));
  EXPECT_EQ(v.field_boosts, (std::vector<double>{2.0, 1.0, 0.0}));
  EXPECT_EQ(v.docs["a"].second, (std::vector<uint64_t>{1, 3, 0}));
  EXPECT_EQ(v.docs["d"].second, (std::vector<uint64_t>{1, 0, 1}));
  EXPECT_EQ(v.postings["tagged"]["tags"].count("d"), 1u);
}

TEST(IndexBuilderTest, RehydratedFromIndexWithoutPositions) {
  IndexData d;
  d.language = "test";
  d.fields = {"title", "body"};
  d.field_boosts = {1.0, 1.0};
  d.refs = {"a", "b"};
  d.doc_boosts = {1.0, 1.0};
  d.field_lengths = {2, 0, 1, 0};
  d.document_count = 2;
  d.terms = {"cat", "dog"};
  ASSERT_TRUE(d.postings.push_back(0, 0, 2, 0));
  ASSERT_TRUE(d.postings.push_back(0, 1, 1, 0));
  d.term_postings = {0, 1, 2};
  auto builder =
      IndexBuilder::FromIndex(*Index::Make(std::move(d), MakeSpaceLanguage()));
  builder->Stage(Doc("c", "dog dog", ""));
  IndexPtr index = builder->Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);
  EXPECT_EQ(v.postings["cat"]["title"]["a"], (View::PostingView{2, {}}));
  EXPECT_EQ(v.postings["dog"]["title"]["b"], (View::PostingView{1, {}}));
  EXPECT_EQ(v.postings["dog"]["title"]["c"],
            (View::PostingView{2, Positions{{0, 3}, {4, 3}}}));
  EXPECT_EQ(v.document_count, 3u);
}

// Any sequence of stages, removals and builds on a rehydrated builder gives
// the same index as a fresh build of the documents that end up live.
TEST(IndexBuilderTest, RehydratedBuildsMatchFreshBuilds) {
  std::mt19937 rng(7);
  const char* words[] = {"ant", "bee", "cat", "dog", "eel", "the", "ants",
                         ("b\xC3\xA9" "e"), "#x"};
  auto text = [&] {
    std::string s;
    int n = rng() % 6;
    for (int i = 0; i < n; ++i) {
      if (!s.empty()) s += rng() % 4 == 0 ? "  " : " ";
      s += words[rng() % std::size(words)];
    }
    return s;
  };
  auto ref = [&] { return std::string(1, static_cast<char>('a' + rng() % 12)); };
  for (int round = 0; round < 30; ++round) {
    std::map<std::string, StagedDocument> live;
    auto fresh_of = [&] {
      auto b = TitleBodyBuilder();
      for (const auto& [r, doc] : live) b->Stage(doc);
      return b->Build();
    };
    auto seed = TitleBodyBuilder();
    for (int i = 0; i < 8; ++i) {
      StagedDocument doc = Doc(ref(), text(), text(), (rng() % 3) * 0.5);
      live[doc.ref] = doc;
      seed->Stage(doc);
    }
    auto builder = IndexBuilder::FromIndex(*seed->Build());
    for (int step = 0; step < 12; ++step) {
      switch (rng() % 4) {
        case 0:
        case 1: {
          StagedDocument doc = Doc(ref(), text(), text(), (rng() % 3) * 0.5);
          live[doc.ref] = doc;
          builder->Stage(doc);
          break;
        }
        case 2: {
          std::string r = ref();
          bool had = live.erase(r) > 0;
          EXPECT_EQ(builder->Remove(r), had);
          break;
        }
        case 3: {
          IndexPtr built = builder->Build();
          ExpectWellFormed(*built);
          ASSERT_EQ(ViewOf(*built), ViewOf(*fresh_of())) << round;
          // Fold the build into a new base now and then.
          if (rng() % 2 == 0) builder = IndexBuilder::FromIndex(*built);
          break;
        }
      }
    }
    ASSERT_EQ(ViewOf(*builder->Build()), ViewOf(*fresh_of())) << round;
  }
}

TEST(IndexBuilderTest, BuildsThroughTheEnglishPipeline) {
  IndexBuilder builder(ResolveLanguage("en").language, 1.2, 0.75);
  builder.DeclareField("title", 1.0);
  builder.DeclareField("body", 1.0);
  builder.Stage(Doc("a", "", "The running dogs."));
  builder.Stage(Doc("b", "\xC3\x9Cn\xC3\xAF" "code DOGS", ""));
  IndexPtr index = builder.Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);
  EXPECT_EQ(v.pipeline, (std::vector<std::string>{"trimmer", "stopWordFilter",
                                                  "stemmer"}));
  EXPECT_EQ(v.docs["a"].second, (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(v.postings["run"]["body"]["a"],
            (View::PostingView{1, Positions{{4, 7}}}));
  // Trimmed of its full stop, stemmed; positions still cover the word.
  EXPECT_EQ(v.postings["dog"]["body"]["a"],
            (View::PostingView{1, Positions{{12, 4}}}));
  // Positions count code points, not bytes.
  EXPECT_EQ(v.postings["dog"]["title"]["b"],
            (View::PostingView{1, Positions{{8, 4}}}));
  EXPECT_EQ(index->document_frequency(index->FindTerm("dog")), 2u);
}

// Builds `texts` (one document each, field "body") with `language` and
// expects exactly the terms, positions and field lengths that tokenize
// followed by RunPipeline gives.
void ExpectPostingsMatchPipeline(const LanguagePtr& language,
                                 const std::vector<std::string>& texts) {
  const std::string code = language->code();
  IndexBuilder builder(language, 1.2, 0.75);
  builder.DeclareField("body", 1.0);
  // ref -> term -> positions, and ref -> field length
  std::map<std::string, std::map<std::string, Positions>> expected;
  std::map<std::string, uint64_t> lengths;
  for (size_t i = 0; i < texts.size(); ++i) {
    StagedDocument doc;
    doc.ref = "d" + std::to_string(i);
    doc.fields.push_back({0, texts[i]});
    builder.Stage(doc);
    TokenList tokens = RunPipeline(*language, language->tokenize(texts[i]));
    lengths[doc.ref] = tokens.size();
    for (const Token& t : tokens) {
      expected[doc.ref][t.text].push_back(
          {t.metadata.start, t.metadata.length});
    }
  }
  IndexPtr index = builder.Build();
  ExpectWellFormed(*index);
  View v = ViewOf(*index);
  std::map<std::string, std::map<std::string, Positions>> got;
  for (const auto& [term, fields] : v.postings) {
    for (const auto& [ref, posting] : fields.at("body")) {
      EXPECT_EQ(posting.tf, posting.positions.size());
      got[ref][term] = posting.positions;
    }
  }
  for (auto& [ref, terms] : expected) {
    for (auto& [term, positions] : terms) {
      std::sort(positions.begin(), positions.end());
    }
  }
  EXPECT_EQ(got, expected) << code;
  for (const auto& [ref, length] : lengths) {
    EXPECT_EQ(v.docs[ref].second[0], length) << code << " " << ref;
  }
}

// The builder runs the pipeline stages itself (with the stop-word filter and
// stemmer memoised per distinct text); the outcome must be exactly that of
// tokenize followed by RunPipeline, for every kind of language.
TEST(IndexBuilderTest, PostingsMatchThePipelineRunDirectly) {
  const std::vector<std::string> texts = {
      "The running dogs. (hello) RUNNING runs the dogs",
      "\xC3\x9Cn\xC3\xAF" "code na\xC3\xAFve caf\xC3\xA9 l'\xC3\xA9t\xC3\xA9 le les",
      "\xC4\xB0stanbul ISTANBUL \xC4\xB1i Istanbul",
      "\xE4\xB8\xAD\xE6\x96\x87\xE5\x88\x86\xE8\xAF\x8D \xE4\xB8\xAD\xE6\x96\x87 "
      "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x82\xBF\xE3\x83\xAF\xE3\x83\xBC",
      "a-b c_d e.f 123 4th -- ... x",
      "\xEF\xBC\xA6\xEF\xBC\xB5\xEF\xBC\xAC\xEF\xBC\xAC\xE3\x80\x80wide",
      "",
      "the the the",
  };
  for (const char* code : {"en", "fr", "zh", "ja", "tr", "en,fr", "zh,en", "xx"}) {
    ExpectPostingsMatchPipeline(ResolveLanguage(code).language, texts);
  }
}

// Random texts built to hit every branch of the span-based analysis of the
// generic-tokenizer languages: ASCII and non-ASCII text (Turkish I and
// dotted I, final sigma, full-width letters, combining marks), punctuation
// and symbols at token ends, script runs inside and between words, and
// separators of one and several bytes.
TEST(IndexBuilderTest, RandomTextsMatchThePipelineRunDirectly) {
  const std::vector<std::string> pieces = {
      "Word", "word", "RUNNING", "runs", "the", "and", "I", "Is", "IT",
      "i", "x_y", "_", "42", "4th", "\xC4\xB0", "\xC4\xB1",
      "\xC3\x89t\xC3\xA9", "na\xC3\xAFve", "\xCE\xA3\xCE\x9F\xCE\xA3",
      "\xCF\x83\xCE\xBF\xCF\x82", "stra\xC3\x9F" "e", "\xEF\xBC\xA1\xEF\xBC\xA2",
      "\xE4\xB8\xAD\xE6\x96\x87", "\xE6\x9D\xB1",
      "\xE3\x82\xBF\xE3\x83\xAF\xE3\x83\xBC", "\xE0\xB8\x81\xE0\xB8\xB2",
      "e\xCC\x81", "\xD9\xA3", "\xE2\x85\xA0",
      "(", ")", ".", ",", "'", "\"", "--", "\xE2\x80\x94", "\xC2\xAB",
      "\xC2\xBB", "\xE2\x82\xAC", "#", "\xF0\x9F\x98\x80", "...", "?!"};
  const std::vector<std::string> separators = {
      " ", " ", " ", "  ", "\t", "\n", "-", "\xC2\xA0", "\xE3\x80\x80", ""};
  std::mt19937 rng(7);
  auto pick = [&rng](const std::vector<std::string>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(
        rng)];
  };
  for (bool ascii_only : {true, false}) {
    std::vector<std::string> texts;
    for (int t = 0; t < 60; ++t) {
      std::string text;
      const int count = std::uniform_int_distribution<int>(0, 25)(rng);
      for (int i = 0; i < count; ++i) {
        std::string piece = pick(pieces);
        std::string sep = pick(separators);
        if (ascii_only &&
            (std::any_of(piece.begin(), piece.end(),
                         [](char c) { return c & 0x80; }) ||
             std::any_of(sep.begin(), sep.end(),
                         [](char c) { return c & 0x80; }))) {
          continue;
        }
        text += piece + sep;
      }
      texts.push_back(text);
    }
    for (const char* code : {"en", "fr", "tr", "de", "xx", "en,fr", "ja"}) {
      ExpectPostingsMatchPipeline(ResolveLanguage(code).language, texts);
    }
    // Turkish lowercasing on a generic language.
    ExpectPostingsMatchPipeline(MakeGenericLanguage("tr"), texts);
  }
}

// Enough documents that postings are sorted by the radix passes (several
// digits of document ids), not only by insertion sort; fresh and rehydrated.
TEST(IndexBuilderTest, ManyPostingsComeOutInOrder) {
  std::mt19937 rng(11);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 300; ++i) vocabulary.push_back("w" + std::to_string(i));
  auto text = [&] {
    std::string s;
    for (int i = 0, n = 1 + rng() % 6; i < n; ++i) {
      // Skewed, so that a few terms have thousands of postings.
      size_t w = rng() % 4 == 0 ? rng() % vocabulary.size() : rng() % 5;
      s += (s.empty() ? "" : " ") + vocabulary[w];
    }
    return s;
  };
  std::map<std::string, StagedDocument> live;
  auto builder = TitleBodyBuilder();
  for (int d = 0; d < 2500; ++d) {
    StagedDocument doc = Doc("doc" + std::to_string(rng() % 100000), text(),
                             text());
    live[doc.ref] = doc;
    builder->Stage(doc);
  }
  auto expect_matches_live = [&](const Index& index) {
    ExpectWellFormed(index);
    View v = ViewOf(index);
    std::map<std::string, std::map<std::string, std::map<std::string, uint32_t>>>
        expected;  // term -> field -> ref -> tf
    for (const auto& [ref, doc] : live) {
      for (const auto& [field, body] : doc.fields) {
        for (const Token& t : RunPipeline(testing::SpaceLanguage(),
                                          testing::SpaceLanguage().tokenize(body))) {
          ++expected[t.text][field == 0 ? "title" : "body"][ref];
        }
      }
    }
    std::map<std::string, std::map<std::string, std::map<std::string, uint32_t>>>
        got;
    for (const auto& [term, fields] : v.postings) {
      for (const auto& [field, refs] : fields) {
        for (const auto& [ref, posting] : refs) got[term][field][ref] = posting.tf;
      }
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(v.document_count, live.size());
  };
  IndexPtr fresh = builder->Build();
  expect_matches_live(*fresh);

  auto rehydrated = IndexBuilder::FromIndex(*fresh);
  for (int d = 0; d < 1500; ++d) {
    std::string ref = "doc" + std::to_string(rng() % 100000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(rehydrated->Remove(ref), live.erase(ref) > 0);
    } else {
      StagedDocument doc = Doc(ref, text(), text());
      live[ref] = doc;
      rehydrated->Stage(doc);
    }
  }
  expect_matches_live(*rehydrated->Build());
}

TEST(IndexBuilderDeathTest, InvalidFieldNamesAreBrokenPreconditions) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  IndexBuilder builder(MakeSpaceLanguage(), 1.2, 0.75);
  EXPECT_DEATH(builder.DeclareField("", 1.0), "field name must not be empty");
  EXPECT_DEATH(builder.DeclareField("a/b", 1.0), "must not contain '/'");
  EXPECT_DEATH(builder.DeclareField("a b", 1.0), "contains a separator");
  EXPECT_DEATH(builder.DeclareField("a:b", 1.0), "query operator");
  EXPECT_DEATH(builder.DeclareField("+ab", 1.0), "query operator");
  EXPECT_DEATH(builder.Stage(Doc("", "x", "")), "empty document references");
  EXPECT_EQ(builder.DeclareField("a*b", 1.0), 0u);
}

}  // namespace
}  // namespace vrim
