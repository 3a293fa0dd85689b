// libFuzzer target for building, writing and reading. The input is UTF-8
// lines: the first is the language code; a line starting with "?" is a
// query; any other line is a document "ref<TAB>title<TAB>body" (a later
// line with the same ref replaces the earlier one). Checks:
//   - the built index holds exactly what tokenize() and the pipeline make
//     of each live document (terms, frequencies, positions, lengths);
//   - what is written loads, writes back to the same bytes, and answers
//     every query exactly like the built index; without positions it
//     still loads and searches;
//   - a builder rehydrated from the loaded index rebuilds the same bytes,
//     and after removing the first document equals a fresh build of the
//     rest.
//
// Seeds: tests/fuzz/roundtrip_seeds.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/utf8.h"
#include "format/reader.h"
#include "format/writer.h"
#include "fuzz_support.h"

namespace {

using vrim::fuzz::Check;
using vrim::fuzz::Document;

constexpr size_t kMaxDocuments = 24;
constexpr size_t kMaxQueries = 12;

struct Input {
  std::string language;
  std::vector<Document> docs;  // staging order, refs unique
  std::vector<std::string> queries;
};

std::vector<std::string_view> Split(std::string_view text, char at) {
  std::vector<std::string_view> out;
  size_t begin = 0;
  while (true) {
    const size_t end = text.find(at, begin);
    out.push_back(text.substr(begin, end - begin));
    if (end == std::string_view::npos) return out;
    begin = end + 1;
  }
}

Input Parse(std::string_view text) {
  std::vector<std::string_view> lines = Split(text, '\n');
  Input input;
  input.language = std::string(lines[0]);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i][0] == '?') {
      if (input.queries.size() < kMaxQueries) {
        input.queries.emplace_back(lines[i].substr(1));
      }
      continue;
    }
    std::vector<std::string_view> parts = Split(lines[i], '\t');
    if (parts[0].empty()) continue;
    Document doc{std::string(parts[0]), {}, 1.0 + (parts[0].size() % 3) * 0.5};
    for (size_t f = 1; f < parts.size() && f <= 2; ++f) {
      doc.texts.emplace_back(parts[f]);
    }
    auto same = std::find_if(input.docs.begin(), input.docs.end(),
                             [&](const Document& d) { return d.ref == doc.ref; });
    if (same != input.docs.end()) {
      *same = std::move(doc);
    } else if (input.docs.size() < kMaxDocuments) {
      input.docs.push_back(std::move(doc));
    }
  }
  return input;
}

const std::vector<std::string>& Fields() {
  static const std::vector<std::string> fields = {"title", "body"};
  return fields;
}

// term -> (field, ref) -> sorted positions, from tokenize() and the
// pipeline; also ref -> field lengths.
struct Expected {
  std::map<std::string,
           std::map<std::pair<uint32_t, std::string>, std::vector<vrim::Position>>>
      postings;
  std::map<std::string, std::vector<uint64_t>> lengths;
};

Expected Analyse(const vrim::Language& language,
                 const std::vector<Document>& docs) {
  Expected e;
  for (const Document& doc : docs) {
    std::vector<uint64_t>& lengths = e.lengths[doc.ref];
    lengths.assign(Fields().size(), 0);
    for (uint32_t f = 0; f < doc.texts.size(); ++f) {
      vrim::TokenList tokens =
          vrim::RunPipeline(language, language.tokenize(doc.texts[f]));
      lengths[f] = tokens.size();
      for (const vrim::Token& t : tokens) {
        e.postings[t.text][{f, doc.ref}].push_back(
            vrim::Position{t.metadata.start, t.metadata.length});
      }
    }
  }
  for (auto& [term, by_key] : e.postings) {
    for (auto& [key, positions] : by_key) {
      std::sort(positions.begin(), positions.end(),
                [](const vrim::Position& a, const vrim::Position& b) {
                  return std::pair(a.start, a.length) <
                         std::pair(b.start, b.length);
                });
    }
  }
  return e;
}

