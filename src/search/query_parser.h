// The query language: a lexer and a small state-machine parser that turn a
// query string into clauses, or into one parse error with a message and a
// code-point span.
#ifndef VRIM_QUERY_PARSER_H_
#define VRIM_QUERY_PARSER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"

namespace vrim {

enum class Presence { kOptional, kRequired, kProhibited };

struct Clause {
  std::optional<uint64_t> edit_distance;
  std::string term;
  // The fields the clause searches, without duplicates; empty when it
  // searches every field (Query::all_fields), which it then refers to
  // rather than copies.
  std::vector<std::string> fields;
  double boost = 1.0;
  bool use_pipeline = true;
  bool wildcard = false;
  Presence presence = Presence::kOptional;
  bool wildcard_leading = false;
  bool wildcard_trailing = false;
  // A quoted run of words (`term` holds them, unescaped), whose terms must
  // occur in order at consecutive word positions, or with at most `slop`
  // extra words between them in all.
  bool phrase = false;
  uint32_t slop = 0;
};

// The largest slop a phrase takes (`"..."~N`).
constexpr uint64_t kMaxPhraseSlop = 32;

struct ParseOptions {
  // Whether a double quote opens a phrase; otherwise it is a term character.
  bool phrases = false;
};

struct Query {
  std::vector<Clause> clauses;
  std::vector<std::string> all_fields;
};

struct ParseError {
  std::string message;
  uint64_t start = 0;  // code points of the query
  uint64_t end = 0;
};

// Parses `query` against the index's field names and language (whose
// separators() and code() the parser uses). Returns false and fills
// `*error` on failure; `*out` is then unspecified.
// REQUIRES: `query` is valid UTF-8.
bool ParseQuery(std::string_view query, const std::vector<std::string>& fields,
                const Language& language, Query* out, ParseError* error,
                const ParseOptions& options = {});

// Appends `clause` to `query` applying the completion rules.
void AddClause(Query* query, Clause clause);

// The fields `clause` searches: its own, or every field of `query`.
// REQUIRES: `clause` belongs to `query`.
inline const std::vector<std::string>& ClauseFields(const Query& query,
                                                    const Clause& clause) {
  return clause.fields.empty() ? query.all_fields : clause.fields;
}

// Unescapes a term or field text: in each run of k backslashes, followed by
// `*` it becomes k/2 backslashes plus a literal `*` when k is odd; not
// followed by `*` it becomes ceil(k/2) backslashes.
std::string Unescape(std::string_view text);

}  // namespace vrim

#endif  // VRIM_QUERY_PARSER_H_
