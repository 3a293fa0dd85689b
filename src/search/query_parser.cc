#include "search/query_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "analysis/normalize.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

enum class LexemeKind { kField, kTerm, kEditDistance, kBoost, kPresence };

const char* KindName(LexemeKind kind) {
  switch (kind) {
    case LexemeKind::kField:
      return "Field";
    case LexemeKind::kTerm:
      return "Term";
    case LexemeKind::kEditDistance:
      return "EditDistance";
    case LexemeKind::kBoost:
      return "Boost";
    case LexemeKind::kPresence:
      return "Presence";
  }
  return "";
}

struct Lexeme {
  std::string text;
  uint64_t start;
  uint64_t end;
  LexemeKind kind;
  bool phrase = false;  // a quoted run (kind kTerm)
  // What is wrong with a phrase, reported when the parser reaches it.
  std::string problem;
  uint64_t problem_start = 0;
  uint64_t problem_end = 0;
};

bool IsAsciiDigit(char32_t c) { return c >= '0' && c <= '9'; }

bool IsAsciiAlnum(char32_t c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Cuts the query into lexemes. Never fails: every oddity is left for the
// parser to report.
class Lexer {
 public:
  Lexer(std::string_view query, std::string_view separators, bool phrases)
      : phrases_(phrases) {
    DecodeUtf8(query, &cps_);
    DecodeUtf8(separators, &separators_);
  }

  std::vector<Lexeme> Run() {
    const size_t n = cps_.size();
    while (true) {
      // LexText.
      if (pos_ >= n) {
        if (pos_ != start_) Emit(LexemeKind::kTerm);
        return std::move(lexemes_);
      }
      const size_t i = pos_;
      const char32_t ch = cps_[pos_++];
      if (phrases_ && ch == '"' && i == start_) {
        LexPhrase();
      } else if (ch == '\\' && pos_ < n) {
        escapes_.push_back(i);
        ++pos_;
      } else if (ch == ':') {
        // LexField: the lexeme ends before the colon, which is skipped.
        --pos_;
        Emit(LexemeKind::kField);
        Skip();
      } else if (ch == '^' || ch == '~') {
        pos_ = i;
        if (i != start_) Emit(LexemeKind::kTerm);
        if (ch == '^') {
          LexBoost();
        } else {
          LexEditDistance();
        }
      } else if ((ch == '+' || ch == '-') && i == start_) {
        Emit(LexemeKind::kPresence);
      } else if (IsSeparator(ch)) {
        // LexTerm.
        if (pos_ - start_ > 1) {
          --pos_;
          Emit(LexemeKind::kTerm);
        }
        Skip();
        if (pos_ >= n) return std::move(lexemes_);
      }
    }
  }

 private:
  bool IsSeparator(char32_t ch) const {
    for (char32_t s : separators_) {
      if (s == ch) return true;
    }
    return false;
  }

  void Skip() {
    if (pos_ == start_) ++pos_;
    start_ = pos_;
  }

  void Emit(LexemeKind kind) {
    // Escape backslashes are dropped unless they escape `\` or `*`, which
    // stay as written for the wildcard test and later unescaping.
    std::string text;
    size_t next_escape = 0;
    for (size_t k = start_; k < pos_; ++k) {
      if (next_escape < escapes_.size() && escapes_[next_escape] == k) {
        ++next_escape;
        const char32_t escaped = k + 1 < cps_.size() ? cps_[k + 1] : 0;
        if (escaped != '\\' && escaped != '*') continue;
      }
      AppendUtf8(cps_[k], &text);
    }
    Lexeme& lexeme = lexemes_.emplace_back();
    lexeme.text = std::move(text);
    lexeme.start = start_;
    lexeme.end = pos_;
    lexeme.kind = kind;
    escapes_.clear();
    start_ = pos_;
  }

  // A quoted run from the opening quote at start_ to the closing one, a
  // backslash making the next character ordinary. Wildcards, fuzzy marks
  // and a missing closing quote are recorded as the lexeme's problem.
  void LexPhrase() {
    const size_t n = cps_.size();
    Lexeme lexeme{};
    lexeme.start = start_;
    lexeme.kind = LexemeKind::kTerm;
    lexeme.phrase = true;
    while (pos_ < n && cps_[pos_] != '"') {
      const char32_t c = cps_[pos_];
      if (c == '\\' && pos_ + 1 < n) {
        AppendUtf8(cps_[pos_ + 1], &lexeme.text);
        pos_ += 2;
        continue;
      }
      if ((c == '*' || c == '~') && lexeme.problem.empty()) {
        lexeme.problem = c == '*' ? "a phrase cannot hold a wildcard term"
                                  : "a phrase cannot hold a fuzzy term";
        WordAround(pos_, lexeme.start + 1, &lexeme.problem_start,
                   &lexeme.problem_end);
      }
      AppendUtf8(c, &lexeme.text);
      ++pos_;
    }
    if (pos_ < n) {
      ++pos_;  // the closing quote
    } else {
      lexeme.problem = "expecting '\"' to close the phrase, found nothing";
      lexeme.problem_start = lexeme.start;
      lexeme.problem_end = n;
    }
    lexeme.end = pos_;
    lexemes_.push_back(std::move(lexeme));
    escapes_.clear();
    start_ = pos_;
  }

  // The span of the separator-free run around `at`, not before `first`.
  void WordAround(size_t at, size_t first, uint64_t* start,
                  uint64_t* end) const {
    size_t b = at;
    while (b > first && !IsSeparator(cps_[b - 1]) && cps_[b - 1] != '"') --b;
    size_t e = at;
    while (e < cps_.size() && !IsSeparator(cps_[e]) && cps_[e] != '"') ++e;
    *start = b;
    *end = e;
  }

  void LexEditDistance() {
    Skip();
    const size_t n = cps_.size();
    while (pos_ < n && IsAsciiDigit(cps_[pos_])) ++pos_;
    ExtendWord();
    Emit(LexemeKind::kEditDistance);
  }

  void LexBoost() {
    Skip();
    const size_t n = cps_.size();
    bool seen_dot = false;
    while (pos_ < n) {
      const char32_t c = cps_[pos_];
      if (IsAsciiDigit(c)) {
        ++pos_;
      } else if (c == '.' && !seen_dot) {
        seen_dot = true;
        ++pos_;
      } else if (c == 'e' || c == 'E') {
        ++pos_;
        if (pos_ < n && (cps_[pos_] == '+' || cps_[pos_] == '-')) ++pos_;
        while (pos_ < n && IsAsciiDigit(cps_[pos_])) ++pos_;
      } else {
        break;
      }
    }
    ExtendWord();
    Emit(LexemeKind::kBoost);
  }

  void ExtendWord() {
    const size_t n = cps_.size();
    while (pos_ < n && (IsAsciiAlnum(cps_[pos_]) || cps_[pos_] == '.' ||
                        cps_[pos_] == '_')) {
      ++pos_;
    }
  }

  const bool phrases_;
  std::vector<char32_t> cps_;
  std::vector<char32_t> separators_;
  size_t pos_ = 0;
  size_t start_ = 0;
  std::vector<size_t> escapes_;
  std::vector<Lexeme> lexemes_;
};

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

enum class Conversion { kDone, kOutOfRange, kInvalid };

// The correctly rounded value of `body`, an unsigned decimal of the form
// ParseDouble accepts, independent of the process's locale.
Conversion ConvertDecimal(std::string_view body, double* out) {
#if defined(_LIBCPP_VERSION) && _LIBCPP_VERSION < 200000
  // This C++ library has no floating-point from_chars (macOS and FreeBSD
  // systems): a stream in the classic locale converts with the C library's
  // strtod, as correctly rounded, and fails exactly when that reports a
  // range error, since the grammar was checked before. A range error with
  // a subnormal result is a value, as from_chars gives it.
  std::istringstream in{std::string(body)};
  in.imbue(std::locale::classic());
  in >> *out;
  if (in.fail()) {
    const bool subnormal = std::isfinite(*out) && *out != 0.0 &&
                           *out < std::numeric_limits<double>::min();
    return subnormal ? Conversion::kDone : Conversion::kOutOfRange;
  }
  return in.peek() == std::char_traits<char>::eof() ? Conversion::kDone
                                                    : Conversion::kInvalid;
#else
  const auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(),
                                         *out, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) return Conversion::kOutOfRange;
  if (ec != std::errc() || end != body.data() + body.size()) {
    return Conversion::kInvalid;
  }
  return Conversion::kDone;
#endif
}

