// The Generic language of unknown codes: normalization and the generic
// tokenizer, the trimmer, and neither stop words nor stemming.
#include "analysis/languages/kinds.h"
#include "analysis/languages/trimmer.h"
#include "analysis/tokenizer.h"

namespace vrim {

namespace {

class GenericLanguage final : public Language {
 public:
  explicit GenericLanguage(std::string code)
      : code_(std::move(code)), turkish_(code_ == "tr") {}

  Kind kind() const override { return Kind::kGeneric; }
  const std::string& code() const override { return code_; }

  bool uses_generic_tokenizer(bool* turkish) const override {
    *turkish = turkish_;
    return true;
  }

  TokenList tokenize(std::string_view text) const override {
    return NormalizeAndTokenizeGeneric(text, turkish_, separators_);
  }

  bool trim(Token* token) const override { return GenericTrim(token); }
  bool is_stop_word(std::string_view) const override { return false; }
  std::string stem(std::string_view word) const override {
    return std::string(word);
  }
  bool keeps_words() const override { return true; }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  const std::string code_;
  const bool turkish_;
  const std::string separators_{kStandardSeparators};
  const std::vector<std::string> pipeline_ = {"trimmer", "stopWordFilter"};
};

}  // namespace

LanguagePtr MakeGenericLanguage(std::string code) {
  return std::make_shared<const GenericLanguage>(std::move(code));
}

}  // namespace vrim
