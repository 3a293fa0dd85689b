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

namespace {

// Calls emit(from_byte, from_cp, to_byte, to_cp) for each bigram of one
// script run, as AppendBigrams describes, in order.
template <class Emit>
void ForEachBigram(std::string_view text, size_t byte_begin, size_t byte_end,
                   uint64_t cp_begin, int script, const Emit& emit) {
  // Bigram k spans cluster starts k to k + 2 (the run end standing in for
  // the start after the last cluster), so a window of the last two starts
  // is all the state needed.
  struct Start {
    size_t byte;
    uint64_t cp;
  };
  const char* base = text.data();
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
      if (clusters >= 2) emit(older.byte, older.cp, start.byte, start.cp);
      older = newer;
      newer = start;
      ++clusters;
    }
    ++cp_index;
  }
  // A single cluster is one token; otherwise the last bigram ends the run.
  const Start& last = clusters == 1 ? newer : older;
  emit(last.byte, last.cp, byte_end, cp_index);
}

// Han ideographs and the kana letters: script characters that are neither
// marks nor U+30FC, by far the most common in bigrams.
inline bool IsPlainScriptLetter(char32_t cp) {
  return (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3041 && cp <= 0x3096) ||
         (cp >= 0x30A1 && cp <= 0x30FA);
}

// What BigramTrim decides for a text made only of script characters and
// marks; false when the text holds another character (`*all_script`
// false then) or is to be dropped.
bool KeepsScriptText(std::string_view text, bool* all_script,
                     uint64_t* code_points) {
  bool all_marks = true, all_long_vowel = true, first_is_mark = false;
  const char* p = text.data();
  const char* end = p + text.size();
  uint64_t count = 0;
  while (p < end) {
    char32_t cp = NextCodePoint(&p);
    if (IsPlainScriptLetter(cp)) {
      all_marks = all_long_vowel = false;
      ++count;
      continue;
    }
    bool mark = IsCombiningMark(cp);
    if (!mark && !IsScriptChar(cp)) {
      *all_script = false;
      return false;
    }
    if (count == 0) first_is_mark = mark;
    ++count;
    all_marks = all_marks && mark;
    all_long_vowel = all_long_vowel && cp == 0x30FC;
  }
  *all_script = true;
  *code_points = count;
  return !(all_marks || all_long_vowel || first_is_mark);
}

}  // namespace

void AppendBigrams(std::string_view text, size_t byte_begin, size_t byte_end,
                   uint64_t cp_begin, int script, TokenList* out) {
  const char* base = text.data();
  ForEachBigram(text, byte_begin, byte_end, cp_begin, script,
                [&](size_t from_byte, uint64_t from_cp, size_t to_byte,
                    uint64_t to_cp) {
                  uint64_t index = out->size();
                  Token& t = out->emplace_back();
                  t.text.assign(base + from_byte, to_byte - from_byte);
                  t.metadata.has_position = true;
                  t.metadata.start = from_cp;
                  t.metadata.length = to_cp - from_cp;
                  t.metadata.has_index = true;
                  t.metadata.index = index;
                });
}

void AppendBigramSpans(std::string_view text, size_t byte_begin,
                       size_t byte_end, int script,
                       std::vector<ByteSpan>* out) {
  ForEachBigram(text, byte_begin, byte_end, 0, script,
                [out](size_t from_byte, uint64_t, size_t to_byte, uint64_t) {
                  out->push_back(ByteSpan{from_byte, to_byte});
                });
}

bool BigramTrim(Token* token) {
  if (!token->text.empty()) {
    bool all_script;
    uint64_t code_points;
    const bool keeps = KeepsScriptText(token->text, &all_script, &code_points);
    if (all_script) return keeps;
  }
  return TrimToWordCharacters(token, true);
}

bool BigramTrimSpan(std::string_view text, size_t* begin, size_t* end,
                    uint64_t* dropped, uint64_t* length) {
  if (*begin >= *end) return false;
  bool all_script;
  const bool keeps = KeepsScriptText(text.substr(*begin, *end - *begin),
                                     &all_script, length);
  if (all_script) {
    *dropped = 0;
    return keeps;
  }
  return TrimSpanToWordCharacters(text, begin, end, dropped, length, true);
}

}  // namespace vrim
