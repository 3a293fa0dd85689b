// A multi-language code ("en,fr"): every member tokenizes each
// separator-delimited segment of the raw text its own way; the pipeline
// stages consult the members in order.
#include <algorithm>
#include <unordered_set>

#include "analysis/languages/kinds.h"
#include "analysis/normalize.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

class MultiLanguage final : public Language {
 public:
  explicit MultiLanguage(std::vector<LanguagePtr> members)
      : members_(std::move(members)) {
    for (size_t i = 0; i < members_.size(); ++i) {
      if (i) code_ += ',';
      code_ += members_[i]->code();
    }
    // Union of the separator characters in order of first appearance.
    std::vector<char32_t> seen;
    for (const LanguagePtr& m : members_) {
      const std::string& s = m->separators();
      const char* p = s.data();
      const char* end = p + s.size();
      while (p < end) {
        char32_t cp = NextCodePoint(&p);
        if (std::find(seen.begin(), seen.end(), cp) == seen.end()) {
          seen.push_back(cp);
          AppendUtf8(cp, &separators_);
        }
      }
    }
    separator_set_ = seen;
    for (const LanguagePtr& m : members_) {
      for (const std::string& stage : m->pipeline()) pipeline_.push_back(stage);
    }
    std::sort(pipeline_.begin(), pipeline_.end());
    pipeline_.erase(std::unique(pipeline_.begin(), pipeline_.end()),
                    pipeline_.end());
  }

  Kind kind() const override { return Kind::kMulti; }
  const std::string& code() const override { return code_; }

  TokenList tokenize(std::string_view text) const override;

  bool trim(Token* token) const override {
    for (const LanguagePtr& m : members_) {
      Token copy = *token;
      if (m->trim(&copy)) {
        *token = std::move(copy);
        return true;
      }
    }
    return false;
  }

  bool is_stop_word(std::string_view word) const override {
    for (const LanguagePtr& m : members_) {
      if (!m->is_stop_word(word)) return false;
    }
    return true;
  }

  std::string stem(std::string_view word) const override {
    for (const LanguagePtr& m : members_) {
      std::string s = m->stem(word);
      if (s != word) return s;
    }
    return std::string(word);
  }

  const std::string& separators() const override { return separators_; }
  const std::vector<std::string>& pipeline() const override {
    return pipeline_;
  }

  bool is_bigram_char(char32_t cp) const override {
    for (const LanguagePtr& m : members_) {
      if (m->is_bigram_char(cp)) return true;
    }
    return false;
  }

 private:
  bool IsSeparator(char32_t cp) const {
    return std::find(separator_set_.begin(), separator_set_.end(), cp) !=
           separator_set_.end();
  }

  std::vector<LanguagePtr> members_;
  std::string code_;
  std::string separators_;
  std::vector<char32_t> separator_set_;
  std::vector<std::string> pipeline_;
};

// Identity of a collected token for duplicate removal: text and position.
struct TokenKeyHash {
  const TokenList* tokens;
  size_t operator()(size_t i) const {
    const Token& t = (*tokens)[i];
    size_t h = std::hash<std::string>()(t.text);
    return h ^ (t.metadata.start * 0x9E3779B97F4A7C15ull) ^
           (t.metadata.length << 17);
  }
};

struct TokenKeyEqual {
  const TokenList* tokens;
  bool operator()(size_t a, size_t b) const {
    const Token& x = (*tokens)[a];
    const Token& y = (*tokens)[b];
    return x.metadata.start == y.metadata.start &&
           x.metadata.length == y.metadata.length && x.text == y.text;
  }
};

TokenList MultiLanguage::tokenize(std::string_view text) const {
  TokenList collected;
  // Tokens of different segments never share a start, so duplicates are
  // looked for within one segment only.
  std::unordered_set<size_t, TokenKeyHash, TokenKeyEqual> segment_keys(
      16, TokenKeyHash{&collected}, TokenKeyEqual{&collected});
  uint64_t offset = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  const char* segment_begin = p;
  while (true) {
    bool at_separator = false;
    const char* segment_end = p;
    while (p < end) {
      const char* at = p;
      if (IsSeparator(NextCodePoint(&p))) {
        segment_end = at;
        at_separator = true;
        break;
      }
    }
    if (!at_separator) segment_end = end;
    std::string_view segment(segment_begin, segment_end - segment_begin);
    segment_keys.clear();
    for (const LanguagePtr& m : members_) {
      for (Token& t : m->tokenize(segment)) {
        if (t.metadata.has_position) t.metadata.start += offset;
        collected.push_back(std::move(t));
        if (!segment_keys.insert(collected.size() - 1).second) {
          collected.pop_back();
        }
      }
    }
    if (!at_separator) break;
    offset += CountCodePoints(NormalizeDefault(segment)) + 1;
    segment_begin = p;
  }
  std::stable_sort(collected.begin(), collected.end(),
                   [](const Token& a, const Token& b) {
                     if (a.metadata.start != b.metadata.start) {
                       return a.metadata.start < b.metadata.start;
                     }
                     return a.metadata.length < b.metadata.length;
                   });
  for (size_t i = 0; i < collected.size(); ++i) {
    collected[i].metadata.has_index = true;
    collected[i].metadata.index = i;
  }
  return collected;
}

}  // namespace

LanguagePtr MakeMultiLanguage(std::vector<LanguagePtr> members) {
  return std::make_shared<const MultiLanguage>(std::move(members));
}

}  // namespace vrim
