#include "analysis/tokenizer.h"

#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "analysis/languages/cjk.h"
#include "analysis/normalize.h"
#include "analysis/utf8.h"

namespace vrim {

Script ScriptClass(char32_t cp) {
  if (cp < 0xE01) return kOtherScript;  // below every script range
  if ((cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) ||
      (cp >= 0xF900 && cp <= 0xFAFF) || cp == 0x3005 || cp == 0x3007 ||
      (cp >= 0x20000 && cp <= 0x2A6DF) || (cp >= 0x2A700 && cp <= 0x2EBEF) ||
      (cp >= 0x30000 && cp <= 0x3134F)) {
    return kHanScript;
  }
  if (cp >= 0x3041 && cp <= 0x309F) return kHiraganaScript;
  if ((cp >= 0x31F0 && cp <= 0x31FF) || (cp >= 0x30A1 && cp <= 0x30FA) ||
      (cp >= 0x30FC && cp <= 0x30FF)) {
    return kKatakanaScript;
  }
  if ((cp >= 0xA960 && cp <= 0xA97F) || (cp >= 0x1100 && cp <= 0x11FF) ||
      (cp >= 0x3130 && cp <= 0x318F) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
      (cp >= 0xD7B0 && cp <= 0xD7FF)) {
    return kHangulScript;
  }
  if (cp >= 0x0E01 && cp <= 0x0E5B) return kThaiScript;
  if (cp >= 0x0E81 && cp <= 0x0EDF) return kLaoScript;
  if ((cp >= 0x1780 && cp <= 0x17F9) || (cp >= 0x19E0 && cp <= 0x19FF)) {
    return kKhmerScript;
  }
  if ((cp >= 0x1000 && cp <= 0x109F) || (cp >= 0xA9E0 && cp <= 0xA9FF) ||
      (cp >= 0xAA60 && cp <= 0xAA7F)) {
    return kMyanmarScript;
  }
  if (cp >= 0x0F00 && cp <= 0x0FDA) return kTibetanScript;
  return kOtherScript;
}

bool IsCombiningMark(char32_t cp) {
  if (cp < 0xE31) return false;
  if (cp == 0x3099 || cp == 0x309A) return true;
  if (cp <= 0x0E4E) {
    return cp == 0x0E31 || (cp >= 0x0E34 && cp <= 0x0E3A) || cp >= 0x0E47;
  }
  if (cp <= 0x0ECE) {
    return cp == 0x0EB1 || (cp >= 0x0EB4 && cp <= 0x0EBC) || cp >= 0x0EC8;
  }
  if (cp <= 0x0FC6) {
    return cp == 0x0F18 || cp == 0x0F19 || cp == 0x0F35 || cp == 0x0F37 ||
           cp == 0x0F39 || cp == 0x0F3E || cp == 0x0F3F ||
           (cp >= 0x0F71 && cp <= 0x0F84) || cp == 0x0F86 || cp == 0x0F87 ||
           (cp >= 0x0F8D && cp <= 0x0F97) || (cp >= 0x0F99 && cp <= 0x0FBC) ||
           cp == 0x0FC6;
  }
  if (cp <= 0x109D) {
    return (cp >= 0x102B && cp <= 0x103E) || (cp >= 0x1056 && cp <= 0x1059) ||
           (cp >= 0x105E && cp <= 0x1060) || (cp >= 0x1062 && cp <= 0x1064) ||
           (cp >= 0x1067 && cp <= 0x106D) || (cp >= 0x1071 && cp <= 0x1074) ||
           (cp >= 0x1082 && cp <= 0x108D) || cp == 0x108F ||
           (cp >= 0x109A && cp <= 0x109D);
  }
  return (cp >= 0x17B4 && cp <= 0x17D3) || cp == 0x17DD;
}

namespace {

// The separator characters as a set: a byte table that tells ASCII
// separators, other ASCII characters and non-ASCII lead bytes apart, plus
// the few non-ASCII separators, searched linearly (the standard set has
// one).
class SeparatorSet {
 public:
  enum ByteKind : uint8_t { kWordByte = 0, kSeparatorByte = 1, kNonAscii = 2 };

  explicit SeparatorSet(std::string_view separators) {
    std::memset(kind_, kWordByte, 128);
    std::memset(kind_ + 128, kNonAscii, 128);
    const char* p = separators.data();
    const char* end = p + separators.size();
    while (p < end) {
      char32_t cp = NextCodePoint(&p);
      if (cp < 0x80) {
        if (kind_[cp] != kSeparatorByte) {
          if (ascii_count_ < kMaxVectorSeparators) {
            ascii_[ascii_count_] = static_cast<char>(cp);
          }
          ++ascii_count_;
          kind_[cp] = kSeparatorByte;
        }
      } else {
        other_.push_back(cp);
      }
    }
  }

  uint8_t Kind(unsigned char byte) const { return kind_[byte]; }

