// The English language: default normalization, the generic tokenizer, the
// English stop words and the built-in Porter stemmer.
#include "analysis/languages/kinds.h"
#include "analysis/languages/porter.h"
#include "analysis/languages/stop_words.h"
#include "analysis/languages/trimmer.h"
#include "analysis/normalize.h"
#include "analysis/tokenizer.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

class EnglishLanguage final : public Language {
 public:
  Kind kind() const override { return Kind::kEnglish; }
  const std::string& code() const override { return code_; }

  bool uses_generic_tokenizer(bool* turkish) const override {
    *turkish = false;
    return true;
  }

  TokenList tokenize(std::string_view text) const override {
    return NormalizeAndTokenizeGeneric(text, false, separators_);
  }

  bool trim(Token* token) const override { return GenericTrim(token); }

  bool is_stop_word(std::string_view word) const override {
    // Lowercasing never reduces the number of code points, and no stop
    // word is longer than seven.
    if (word.empty() || word.size() > 28) return false;
    // ASCII words (nearly all) are lowercased on the stack.
    char buf[7];
    size_t n = 0;
    for (unsigned char c : word) {
      if (c >= 0x80) {
        if (CountCodePoints(word) > 7) return false;
        return IsEnglishStopWord(LowercaseDefault(word));
      }
      if (n == sizeof buf) return false;
      buf[n++] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
    }
    return IsEnglishStopWord(std::string_view(buf, n));
  }

  std::string stem(std::string_view word) const override {
    return PorterStem(word);
  }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  const std::string code_ = "en";
  const std::string separators_{kStandardSeparators};
  const std::vector<std::string> pipeline_ = {"trimmer", "stopWordFilter",
                                              "stemmer"};
};

}  // namespace

LanguagePtr MakeEnglishLanguage() {
  return std::make_shared<const EnglishLanguage>();
}

}  // namespace vrim
