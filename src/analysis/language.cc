// The language registry: code strings to Language objects, and the
// pipeline run shared by index building and querying.
#include "analysis/language.h"

#include <algorithm>

#include "analysis/languages/kinds.h"
#include "analysis/normalize.h"
#include "analysis/stemmers/stemmer_table.h"

namespace vrim {

const std::string_view kStandardSeparators(" \t\n\r\f\v\r\u00A0-", 10);

namespace {

struct BigramCode {
  std::string_view code;
  int classes[3];
  size_t class_count;
};

// Bigram codes and their script classes. The first three take precedence
// over the Snowball table, the rest come after it.
constexpr BigramCode kBigramCodes[] = {
    {"zh", {0}, 1},       {"ja", {0, 1, 2}, 3}, {"ko", {3, 0}, 2},
    {"th", {4}, 1},       {"lo", {5}, 1},       {"km", {6}, 1},
    {"my", {7}, 1},       {"bo", {8}, 1},
};
constexpr size_t kLeadingBigramCodes = 3;

LanguagePtr MakeBigram(const BigramCode& b) {
  return MakeBigramLanguage(
      std::string(b.code),
      std::vector<int>(b.classes, b.classes + b.class_count));
}

// Every Snowball code, in table order. A code resolves to the Snowball kind
// only once its row exists in SnowballTable(); this list serves the
// enumeration of supported codes.
constexpr std::string_view kSnowballCodes[] = {
    "ar", "ca", "cs", "da", "de", "el", "eo", "es", "et", "eu",
    "fa", "fi", "fr", "ga", "hi", "hu", "hy", "id", "it", "lt",
    "ne", "nl", "no", "pl", "pt", "ro", "ru", "sr", "st", "sv",
    "ta", "tr", "yi", "en-snowball", "en-porter", "en-lovins", "nl-porter",
};

const SnowballRow* FindSnowballRow(std::string_view code) {
  size_t count = 0;
  const SnowballRow* rows = SnowballTable(&count);
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].code == code && rows[i].stem != nullptr) return &rows[i];
  }
  return nullptr;
}

// Resolves one trimmed piece; sets *known when the registry knows it.
LanguagePtr ResolvePiece(std::string_view piece, bool* known) {
  *known = true;
  if (piece == "en") return MakeEnglishLanguage();
  for (size_t i = 0; i < kLeadingBigramCodes; ++i) {
    if (kBigramCodes[i].code == piece) return MakeBigram(kBigramCodes[i]);
  }
  if (const SnowballRow* row = FindSnowballRow(piece)) {
    return MakeSnowballLanguage(*row);
  }
  for (size_t i = kLeadingBigramCodes; i < std::size(kBigramCodes); ++i) {
    if (kBigramCodes[i].code == piece) return MakeBigram(kBigramCodes[i]);
  }
  *known = false;
  return MakeGenericLanguage(std::string(piece));
}

}  // namespace

std::vector<std::string> SplitLanguageCode(std::string_view code) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= code.size()) {
    size_t comma = code.find(',', start);
    if (comma == std::string_view::npos) comma = code.size();
    std::string_view piece =
        TrimWhiteSpace(code.substr(start, comma - start));
    if (!piece.empty() &&
        std::find(pieces.begin(), pieces.end(), piece) == pieces.end()) {
      pieces.emplace_back(piece);
    }
    start = comma + 1;
  }
  return pieces;
}

LanguageResolution ResolveLanguage(std::string_view code) {
  std::vector<std::string> pieces = SplitLanguageCode(code);
  LanguageResolution result;
  if (pieces.size() >= 2) {
    std::vector<LanguagePtr> members;
    result.fully_supported = true;
    for (const std::string& piece : pieces) {
      bool known;
      members.push_back(ResolvePiece(piece, &known));
      result.fully_supported = result.fully_supported && known;
    }
    result.language = MakeMultiLanguage(std::move(members));
    return result;
  }
  std::string_view piece = pieces.empty() ? std::string_view() : pieces[0];
  result.language = ResolvePiece(piece, &result.fully_supported);
  return result;
}

bool IsKnownLanguageCode(std::string_view piece) {
  piece = TrimWhiteSpace(piece);
  if (piece == "en" || FindSnowballRow(piece) != nullptr) return true;
  for (const BigramCode& b : kBigramCodes) {
    if (b.code == piece) return true;
  }
  return false;
}

bool HasTurkishMember(std::string_view code) {
  if (code.find(',') == std::string_view::npos) return false;
  size_t start = 0;
  while (start <= code.size()) {
    size_t comma = code.find(',', start);
    if (comma == std::string_view::npos) comma = code.size();
    if (TrimWhiteSpace(code.substr(start, comma - start)) == "tr") return true;
    start = comma + 1;
  }
  return false;
}

TokenList RunPipeline(const Language& language, TokenList tokens) {
  size_t kept = 0;
  for (size_t i = 0; i < tokens.size(); ++i) {
    Token& token = tokens[i];
    if (!language.trim(&token)) continue;
    if (language.is_stop_word(token.text)) continue;
    token.text = language.stem(token.text);
    if (kept != i) tokens[kept] = std::move(token);
    ++kept;
  }
  tokens.resize(kept);
  return tokens;
}

const std::vector<std::string>& SupportedLanguageCodes() {
  static const std::vector<std::string> codes = [] {
    std::vector<std::string> all = {"en"};
    for (std::string_view c : kSnowballCodes) all.emplace_back(c);
    for (const BigramCode& b : kBigramCodes) all.emplace_back(b.code);
    std::sort(all.begin(), all.end());
    return all;
  }();
  return codes;
}

}  // namespace vrim