  // Classifies the 64 bytes at `p`: bit i of *separators is set when byte
  // i is an ASCII separator, bit i of *non_ascii when it has its high bit.
  void Classify64(const unsigned char* p, uint64_t* separators,
                  uint64_t* non_ascii) const {
#if defined(__SSE2__)
    if (ascii_count_ <= kMaxVectorSeparators) {
      uint64_t sep = 0, high = 0;
      for (int q = 0; q < 4; ++q) {
        __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
        __m128i hit = _mm_setzero_si128();
        for (size_t k = 0; k < ascii_count_; ++k) {
          hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(ascii_[k])));
        }
        sep |= uint64_t(uint32_t(_mm_movemask_epi8(hit))) << (16 * q);
        high |= uint64_t(uint32_t(_mm_movemask_epi8(v))) << (16 * q);
      }
      *separators = sep;
      *non_ascii = high;
      return;
    }
#endif
    uint64_t sep = 0, high = 0;
    for (int i = 0; i < 64; ++i) {
      uint8_t kind = kind_[p[i]];
      sep |= uint64_t(kind == kSeparatorByte) << i;
      high |= uint64_t(kind == kNonAscii) << i;
    }
    *separators = sep;
    *non_ascii = high;
  }

  bool ContainsNonAscii(char32_t cp) const {
    for (char32_t s : other_) {
      if (s == cp) return true;
    }
    return false;
  }

 private:
  static constexpr size_t kMaxVectorSeparators = 8;

  uint8_t kind_[256];
  char ascii_[kMaxVectorSeparators];
  size_t ascii_count_ = 0;  // distinct ASCII separators
  std::vector<char32_t> other_;
};

template <bool kLowerAscii>
inline void Emit(std::string_view text, size_t byte_begin, size_t byte_end,
                 uint64_t cp_begin, uint64_t cp_end, TokenList* out) {
  uint64_t index = out->size();
  Token& t = out->emplace_back();
  t.text.append(text.data() + byte_begin, byte_end - byte_begin);
  if (kLowerAscii) {
    for (char& c : t.text) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
  }
  t.metadata.has_position = true;
  t.metadata.start = cp_begin;
  t.metadata.length = cp_end - cp_begin;
  t.metadata.has_index = true;
  t.metadata.index = index;
}

// Byte spans instead of tokens: the caller cuts and lowercases the text.
template <bool kLowerAscii>
inline void Emit(std::string_view, size_t byte_begin, size_t byte_end,
                 uint64_t, uint64_t, std::vector<ByteSpan>* out) {
  out->push_back(ByteSpan{byte_begin, byte_end});
}

// Splits text[*b, ...) at separators, stopping at the end or, when
// `stop_at_scripts` is set, before the first script character. Advances *b
// and the code point counter *k past what it consumed.
// With `kLowerAscii`, ASCII capitals in the emitted tokens are lowercased
// (for text that is all ASCII).
template <bool kLowerAscii = false, class Out = TokenList>
void SplitRun(std::string_view text, const SeparatorSet& separators,
              bool stop_at_scripts, size_t* b, uint64_t* k, Out* out) {
  const size_t n = text.size();
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t pos = *b;
  uint64_t cp_index = *k;
  bool in_word = false;
  size_t word_b = 0;
  uint64_t word_k = 0;
  while (pos < n) {
    // Sixty-four bytes at a time while they are ASCII: word boundaries come
    // from a bit mask of separators instead of a branch per byte.
    if (s[pos] < 0x80 && n - pos >= 64) {
      uint64_t sep, high;
      separators.Classify64(s + pos, &sep, &high);
      size_t limit = high ? std::countr_zero(high) : 64;
      // Bits at and above `limit` are not to be looked at.
      uint64_t valid = limit == 64 ? ~uint64_t{0} : (uint64_t{1} << limit) - 1;
      size_t i = 0;
      while (i < limit) {
        uint64_t rest = (in_word ? sep : ~sep) & valid & (~uint64_t{0} << i);
        if (rest == 0) break;
        size_t j = std::countr_zero(rest);
        if (in_word) {
          Emit<kLowerAscii>(text, word_b, pos + j, word_k, cp_index + j, out);
          in_word = false;
        } else {
          in_word = true;
          word_b = pos + j;
          word_k = cp_index + j;
        }
        i = j + 1;
      }
      pos += limit;
      cp_index += limit;
      continue;
    }
    uint8_t kind = separators.Kind(s[pos]);
    if (kind == SeparatorSet::kWordByte) {
      if (!in_word) {
        in_word = true;
        word_b = pos;
        word_k = cp_index;
      }
      // The rest of an ASCII stretch in one go.
      size_t start = pos++;
      while (pos < n && separators.Kind(s[pos]) == SeparatorSet::kWordByte) {
        ++pos;
      }
      cp_index += pos - start;
      continue;
    }
    bool is_separator;
    size_t len = 1;
    if (kind == SeparatorSet::kSeparatorByte) {
      is_separator = true;
    } else {
      const char* p = text.data() + pos;
      char32_t cp = NextCodePoint(&p);
      if (stop_at_scripts && IsScriptChar(cp)) break;
      len = p - (text.data() + pos);
      is_separator = separators.ContainsNonAscii(cp);
    }
    if (is_separator) {
      if (in_word) {
        Emit<kLowerAscii>(text, word_b, pos, word_k, cp_index, out);
        in_word = false;
      }
    } else if (!in_word) {
      in_word = true;
      word_b = pos;
      word_k = cp_index;
    }
    pos += len;
    ++cp_index;
  }
  if (in_word) Emit<kLowerAscii>(text, word_b, pos, word_k, cp_index, out);
  *b = pos;
  *k = cp_index;
}