// Decimal floating point: digits with an optional fraction (at least one
// digit in all), an optional exponent, or the words for infinity and
// not-a-number in any case. Out-of-range values saturate to infinity or
// zero as a correctly rounded conversion would.
bool ParseDouble(std::string_view text, double* value) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (EqualsIgnoringAsciiCase(body, "inf") ||
      EqualsIgnoringAsciiCase(body, "infinity")) {
    *value = negative ? -HUGE_VAL : HUGE_VAL;
    return true;
  }
  if (EqualsIgnoringAsciiCase(body, "nan")) {
    *value = std::nan("");
    return true;
  }
  size_t i = 0;
  size_t digits = 0;
  // Decimal exponent of the leading non-zero digit, for out-of-range
  // classification.
  int64_t magnitude = 0;
  bool seen_nonzero = false;
  int64_t int_digits_after_first = 0;
  while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
    if (seen_nonzero) ++int_digits_after_first;
    if (body[i] != '0' && !seen_nonzero) seen_nonzero = true;
    ++digits;
    ++i;
  }
  if (seen_nonzero) magnitude = int_digits_after_first;
  if (i < body.size() && body[i] == '.') {
    ++i;
    int64_t fraction_index = 0;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
      ++fraction_index;
      if (body[i] != '0' && !seen_nonzero) {
        seen_nonzero = true;
        magnitude = -fraction_index;
      }
      ++digits;
      ++i;
    }
  }
  if (digits == 0) return false;
  int64_t exponent = 0;
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
      exponent_negative = body[i] == '-';
      ++i;
    }
    const size_t exponent_start = i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
      if (exponent < 1000000000) exponent = exponent * 10 + (body[i] - '0');
      ++i;
    }
    if (i == exponent_start) return false;
    if (exponent_negative) exponent = -exponent;
  }
  if (i != body.size()) return false;
  double parsed = 0.0;
  switch (ConvertDecimal(body, &parsed)) {
    case Conversion::kOutOfRange:
      parsed = magnitude + exponent > 0 ? HUGE_VAL : 0.0;
      break;
    case Conversion::kInvalid:
      return false;
    case Conversion::kDone:
      break;
  }
  *value = negative ? -parsed : parsed;
  return true;
}

