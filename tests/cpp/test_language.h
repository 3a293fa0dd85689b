// A small Language for unit tests that must not depend on the real
// analysis rules: splits on spaces, lower-cases ASCII, records positions in
// code points. Its pipeline drops the stop word "the", stems by removing one
// trailing "s" from words longer than three characters, and trims nothing
// but empty words.
//
// A word starting with "#" comes out of the tokenizer without position
// metadata, to exercise consumers that must cope with that.
#ifndef VRIM_TESTS_CPP_TEST_LANGUAGE_H_
#define VRIM_TESTS_CPP_TEST_LANGUAGE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "analysis/token.h"
#include "analysis/utf8.h"

namespace vrim::testing {

class SpaceLanguage : public Language {
 public:
  explicit SpaceLanguage(std::string code = "test") : code_(std::move(code)) {}

  Kind kind() const override { return Kind::kGeneric; }
  const std::string& code() const override { return code_; }

  TokenList tokenize(std::string_view text) const override {
    TokenList out;
    uint64_t cp = 0;  // code point offset of the cursor
    size_t i = 0;
    while (i < text.size()) {
      if (text[i] == ' ') {
        ++i;
        ++cp;
        continue;
      }
      size_t j = i;
      while (j < text.size() && text[j] != ' ') ++j;
      std::string word(text.substr(i, j - i));
      for (char& c : word) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      uint64_t len = CountCodePoints(word);
      Token t(word, cp, len, out.size());
      if (word[0] == '#') t.metadata.has_position = false;
      out.push_back(std::move(t));
      cp += len;
      i = j;
    }
    return out;
  }

  bool trim(Token* token) const override { return !token->text.empty(); }
  bool is_stop_word(std::string_view word) const override {
    return word == "the";
  }
  std::string stem(std::string_view word) const override {
    if (word.size() > 3 && word.back() == 's') {
      return std::string(word.substr(0, word.size() - 1));
    }
    return std::string(word);
  }
  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  std::string code_;
  std::string separators_ = " ";
  std::vector<std::string> pipeline_ = {"trimmer", "stopWordFilter",
                                        "stemmer"};
};

inline LanguagePtr MakeSpaceLanguage() {
  return std::make_shared<const SpaceLanguage>();
}

}  // namespace vrim::testing

#endif  // VRIM_TESTS_CPP_TEST_LANGUAGE_H_
