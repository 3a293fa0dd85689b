// Helpers shared by the libFuzzer targets: a hard check, small indexes
// built through the real builder, and a comparable form of search results.
#ifndef VRIM_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define VRIM_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/language.h"
#include "build/index_builder.h"
#include "index/index.h"
#include "index/positions.h"
#include "search/query_parser.h"
#include "search/search.h"

namespace vrim::fuzz {

// Aborts (a finding) with `what` on stderr when `condition` fails.
inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

struct Document {
  std::string ref;
  std::vector<std::string> texts;  // one per field; empty means absent
  double boost = 1.0;
};

// Builds an index over `docs` in `language` through the native builder.
// REQUIRES: every string is valid UTF-8, refs are non-empty, field names
// are distinct valid field names.
inline IndexPtr BuildIndex(std::string_view language,
                           const std::vector<std::string>& fields,
                           const std::vector<Document>& docs) {
  IndexBuilder builder(ResolveLanguage(language).language, 1.2, 0.75);
  for (const std::string& field : fields) builder.DeclareField(field, 1.0);
  for (const Document& doc : docs) {
    StagedDocument staged{doc.ref, {}, doc.boost};
    for (uint32_t f = 0; f < doc.texts.size() && f < fields.size(); ++f) {
      if (!doc.texts[f].empty()) staged.fields.emplace_back(f, doc.texts[f]);
    }
    builder.Stage(std::move(staged));
  }
  return builder.Build();
}

// A hit in plain values: reference, score, and per match the term, field
// name and decoded positions.
struct HitView {
  std::string ref;
  double score;
  std::vector<std::tuple<std::string, std::string, std::vector<Position>>>
      matches;
  bool operator==(const HitView&) const = default;
};

inline std::vector<HitView> View(const std::vector<Hit>& hits) {
  std::vector<HitView> out;
  for (const Hit& hit : hits) {
    HitView view{std::string(hit.ref()), hit.score, {}};
    const IndexData& data = hit.index->data();
    for (const MatchRef& m : hit.matches) {
      std::vector<Position> positions;
      hit.index->AppendPositions(*m.posting, &positions);
      view.matches.emplace_back(data.terms[m.term], data.fields[m.field],
                                std::move(positions));
    }
    out.push_back(std::move(view));
  }
  return out;
}

// Parses `query` against `index`; on failure checks the error is well
// formed and returns false.
inline bool ParseChecked(const IndexPtr& index, std::string_view query,
                         size_t code_points, Query* out) {
  ParseError error;
  if (ParseQuery(query, index->data().fields, index->language(), out,
                 &error)) {
    return true;
  }
  Check(!error.message.empty(), "parse error without a message");
  Check(error.start <= error.end && error.end <= code_points,
        "parse error span outside the query");
  return false;
}

// The promises every result list keeps: hits of distinct live documents,
// no NaN score, best first with ties by reference, matches in
// (term, field) order pointing at postings of that term and document.
inline void CheckHits(const Index& index, const std::vector<Hit>& hits) {
  std::vector<bool> seen(index.doc_count_stored());
  for (size_t i = 0; i < hits.size(); ++i) {
    const Hit& hit = hits[i];
    Check(hit.index.get() == &index, "hit holds another index");
    Check(hit.doc < index.doc_count_stored() && !seen[hit.doc],
          "hit document out of range or repeated");
    seen[hit.doc] = true;
    Check(!std::isnan(hit.score), "NaN score");
    if (i > 0) {
      const Hit& prev = hits[i - 1];
      Check(prev.score > hit.score ||
                (prev.score == hit.score && prev.ref() < hit.ref()),
            "hits out of order");
    }
    for (size_t m = 0; m < hit.matches.size(); ++m) {
      const MatchRef& ref = hit.matches[m];
      Check(ref.term < index.term_count() && ref.field < index.field_count(),
            "match term or field out of range");
      Check(ref.posting >= index.postings_begin(ref.term) &&
                ref.posting < index.postings_end(ref.term) &&
                ref.posting->doc == hit.doc &&
                index.field(*ref.posting) == ref.field,
            "match points at a foreign posting");
      if (m > 0) {
        const MatchRef& prev = hit.matches[m - 1];
        Check(std::pair(prev.term, prev.field) <
                  std::pair(ref.term, ref.field),
              "matches out of order");
      }
    }
  }
}

}  // namespace vrim::fuzz

#endif  // VRIM_TESTS_FUZZ_FUZZ_SUPPORT_H_