inline bool JoinsAnyRun(char32_t cp) {
  return cp == 0x3099 || cp == 0x309A || cp == 0x30FC;
}

}  // namespace

TokenList SplitOnSeparators(std::string_view text,
                            std::string_view separators) {
  TokenList out;
  SeparatorSet set(separators);
  size_t b = 0;
  uint64_t k = 0;
  SplitRun(text, set, false, &b, &k, &out);
  return out;
}

namespace {

// The scanner behind TokenizeInto, SplitGeneric and SplitBigram.
template <class Out>
void ScanRuns(std::string_view text, std::string_view separators,
              uint32_t bigram_classes, Out* out) {
  SeparatorSet set(separators);
  // Roughly one token per seven bytes of prose; saves most regrowth.
  out->reserve(out->size() + text.size() / 7 + 1);
  const size_t n = text.size();
  size_t b = 0;
  uint64_t k = 0;
  while (b < n) {
    const char* p = text.data() + b;
    char32_t first = NextCodePoint(&p);
    Script script = ScriptClass(first);
    if (script == kOtherScript) {
      SplitRun(text, set, true, &b, &k, out);
      continue;
    }
    // A run of one script class.
    size_t run_b = b;
    uint64_t run_k = k;
    b = p - text.data();
    ++k;
    while (b < n) {
      const char* q = text.data() + b;
      char32_t cp = NextCodePoint(&q);
      if (ScriptClass(cp) != script && !JoinsAnyRun(cp)) break;
      b = q - text.data();
      ++k;
    }
    if (bigram_classes & (1u << script)) {
      if constexpr (std::is_same_v<Out, TokenList>) {
        AppendBigrams(text, run_b, b, run_k, script, out);
      } else {
        AppendBigramSpans(text, run_b, b, script, out);
      }
      continue;
    }
    Emit<false>(text, run_b, b, run_k, k, out);
  }
}

}  // namespace

void TokenizeInto(std::string_view text, std::string_view separators,
                  uint32_t bigram_classes, TokenList* out) {
  ScanRuns(text, separators, bigram_classes, out);
}

void SplitGeneric(std::string_view normalized_text,
                  std::string_view separators, std::vector<ByteSpan>* out) {
  ScanRuns(normalized_text, separators, 0, out);
}

void SplitBigram(std::string_view normalized_text,
                 std::string_view separators, uint32_t bigram_classes,
                 std::vector<ByteSpan>* out) {
  ScanRuns(normalized_text, separators, bigram_classes, out);
}

namespace {

// True when every byte of `text` is ASCII (and, with `turkish`, none is
// 'I', which Turkish lowercasing turns into a non-ASCII letter).
bool IsPlainAscii(std::string_view text, bool turkish) {
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const char* p = text.data();
  const char* end = p + text.size();
  for (; end - p >= 8; p += 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    if (v & kHigh) return false;
    if (turkish) {
      uint64_t x = v ^ (kOnes * 'I');
      if ((x - kOnes) & ~x & kHigh) return false;
    }
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80 || (turkish && *p == 'I')) {
      return false;
    }
  }
  return true;
}

}  // namespace

TokenList NormalizeAndTokenizeGeneric(std::string_view text, bool turkish,
                                      std::string_view separators) {
  TokenList out;
  NormalizeAndTokenizeGenericInto(text, turkish, separators, &out);
  return out;
}

void NormalizeAndTokenizeGenericInto(std::string_view text, bool turkish,
                                     std::string_view separators,
                                     TokenList* out) {
  out->clear();
  if (!IsPlainAscii(text, turkish)) {
    TokenizeInto(turkish ? NormalizeTurkish(text) : NormalizeDefault(text),
                 separators, 0, out);
    return;
  }
  // ASCII text folds to itself and lowercases byte by byte, so the
  // normalized text need not be built: tokens are cut from the input and
  // lowercased as they are copied. It holds no script character either.
  out->reserve(text.size() / 7 + 1);
  SeparatorSet set(separators);
  size_t b = 0;
  uint64_t k = 0;
  SplitRun<true>(text, set, false, &b, &k, out);
}

bool SplitPlainAscii(std::string_view text, bool turkish,
                     std::string_view separators, std::vector<ByteSpan>* out) {
  if (!IsPlainAscii(text, turkish)) return false;
  out->reserve(out->size() + text.size() / 7 + 1);
  SeparatorSet set(separators);
  size_t b = 0;
  uint64_t k = 0;
  SplitRun<false>(text, set, false, &b, &k, out);
  return true;
}

TokenList TokenizeGeneric(std::string_view normalized_text,
                          std::string_view separators) {
  TokenList out;
  TokenizeInto(normalized_text, separators, 0, &out);
  return out;
}

}  // namespace vrim
