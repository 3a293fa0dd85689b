// A bigram language ("zh", "ja", "ko", "th", "lo", "km", "my", "bo"): runs
// of its scripts become overlapping bigrams; no stop words, no stemming and
// no recorded pipeline stages.
#include "analysis/languages/cjk.h"
#include "analysis/languages/kinds.h"
#include "analysis/tokenizer.h"

namespace vrim {

namespace {

class BigramLanguage final : public Language {
 public:
  BigramLanguage(std::string code, const std::vector<int>& classes)
      : code_(std::move(code)), mask_(BigramClassMask(classes)) {}

  Kind kind() const override { return Kind::kBigram; }
  const std::string& code() const override { return code_; }

  TokenList tokenize(std::string_view text) const override {
    return TokenizeBigram(text, mask_);
  }

  bool uses_bigram_tokenizer(uint32_t* classes) const override {
    *classes = mask_;
    return true;
  }

  bool trim(Token* token) const override { return BigramTrim(token); }
  bool is_stop_word(std::string_view) const override { return false; }
  std::string stem(std::string_view word) const override {
    return std::string(word);
  }
  bool keeps_words() const override { return true; }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t cp) const override {
    Script s = ScriptClass(cp);
    return s != kOtherScript && (mask_ & (1u << s));
  }

 private:
  const std::string code_;
  const uint32_t mask_;
  const std::string separators_{kStandardSeparators};
  const std::vector<std::string> pipeline_;
};

}  // namespace

LanguagePtr MakeBigramLanguage(std::string code, std::vector<int> classes) {
  return std::make_shared<const BigramLanguage>(std::move(code), classes);
}

}  // namespace vrim
