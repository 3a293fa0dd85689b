// The language registry: resolving a language code to the analysis rules
// (normalization, tokenizer, trimmer, stop words, stemmer) that index and
// query text share.
//
// A Language is immutable once made and shared by reference counting
// between a builder, its indexes and every query; any thread may use it.
#ifndef VRIM_LANGUAGE_H_
#define VRIM_LANGUAGE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/token.h"

namespace vrim {

// The separator string every language reports: space, tab, LF, CR, FF, VT,
// CR again, no-break space, hyphen-minus (10 bytes, 8 distinct characters).
extern const std::string_view kStandardSeparators;

class Language {
 public:
  enum class Kind { kEnglish, kSnowball, kBigram, kGeneric, kMulti };

  virtual ~Language() = default;

  virtual Kind kind() const = 0;
  // The code as resolved ("en", "fr", "en,fr", an unknown code trimmed).
  virtual const std::string& code() const = 0;
  // Normalization followed by this language's tokenizer.
  // REQUIRES: `text` is valid UTF-8 (as for every text argument below).
  virtual TokenList tokenize(std::string_view text) const = 0;
  // The trimmer: may shorten the token and move its position. Returns false
  // when the token is to be dropped.
  virtual bool trim(Token* token) const = 0;
  virtual bool is_stop_word(std::string_view word) const = 0;
  virtual std::string stem(std::string_view word) const = 0;
  virtual const std::string& separators() const = 0;
  // The stage names recorded in every index and compared on loading.
  virtual const std::vector<std::string>& pipeline() const = 0;
  virtual bool is_bigram_char(char32_t cp) const = 0;

  // True when tokenize() is exactly the generic tokenizer over separators()
  // after the default normalization, or the Turkish one when `*turkish` is
  // set: callers may then cut tokens from the normalized text themselves.
  // False for every other tokenizer.
  virtual bool uses_generic_tokenizer(bool* turkish) const {
    *turkish = false;
    return false;
  }

  // True when tokenize() is exactly the bigram tokenizer (TokenizeBigram
  // over `*classes`, a BigramClassMask) and trim() is BigramTrim: callers
  // may then cut tokens from the normalized text themselves.
  virtual bool uses_bigram_tokenizer(uint32_t* classes) const {
    *classes = 0;
    return false;
  }

  // True when is_stop_word() is always false and stem() returns its word
  // unchanged: every trimmed token text is then its own term.
  virtual bool keeps_words() const { return false; }
};

using LanguagePtr = std::shared_ptr<const Language>;

struct LanguageResolution {
  LanguagePtr language;
  bool fully_supported = false;
};

// Resolves any string to a Language; never fails. Unknown codes resolve to
// the Generic kind and report fully_supported = false.
LanguageResolution ResolveLanguage(std::string_view code);

// Splits a code at commas, trims each piece of Unicode white space, drops
// empty pieces and later duplicates (exact comparison), keeping order.
std::vector<std::string> SplitLanguageCode(std::string_view code);

// True when a piece of `code` (trimmed) is recognised by the registry on
// its own: "en", a Snowball code or a bigram code.
bool IsKnownLanguageCode(std::string_view piece);

// True when `code` has a comma and one of its pieces, trimmed, is "tr".
bool HasTurkishMember(std::string_view code);

// Trimmer, stop-word filter and stemmer over `tokens`, in order. Surviving
// tokens keep their tokenizer ordinals.
TokenList RunPipeline(const Language& language, TokenList tokens);

// The 46 supported codes in ascending byte order.
const std::vector<std::string>& SupportedLanguageCodes();

}  // namespace vrim

#endif  // VRIM_LANGUAGE_H_