// A `*` at byte `i` is escaped when an odd run of backslashes precedes it.
bool StarIsEscaped(std::string_view text, size_t i) {
  size_t run = 0;
  while (run < i && text[i - 1 - run] == '\\') ++run;
  return run % 2 == 1;
}

bool HasUnescapedStar(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '*' && !StarIsEscaped(text, i)) return true;
  }
  return false;
}

// The names a `field:` prefix may take. Few names are scanned; a table
// is made only for many.
class FieldNames {
 public:
  static constexpr size_t kScanned = 8;

  // Keeps the first of each name of `fields` in `*unique`.
  // REQUIRES: `*unique` outlives this and is not changed while it lives.
  FieldNames(const std::vector<std::string>& fields,
             std::vector<std::string>* unique)
      : unique_(*unique) {
    if (fields.size() > kScanned) table_.reserve(fields.size());
    for (const std::string& field : fields) {
      if (fields.size() > kScanned ? table_.insert(field).second
                                   : !Scan(field)) {
        unique->push_back(field);
      }
    }
  }

  bool contains(std::string_view name) const {
    return table_.empty() ? Scan(name) : table_.contains(name);
  }

 private:
  bool Scan(std::string_view name) const {
    return std::find(unique_.begin(), unique_.end(), name) != unique_.end();
  }

  const std::vector<std::string>& unique_;
  std::unordered_set<std::string_view> table_;
};

// The parser's state machine over the finished lexeme list.
class Parser {
 public:
  enum State { kClause, kPresence, kField, kTerm, kEditDistance, kBoost };