void CheckBuilt(const vrim::Index& index, const Expected& e) {
  const vrim::IndexData& d = index.data();
  Check(d.refs.size() == e.lengths.size() &&
            d.document_count == e.lengths.size(),
        "built document count");
  size_t doc = 0;
  for (const auto& [ref, lengths] : e.lengths) {
    Check(d.refs[doc] == ref, "built references");
    for (uint32_t f = 0; f < lengths.size(); ++f) {
      Check(index.field_length(doc, f) == lengths[f], "built field length");
    }
    ++doc;
  }
  Check(d.terms.size() == e.postings.size(), "built term count");
  size_t t = 0;
  std::vector<vrim::Position> positions;
  for (const auto& [term, by_key] : e.postings) {
    Check(d.terms[t] == term, "built terms");
    Check(index.postings_end(t) - index.postings_begin(t) ==
              static_cast<ptrdiff_t>(by_key.size()),
          "built posting count");
    const vrim::Posting* p = index.postings_begin(t);
    for (const auto& [key, want] : by_key) {
      Check(index.field(*p) == key.first && d.refs[p->doc] == key.second &&
                index.tf(*p) == want.size(),
            "built posting");
      positions.clear();
      index.AppendPositions(*p, &positions);
      std::sort(positions.begin(), positions.end(),
                [](const vrim::Position& a, const vrim::Position& b) {
                  return std::pair(a.start, a.length) <
                         std::pair(b.start, b.length);
                });
      Check(positions.size() == want.size() &&
                std::equal(positions.begin(), positions.end(), want.begin(),
                           [](const vrim::Position& a, const vrim::Position& b) {
                             return a.start == b.start && a.length == b.length;
                           }),
            "built positions");
      ++p;
    }
    ++t;
  }
}

std::string Write(const vrim::Index& index, bool positions) {
  std::string out, overflow;
  Check(vrim::WriteIndex(index, positions, &out, &overflow), "write failed");
  return out;
}

vrim::IndexPtr Read(std::string_view bytes, const std::string& language) {
  vrim::IndexPtr index;
  vrim::ReadError error;
  Check(vrim::ReadIndex(bytes, language, &index, &error),
        "written index does not load");
  return index;
}

void CheckQueries(const vrim::IndexPtr& built, const vrim::IndexPtr& loaded,
                  const vrim::IndexPtr& bare,
                  const std::vector<std::string>& queries) {
  for (const std::string& text : queries) {
    vrim::Query query;
    const size_t n = vrim::CountCodePoints(text);
    if (!vrim::fuzz::ParseChecked(built, text, n, &query)) continue;
    const std::vector<vrim::Hit> hits = vrim::Search(built, query);
    vrim::fuzz::CheckHits(*built, hits);
    Check(vrim::fuzz::View(vrim::Search(loaded, query)) ==
              vrim::fuzz::View(hits),
          "loaded index answers differently");
    vrim::fuzz::CheckHits(*bare, vrim::Search(bare, query));
  }
}

void CheckRehydrated(const vrim::Index& loaded, const Input& input,
                     const std::string& bytes) {
  std::unique_ptr<vrim::IndexBuilder> builder =
      vrim::IndexBuilder::FromIndex(loaded);
  Check(Write(*builder->Build(), true) == bytes, "rehydrated build differs");
  if (input.docs.empty()) return;
  Check(builder->Remove(input.docs[0].ref), "removal found nothing");
  const std::vector<Document> rest(input.docs.begin() + 1, input.docs.end());
  Check(Write(*builder->Build(), true) ==
            Write(*vrim::fuzz::BuildIndex(input.language, Fields(), rest), true),
        "removal differs from a fresh build without the document");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!vrim::IsValidUtf8(text)) return 0;
  const Input input = Parse(text);

  const vrim::IndexPtr built =
      vrim::fuzz::BuildIndex(input.language, Fields(), input.docs);
  CheckBuilt(*built, Analyse(built->language(), input.docs));

  const std::string bytes = Write(*built, true);
  const vrim::IndexPtr loaded = Read(bytes, built->data().language);
  Check(Write(*loaded, true) == bytes, "loaded index writes other bytes");
  const vrim::IndexPtr bare = Read(Write(*built, false), input.language);
  CheckQueries(built, loaded, bare, input.queries);
  CheckRehydrated(*loaded, input, bytes);
  return 0;
}
