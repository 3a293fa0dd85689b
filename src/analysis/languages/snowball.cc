// A Snowball language: normalization (Turkish rules for "tr"), the generic
// tokenizer, no stop words, and the code's Snowball stemmer applied to the
// lowercased word.
#include "analysis/languages/kinds.h"
#include "analysis/languages/trimmer.h"
#include "analysis/normalize.h"
#include "analysis/tokenizer.h"

namespace vrim {

namespace {

class SnowballLanguage final : public Language {
 public:
  explicit SnowballLanguage(const SnowballRow& row)
      : code_(row.code),
        turkish_(row.code == "tr"),
        stem_(row.stem),
        pipeline_{"trimmer", "stopWordFilter", "stemmer", code_} {}

  Kind kind() const override { return Kind::kSnowball; }
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
    return stem_(turkish_ ? LowercaseTurkish(word) : LowercaseDefault(word));
  }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }
  bool is_bigram_char(char32_t) const override { return false; }

 private:
  const std::string code_;
  const bool turkish_;
  const StemFunction stem_;
  const std::string separators_{kStandardSeparators};
  const std::vector<std::string> pipeline_;
};

}  // namespace

LanguagePtr MakeSnowballLanguage(const SnowballRow& row) {
  return std::make_shared<const SnowballLanguage>(row);
}

}  // namespace vrim
