// libFuzzer target for the query parser and search. The first byte picks
// one of six fixed indexes, one per kind of language (English, a Snowball
// code, a bigram code, Turkish, a multi-code list with tr, an unknown
// code); the rest is the query. Any UTF-8 query either gives a well-formed
// parse error or searches into well-formed hits, the same twice over; and
// search with a limit n gives exactly the first n hits of the full search.
//
// Seeds: tests/fuzz/query_seeds.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/utf8.h"
#include "fuzz_support.h"

namespace {

using vrim::fuzz::Check;
using vrim::fuzz::Document;

const std::vector<std::string>& Fields() {
  static const std::vector<std::string> fields = {"title", "body", "x*y"};
  return fields;
}

// Text in every script the tokenizers treat apart, with stop words,
// inflections, Turkish and Greek casing, full- and half-width forms,
// stars and backslashes that queries may try to match literally.
std::vector<Document> Corpus() {
  return {
      {"a", {"The Running Dogs", "dogs ran and runs; the dog's run", ""}, 1.0},
      {"b", {"İstanbul ISTANBUL ıssız", "Iğdır kitapları okudum", "a*b"}, 2.0},
      {"c", {"東京都の検索エンジン", "日本語の全文検索 テスト ｶﾞｷﾞ", ""}, 1.0},
      {"d", {"한국어 검색", "ภาษาไทย ค้นหา ພາສາລາວ", "\\*\\"}, 0.5},
      {"e", {"ΟΔΟΣ Σίσυφος", "Ｆｕｌｌ ｗｉｄｔｈ straße", "x-y"}, 1.0},
      {"f", {"les chevaux mangeaient", "nationalité nationales", "run"}, 0.0},
      {"g", {"", "dog dog dog dog run run", ""}, 1.0},
      {"h", {"སྐད་ཡིག ဗမာစာ ភាសាខ្មែរ", "", "123 4.5 e-mail"}, 1.0},
  };
}

// Hundreds of documents drawn from a small vocabulary, with varied
// lengths and boosts, so common terms have postings lists of several
// blocks and a limited search has something to skip.
void AddGenerated(std::vector<Document>* docs) {
  static const char* const kWords[] = {
      "dog",  "dogs", "run",   "running", "the",  "cat",   "İstanbul",
      "ıssız", "検索", "東京都", "テスト", "한국어", "ภาษาไทย", "straße",
      "chevaux", "nationalité", "ΟΔΟΣ", "a*b", "x-y", "Ｆｕｌｌ"};
  uint32_t state = 12345;
  auto next = [&state] {
    state = state * 1103515245u + 12345u;
    return state >> 16;
  };
  for (int i = 0; i < 200; ++i) {
    Document doc{"g" + std::to_string(i), {"", "", ""},
                 static_cast<double>(next() % 5) * 0.5};
    for (std::string& text : doc.texts) {
      for (uint32_t n = next() % 9; n > 0; --n) {
        text += kWords[next() % std::size(kWords)];
        text += ' ';
      }
    }
    docs->push_back(std::move(doc));
  }
}

const vrim::IndexPtr& IndexFor(uint8_t selector) {
  static const std::vector<vrim::IndexPtr> indexes = [] {
    std::vector<vrim::IndexPtr> out;
    for (const char* code : {"en", "fr", "ja", "tr", "en,tr,zh", "qq"}) {
      std::vector<Document> docs = Corpus();
      AddGenerated(&docs);
      out.push_back(vrim::fuzz::BuildIndex(code, Fields(), docs));
    }
    return out;
  }();
  return indexes[selector % indexes.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const vrim::IndexPtr& index = IndexFor(data[0]);
  std::string_view query(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (!vrim::IsValidUtf8(query)) return 0;

  vrim::Query parsed;
  if (!vrim::fuzz::ParseChecked(index, query, vrim::CountCodePoints(query),
                                &parsed)) {
    return 0;
  }
  const std::vector<vrim::Hit> hits = vrim::Search(index, parsed);
  vrim::fuzz::CheckHits(*index, hits);
  // A search costs its clauses times the postings they reach (a lone `*`
  // reaches all): long queries are searched once, short ones compared.
  if (parsed.clauses.size() > 32) return 0;
  const std::vector<vrim::fuzz::HitView> all = vrim::fuzz::View(hits);
  Check(vrim::fuzz::View(vrim::Search(index, parsed)) == all,
        "search is not deterministic");

  // The limit is chosen by the input's length, so the fuzzer explores it.
  const uint64_t limits[] = {0, 1, size % 16 + 2, all.size() / 2,
                             all.size() + 1};
  for (uint64_t limit : limits) {
    const std::vector<vrim::Hit> top =
        vrim::Search(index, parsed, vrim::SearchOptions{limit});
    vrim::fuzz::CheckHits(*index, top);
    const size_t n = std::min<size_t>(limit, all.size());
    Check(vrim::fuzz::View(top) ==
              std::vector<vrim::fuzz::HitView>(all.begin(), all.begin() + n),
          "limited search is not the first hits of the full search");
  }
  return 0;
}