  // REQUIRES: `field_names` holds the names of query->all_fields and
  // outlives the parser.
  Parser(std::vector<Lexeme> lexemes, const Language& language,
         const FieldNames& field_names, Query* query)
      : lexemes_(std::move(lexemes)),
        language_(language),
        field_names_(field_names),
        query_(query) {}

  bool Run(ParseError* error) {
    error_ = error;
    State state = kClause;
    while (true) {
      switch (state) {
        case kClause: {
          const Lexeme* next = Peek();
          if (next == nullptr) return true;
          switch (next->kind) {
            case LexemeKind::kField:
              state = kField;
              break;
            case LexemeKind::kTerm:
              state = kTerm;
              break;
            case LexemeKind::kPresence:
              state = kPresence;
              break;
            default:
              return Fail(
                  std::string("expected either a field or a term, found ") +
                      KindName(next->kind),
                  next->start, next->end);
          }
          break;
        }
        case kPresence: {
          const Lexeme& lexeme = lexemes_[cursor_++];
          clause_.presence =
              lexeme.text == "+" ? Presence::kRequired : Presence::kProhibited;
          const Lexeme* next = Peek();
          if (next == nullptr) {
            return Fail("expecting term or field, found nothing", lexeme.start,
                        lexeme.end);
          }
          if (next->kind == LexemeKind::kField) {
            state = kField;
          } else if (next->kind == LexemeKind::kTerm) {
            state = kTerm;
          } else {
            return Fail(std::string("expecting term or field, found ") +
                            KindName(next->kind),
                        next->start, next->end);
          }
          break;
        }
        case kField: {
          const Lexeme& lexeme = lexemes_[cursor_++];
          std::string name = Unescape(lexeme.text);
          if (!field_names_.contains(name)) {
            std::string message = "unrecognised field '" + name +
                                   "', possible fields: ";
            for (size_t i = 0; i < query_->all_fields.size(); ++i) {
              if (i > 0) message += ", ";
              message += "'" + query_->all_fields[i] + "'";
            }
            return Fail(message, lexeme.start, lexeme.end);
          }
          clause_.fields.assign(1, std::move(name));
          const Lexeme* next = Peek();
          if (next == nullptr) {
            return Fail("expecting term, found nothing", lexeme.start,
                        lexeme.end);
          }
          if (next->kind != LexemeKind::kTerm) {
            return Fail(std::string("expecting term, found ") +
                            KindName(next->kind),
                        next->start, next->end);
          }
          state = kTerm;
          break;
        }
        case kTerm: {
          const Lexeme& lexeme = lexemes_[cursor_++];
          if (!lexeme.problem.empty()) {
            return Fail(lexeme.problem, lexeme.problem_start,
                        lexeme.problem_end);
          }
          clause_.term = NormalizeTerm(lexeme.text);
          clause_.phrase = lexeme.phrase;
          if (!Next(&state)) return true;
          break;
        }
        case kEditDistance: {
          const Lexeme& lexeme = lexemes_[cursor_++];
          uint64_t distance = 0;
          if (clause_.phrase) {
            if (!ParseUnsigned(lexeme.text, &distance)) {
              return FailNumber("phrase slop must be numeric", lexeme);
            }
            if (distance > kMaxPhraseSlop) {
              return Fail("phrase slop must be at most " +
                              std::to_string(kMaxPhraseSlop),
                          lexeme.start, lexeme.end);
            }
            clause_.slop = static_cast<uint32_t>(distance);
            if (!Next(&state)) return true;
            break;
          }
          if (!ParseUnsigned(lexeme.text, &distance)) {
            return FailNumber("edit distance must be numeric", lexeme);
          }
          clause_.edit_distance = distance;
          if (!Next(&state)) return true;
          break;
        }
        case kBoost: {
          const Lexeme& lexeme = lexemes_[cursor_++];
          double boost = 0.0;
          if (!ParseDouble(lexeme.text, &boost)) {
            return FailNumber("boost must be numeric", lexeme);
          }
          if (!std::isfinite(boost)) {
            return FailNumber("boost must be finite", lexeme);
          }
          clause_.boost = boost;
          if (!Next(&state)) return true;
          break;
        }
      }
    }
  }

