// Test support for the query side: a small stand-in language and a direct
// index assembler that fills IndexData without the builder, so parser and
// search tests control every stored number.
#ifndef VRIM_TESTS_SEARCH_TESTING_H_
#define VRIM_TESTS_SEARCH_TESTING_H_

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "analysis/normalize.h"
#include "analysis/utf8.h"
#include "index/index.h"
#include "index/positions.h"

namespace vrim::testing {

// Lowercases, splits at the standard separators, trims ASCII punctuation,
// drops "the", "a" and "of", and stems by removing one final "s" from words
// of four or more letters.
class TestLanguage : public Language {
 public:
  explicit TestLanguage(std::string code = "test") : code_(std::move(code)) {}

  Kind kind() const override { return Kind::kGeneric; }
  const std::string& code() const override { return code_; }

  TokenList tokenize(std::string_view text) const override {
    std::vector<char32_t> cps;
    DecodeUtf8(NormalizeDefault(text), &cps);
    TokenList tokens;
    size_t i = 0;
    while (i < cps.size()) {
      while (i < cps.size() && IsSeparator(cps[i])) ++i;
      const size_t start = i;
      while (i < cps.size() && !IsSeparator(cps[i])) ++i;
      if (i > start) {
        tokens.emplace_back(EncodeUtf8(cps.data() + start, i - start), start,
                            i - start, tokens.size());
      }
    }
    return tokens;
  }

  bool trim(Token* token) const override {
    std::string& t = token->text;
    size_t lead = 0;
    while (lead < t.size() && IsPunct(t[lead])) ++lead;
    size_t trail = 0;
    while (trail < t.size() - lead && IsPunct(t[t.size() - 1 - trail])) {
      ++trail;
    }
    t = t.substr(lead, t.size() - lead - trail);
    token->metadata.start += lead;
    token->metadata.length = CountCodePoints(t);
    return !t.empty();
  }

  bool is_stop_word(std::string_view word) const override {
    return word == "the" || word == "a" || word == "of";
  }

  std::string stem(std::string_view word) const override {
    if (word.size() >= 4 && word.back() == 's') word.remove_suffix(1);
    return std::string(word);
  }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  static bool IsPunct(char c) {
    return c == '.' || c == ',' || c == '!' || c == '?' || c == '(' ||
           c == ')' || c == '"';
  }
  static bool IsSeparator(char32_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' ||
           c == '\v' || c == 0xA0 || c == '-';
  }

  std::string code_;
  std::string separators_ = " \t\n\r\f\v\r\xC2\xA0-";
  std::vector<std::string> pipeline_ = {"trimmer", "stopWordFilter",
                                        "stemmer"};
};

struct TestDoc {
  std::string ref;
  std::vector<std::string> texts;  // one per field
  double boost = 1.0;
};

struct TestCorpus {
  std::vector<std::string> fields;
  std::vector<double> field_boosts;  // empty: all 1.0
  std::vector<TestDoc> docs;         // distinct refs, any order
  double k1 = 1.2;
  double b = 0.75;
  bool positions = true;
  int64_t document_count = -1;  // the N of scoring; -1: the number of docs
};

// Runs the language's analysis over every field and assembles the index
// data directly.
inline IndexPtr AssembleIndex(const TestCorpus& corpus, LanguagePtr language) {
  struct Occurrences {
    uint32_t tf = 0;
    std::vector<Position> positions;
  };
  // term -> (field, doc) -> occurrences
  std::map<std::string, std::map<std::pair<uint32_t, uint32_t>, Occurrences>>
      inverted;

  std::vector<const TestDoc*> docs;
  for (const TestDoc& doc : corpus.docs) docs.push_back(&doc);
  std::sort(docs.begin(), docs.end(),
            [](const TestDoc* x, const TestDoc* y) { return x->ref < y->ref; });

  IndexData data;
  data.language = language->code();
  data.pipeline = language->pipeline();
  data.fields = corpus.fields;
  data.field_boosts = corpus.field_boosts;
  data.field_boosts.resize(corpus.fields.size(), 1.0);
  data.k1 = corpus.k1;
  data.b = corpus.b;
  data.document_count = corpus.document_count >= 0
                            ? static_cast<uint64_t>(corpus.document_count)
                            : docs.size();
  for (uint32_t d = 0; d < docs.size(); ++d) {
    data.refs.push_back(docs[d]->ref);
    data.doc_boosts.push_back(docs[d]->boost);
    for (uint32_t f = 0; f < corpus.fields.size(); ++f) {
      const std::string text =
          f < docs[d]->texts.size() ? docs[d]->texts[f] : std::string();
      uint64_t length = 0;
      for (Token& token : language->tokenize(text)) {
        if (!language->trim(&token) || language->is_stop_word(token.text)) {
          continue;
        }
        token.text = language->stem(token.text);
        ++length;
        Occurrences& occ = inverted[token.text][{f, d}];
        ++occ.tf;
        occ.positions.push_back(
            Position{token.metadata.start, token.metadata.length});
      }
      data.field_lengths.push_back(length);
    }
  }
  data.term_postings.push_back(0);
  for (auto& [term, postings] : inverted) {
    data.terms.push_back(term);
    for (auto& [key, occ] : postings) {
      uint32_t position_count = 0;
      if (corpus.positions) {
        position_count = static_cast<uint32_t>(occ.positions.size());
        EncodePositions(&occ.positions, &data.positions);
      }
      EXPECT_TRUE(data.postings.push_back(key.first, key.second, occ.tf,
                                          position_count));
    }
    data.term_postings.push_back(data.postings.size());
  }
  return Index::Make(std::move(data), std::move(language));
}

// A random query over `words` (the corpus vocabulary) and `fields`: one to
// four clauses, each optional, required or prohibited, sometimes scoped to
// a field, as a plain, prefix, suffix, fuzzy, stemmed or several-term
// clause (or a word no document has), sometimes boosted.
inline std::string RandomQuery(std::mt19937& rng,
                               const std::vector<std::string>& fields,
                               std::span<const char* const> words) {
  const auto word_at = [&] { return std::string(words[rng() % words.size()]); };
  std::string query;
  const int clauses = std::uniform_int_distribution<int>(1, 4)(rng);
  for (int c = 0; c < clauses; ++c) {
    if (c) query += " ";
    const int presence = rng() % 10;
    if (presence < 2) query += "+";
    if (presence >= 8) query += "-";
    if (rng() % 5 == 0) query += fields[rng() % fields.size()] + ":";
    std::string word = rng() % 8 == 0 ? "zz" : word_at();
    const bool ascii = std::all_of(word.begin(), word.end(),
                                   [](char c) { return (c & 0x80) == 0; });
    switch (rng() % 8) {
      case 0:
        query += (ascii ? word.substr(0, 1 + rng() % word.size()) : word) + "*";
        break;
      case 1:
        query += "*" + (ascii ? word.substr(rng() % word.size()) : word);
        break;
      case 2:
        query += word + "~" + std::to_string(rng() % 3);
        break;
      case 3:
        query += word + "s";  // stemmed back where the word is long
        break;
      case 4:  // one clause, several query terms
        query += word + "\\ " + word_at() + "s";
        break;
      default:
        query += word;
    }
    if (rng() % 5 == 0) {
      const char* const boosts[] = {"0", "0.5", "2", "10"};
      query += std::string("^") + boosts[rng() % 4];
    }
  }
  return query;
}

}  // namespace vrim::testing

#endif  // VRIM_TESTS_SEARCH_TESTING_H_
