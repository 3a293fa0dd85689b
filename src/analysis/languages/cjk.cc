#include "analysis/languages/cjk.h"

#include "analysis/language.h"
#include "analysis/languages/trimmer.h"
#include "analysis/normalize.h"
#include "analysis/tokenizer.h"
#include "analysis/utf8.h"

namespace vrim {

uint32_t BigramClassMask(const std::vector<int>& classes) {
  uint32_t mask = 0;
  for (int c : classes) {
    if (c >= 0 && c < kOtherScript) mask |= 1u << c;
  }
  return mask;
}

TokenList TokenizeBigram(std::string_view text, uint32_t bigram_classes) {
  std::string normalized = NormalizeDefault(text);
  TokenList out;
  TokenizeInto(normalized, kStandardSeparators, bigram_classes, &out);
  return out;
}

void AppendBigrams(std::string_view text, size_t byte_begin, size_t byte_end,
                   uint64_t cp_begin, int script, TokenList* out) {
  // Bigram k spans cluster starts k to k + 2 (the run end standing in for
  // the start after the last cluster), so a window of the last two starts
  // is all the state needed.
  struct Start {
    size_t byte;
    uint64_t cp;
  };
  const char* base = text.data();
  auto emit = [&](const Start& from, const Start& to) {
    uint64_t index = out->size();
    Token& t = out->emplace_back();
    t.text.assign(base + from.byte, to.byte - from.byte);
    t.metadata.has_position = true;
    t.metadata.start = from.cp;
    t.metadata.length = to.cp - from.cp;
    t.metadata.has_index = true;
    t.metadata.index = index;
  };
  const bool kana_or_hangul = script <= kHangulScript;
  const char* p = base + byte_begin;
  const char* end = base + byte_end;
  uint64_t cp_index = cp_begin;
  Start older{}, newer{};
  size_t clusters = 0;
  while (p < end) {
    const char* at = p;
    char32_t cp = NextCodePoint(&p);
    bool joins = kana_or_hangul ? (cp == 0x3099 || cp == 0x309A)
                                : IsCombiningMark(cp);
    if (clusters == 0 || !joins) {
      Start start{size_t(at - base), cp_index};
      if (clusters >= 2) emit(older, start);
      older = newer;
      newer = start;
      ++clusters;
    }
    ++cp_index;
  }
  // A single cluster is one token; otherwise the last bigram ends the run.
  emit(clusters == 1 ? newer : older, Start{byte_end, cp_index});
}

bool BigramTrim(Token* token) {
  const std::string& text = token->text;
  if (!text.empty()) {
    bool all_script = true, all_marks = true, all_long_vowel = true;
    bool first_is_mark = false;
    bool first = true;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      char32_t cp = NextCodePoint(&p);
      bool mark = IsCombiningMark(cp);
      if (!mark && !IsScriptChar(cp)) {
        all_script = false;
        break;
      }
      if (first) first_is_mark = mark;
      first = false;
      all_marks = all_marks && mark;
      all_long_vowel = all_long_vowel && cp == 0x30FC;
    }
    if (all_script) return !(all_marks || all_long_vowel || first_is_mark);
  }
  return TrimToWordCharacters(token, true);
}

}  // namespace vrim