 private:
  // Chooses the state after a term, edit distance or boost. Returns false
  // when the lexemes are exhausted (the clause is then finished).
  bool Next(State* state) {
    const Lexeme* next = Peek();
    if (next == nullptr) {
      Finish();
      return false;
    }
    switch (next->kind) {
      case LexemeKind::kTerm:
        Finish();
        *state = kTerm;
        break;
      case LexemeKind::kField:
        Finish();
        *state = kField;
        break;
      case LexemeKind::kPresence:
        Finish();
        *state = kPresence;
        break;
      case LexemeKind::kEditDistance:
        *state = kEditDistance;
        break;
      case LexemeKind::kBoost:
        *state = kBoost;
        break;
    }
    return true;
  }

  const Lexeme* Peek() const {
    return cursor_ < lexemes_.size() ? &lexemes_[cursor_] : nullptr;
  }

  void Finish() {
    AddClause(query_, std::move(clause_));
    clause_ = Clause();
  }

  std::string NormalizeTerm(const std::string& text) const {
    const std::string& code = language_.code();
    if (TrimWhiteSpace(code) == "tr") return NormalizeTurkish(text);
    if (HasTurkishMember(code)) return text;
    return NormalizeDefault(text);
  }

  bool Fail(std::string message, uint64_t start, uint64_t end) {
    error_->message = std::move(message);
    error_->start = start;
    error_->end = end;
    return false;
  }

  // An empty number lexeme's span is widened to cover its `~` or `^`.
  bool FailNumber(const char* message, const Lexeme& lexeme) {
    uint64_t start = lexeme.start;
    if (lexeme.text.empty() && start > 0) --start;
    return Fail(message, start, lexeme.end);
  }

  std::vector<Lexeme> lexemes_;
  size_t cursor_ = 0;
  const Language& language_;
  const FieldNames& field_names_;
  Query* query_;
  Clause clause_;
  ParseError* error_ = nullptr;
};

}  // namespace

bool ParseQuery(std::string_view query, const std::vector<std::string>& fields,
                const Language& language, Query* out, ParseError* error,
                const ParseOptions& options) {
  *out = Query();
  out->all_fields.reserve(fields.size());
  const FieldNames names(fields, &out->all_fields);
  std::vector<Lexeme> lexemes = Lexer(query, language.separators(), options.phrases).Run();
  return Parser(std::move(lexemes), language, names, out).Run(error);
}

void AddClause(Query* query, Clause clause) {
  if (!clause.fields.empty()) {
    std::vector<std::string> unique;
    for (std::string& field : clause.fields) {
      bool seen = false;
      for (const std::string& kept : unique) {
        if (kept == field) seen = true;
      }
      if (!seen) unique.push_back(std::move(field));
    }
    clause.fields = std::move(unique);
  }

  if (!std::isfinite(clause.boost)) {
    clause.boost = 1.0;
  } else if (clause.boost < 0.0) {
    clause.boost = 0.0;
  } else if (clause.boost > 1000000.0) {
    clause.boost = 1000000.0;
  }

  std::string& term = clause.term;
  if (!term.empty() && !clause.phrase) {
    if (clause.wildcard_leading && term.front() != '*') term = "*" + term;
    if (clause.wildcard_trailing &&
        !(term.back() == '*' && !StarIsEscaped(term, term.size() - 1))) {
      term.push_back('*');
    }
    clause.wildcard = HasUnescapedStar(term);
    if (clause.wildcard || term.find("\\*") != std::string::npos) {
      clause.use_pipeline = false;
    }
  }
  query->clauses.push_back(std::move(clause));
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '\\') {
      out.push_back(text[i++]);
      continue;
    }
    size_t run = 0;
    while (i < text.size() && text[i] == '\\') {
      ++run;
      ++i;
    }
    if (i < text.size() && text[i] == '*') {
      out.append(run / 2, '\\');
      if (run % 2 == 1) {
        out.push_back('*');
        ++i;
      }
    } else {
      out.append((run + 1) / 2, '\\');
    }
  }
  return out;
}

}  // namespace vrim
