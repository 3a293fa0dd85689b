// libFuzzer target for the query parser and search. The first byte picks
// one of six small fixed indexes, one per kind of language (English, a
// Snowball code, a bigram code, Turkish, a multi-code list with tr, an
// unknown code); the rest is the query. Any UTF-8 query either gives a
// well-formed parse error or searches into well-formed hits, the same
// twice over.
//
// Seeds: tests/fuzz/query_seeds.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "utf8.h"

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

const vrim::IndexPtr& IndexFor(uint8_t selector) {
  static const std::vector<vrim::IndexPtr> indexes = [] {
    std::vector<vrim::IndexPtr> out;
    for (const char* code : {"en", "fr", "ja", "tr", "en,tr,zh", "qq"}) {
      out.push_back(vrim::fuzz::BuildIndex(code, Fields(), Corpus()));
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
  Check(vrim::fuzz::View(vrim::Search(index, parsed)) ==
            vrim::fuzz::View(hits),
        "search is not deterministic");
  return 0;
}
