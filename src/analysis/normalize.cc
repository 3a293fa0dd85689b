#include "analysis/normalize.h"

#include <cstdint>
#include <cstring>

#include "analysis/unicode.h"
#include "analysis/utf8.h"

namespace vrim {

namespace {

// Writes the UTF-8 encoding of `cp` to `dst` and returns its length.
inline size_t EncodeUtf8To(char32_t cp, char* dst) {
  if (cp < 0x80) {
    dst[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    dst[0] = static_cast<char>(0xC0 | (cp >> 6));
    dst[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    dst[0] = static_cast<char>(0xE0 | (cp >> 12));
    dst[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    dst[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  dst[0] = static_cast<char>(0xF0 | (cp >> 18));
  dst[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  dst[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  dst[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// ---------------------------------------------------------------------------
// Fold pass tables.

// Half-width katakana U+FF61..U+FF9D -> full-width forms.
constexpr char16_t kHalfWidthKatakana[0xFF9D - 0xFF61 + 1] = {
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3,  // FF61
    0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC,  // FF69
    0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF,  // FF71
    0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF,  // FF79
    0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD,  // FF81
    0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE, 0x30DF,  // FF89
    0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9, 0x30EA,  // FF91
    0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3,                          // FF99
};

// Half-width Hangul U+FFA0..U+FFDC -> conjoining jamo; 0 marks an empty
// slot, where the input is kept.
constexpr char16_t kHalfWidthHangul[0xFFDC - 0xFFA0 + 1] = {
    0x1160, 0x1100, 0x1101, 0x11AA, 0x1102, 0x11AC, 0x11AD, 0x1103,  // FFA0
    0x1104, 0x1105, 0x11B0, 0x11B1, 0x11B2, 0x11B3, 0x11B4, 0x11B5,  // FFA8
    0x111A, 0x1106, 0x1107, 0x1108, 0x1121, 0x1109, 0x110A, 0x110B,  // FFB0
    0x110C, 0x110D, 0x110E, 0x110F, 0x1110, 0x1111, 0x1112, 0,       // FFB8
    0,      0,      0x1161, 0x1162, 0x1163, 0x1164, 0x1165, 0x1166,  // FFC0
    0,      0,      0x1167, 0x1168, 0x1169, 0x116A, 0x116B, 0x116C,  // FFC8
    0,      0,      0x116D, 0x116E, 0x116F, 0x1170, 0x1171, 0x1172,  // FFD0
    0,      0,      0x1173, 0x1174, 0x1175,                          // FFD8
};

// Voiced form of a kana followed by U+3099, or 0 when it has none.
char32_t VoicedKana(char32_t cp) {
  switch (cp) {
    case 0x3046: return 0x3094;
    case 0x304B: case 0x304D: case 0x304F: case 0x3051: case 0x3053:
    case 0x3055: case 0x3057: case 0x3059: case 0x305B: case 0x305D:
    case 0x305F: case 0x3061: case 0x3064: case 0x3066: case 0x3068:
    case 0x306F: case 0x3072: case 0x3075: case 0x3078: case 0x307B:
      return cp + 1;
    default: break;
  }
  return 0;
}

// Voiced form of a katakana (full-width) followed by a voiced mark, or 0.
char32_t VoicedKatakana(char32_t cp) {
  switch (cp) {
    case 0x30A6: return 0x30F4;
    case 0x30EF: return 0x30F7;
    case 0x30F2: return 0x30FA;
    case 0x30AB: case 0x30AD: case 0x30AF: case 0x30B1: case 0x30B3:
    case 0x30B5: case 0x30B7: case 0x30B9: case 0x30BB: case 0x30BD:
    case 0x30BF: case 0x30C1: case 0x30C4: case 0x30C6: case 0x30C8:
    case 0x30CF: case 0x30D2: case 0x30D5: case 0x30D8: case 0x30DB:
      return cp + 1;
    default: break;
  }
  return 0;
}

bool IsKatakanaHaToHo(char32_t cp) {
  return cp == 0x30CF || cp == 0x30D2 || cp == 0x30D5 || cp == 0x30D8 ||
         cp == 0x30DB;
}

bool IsHiraganaHaToHo(char32_t cp) {
  return cp == 0x306F || cp == 0x3072 || cp == 0x3075 || cp == 0x3078 ||
         cp == 0x307B;
}

// The single-character rules of the fold pass.
char32_t FoldSingle(char32_t cp) {
  if (cp >= 0xFF01 && cp <= 0xFF5E) return cp - 0xFEE0;
  if ((cp >= 0x2000 && cp <= 0x200A) || cp == 0x202F || cp == 0x205F ||
      cp == 0x3000) {
    return 0x20;
  }
  switch (cp) {
    case 0xFFE0: return 0xA2;
    case 0xFFE1: return 0xA3;
    case 0xFFE2: return 0xAC;
    case 0xFFE3: return 0xAF;
    case 0xFFE4: return 0xA6;
    case 0xFFE5: return 0xA5;
    case 0xFFE6: return 0x20A9;
    default: break;
  }
  if (cp >= 0xFFA0 && cp <= 0xFFDC) {
    char32_t to = kHalfWidthHangul[cp - 0xFFA0];
    return to ? to : cp;
  }
  return cp;
}

// Every code point the fold pass changes or composes lies in U+2000..U+FFFF
// and so is encoded with one of these lead bytes; text without them passes
// through the fold unchanged.
inline bool MayFold(uint8_t lead) {
  return lead == 0xE2 || lead == 0xE3 || lead == 0xEF;
}

bool NeedsFold(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    // Skip all-ASCII stretches eight bytes at a time.
    if (end - p >= 8) {
      uint64_t v;
      std::memcpy(&v, p, 8);
      if (!(v & 0x8080808080808080ull)) {
        p += 8;
        continue;
      }
    }
    if (MayFold(static_cast<uint8_t>(*p))) return true;
    ++p;
  }
  return false;
}

// No rule lengthens the text (a folded character never takes more bytes
// than its input, a composition replaces six bytes by three), so the output
// is written into a buffer of the input's size.
std::string Fold(std::string_view text) {
  std::string out;
  out.resize(text.size());
  char* o = out.data();
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    // Copy bytes that cannot start a folded character verbatim.
    const char* run = p;
    while (p < end && !MayFold(static_cast<uint8_t>(*p))) ++p;
    std::memcpy(o, run, p - run);
    o += p - run;
    if (p == end) break;

    char32_t x = NextCodePoint(&p);
    char32_t next = 0;
    const char* after_next = p;
    if (p < end) next = NextCodePoint(&after_next);

    char32_t emit = x;
    if (x >= 0xFF61 && x <= 0xFF9D) {
      char32_t y = kHalfWidthKatakana[x - 0xFF61];
      emit = y;
      if (next == 0xFF9E) {
        if (char32_t v = VoicedKatakana(y)) {
          emit = v;
          p = after_next;
        }
      } else if (next == 0xFF9F && IsKatakanaHaToHo(y)) {
        emit = y + 2;
        p = after_next;
      }
    } else if (x == 0x3099 || x == 0x309A) {
      // A mark no base consumed stays as it is.
    } else {
      char32_t composed = 0;
      if (next == 0x3099) {
        composed = VoicedKana(x);
        if (!composed) composed = VoicedKatakana(x);
      } else if (next == 0x309A &&
                 (IsHiraganaHaToHo(x) || IsKatakanaHaToHo(x))) {
        composed = x + 2;
      }
      if (composed) {
        emit = composed;
        p = after_next;
      } else {
        emit = FoldSingle(x);
      }
    }
    o += EncodeUtf8To(emit, o);
  }
  out.resize(o - out.data());
  return out;
}

// ---------------------------------------------------------------------------
// Lowercasing.

inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64(char* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Lowercases eight ASCII bytes at once.
// REQUIRES: no byte of `v` has its high bit set.
inline uint64_t LowerAscii8(uint64_t v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  // High bit of each byte set where the byte is >= 'A' and where > 'Z'.
  uint64_t ge_a = v + kOnes * (0x80 - 'A');
  uint64_t gt_z = v + kOnes * (0x80 - 'Z' - 1);
  uint64_t upper = (ge_a & ~gt_z) & (kOnes * 0x80);
  return v | (upper >> 2);  // 0x80 >> 2 == 0x20, the case bit
}

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// True when one of the eight ASCII bytes of `v` is 'I'.
inline bool HasCapitalI(uint64_t v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  uint64_t x = v ^ (kOnes * 'I');
  return ((x - kOnes) & ~x & kHighBits) != 0;
}


// The final-sigma condition for the capital sigma at byte `pos` of `text`
// (the character is two bytes long).
bool IsFinalSigma(std::string_view text, size_t pos) {
  // Preceded by a cased letter, skipping case-ignorable characters.
  bool preceded = false;
  size_t i = pos;
  while (i > 0) {
    size_t start = i - 1;
    while (start > 0 && !IsCharBoundary(text, start)) --start;
    const char* q = text.data() + start;
    char32_t cp = NextCodePoint(&q);
    i = start;
    if (IsCaseIgnorable(cp)) continue;
    preceded = IsCased(cp);
    break;
  }
  if (!preceded) return false;
  // Not followed by a cased letter, skipping case-ignorable characters.
  const char* q = text.data() + pos + 2;
  const char* end = text.data() + text.size();
  while (q < end) {
    char32_t cp = NextCodePoint(&q);
    if (IsCaseIgnorable(cp)) continue;
    return !IsCased(cp);
  }
  return true;
}

// True when `text` is all ASCII and, with `kTurkish`, holds no 'I'.
template <bool kTurkish>
bool LowersByteForByte(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  for (; end - p >= 8; p += 8) {
    const uint64_t v = Load64(p);
    if ((v & kHighBits) || (kTurkish && HasCapitalI(v))) return false;
  }
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) >= 0x80 || (kTurkish && *p == 'I')) {
      return false;
    }
  }
  return true;
}

template <bool kTurkish>
std::string Lowercase(std::string_view text) {
  std::string out;
  out.resize(text.size());
  // Words handed to stemmers are short and nearly always ASCII.
  if (LowersByteForByte<kTurkish>(text)) {
    LowercaseAsciiInto(text, out.data());
    return out;
  }
  char* o = out.data();
  size_t n = text.size();
  size_t i = 0;
  size_t w = 0;  // bytes written
  while (i < n) {
    // All-ASCII stretch: sixteen bytes at a time (under Turkish rules only
    // while there is no I, which lowercases to a two-byte letter).
    {
      while (i + 16 <= n) {
        uint64_t a = Load64(text.data() + i);
        uint64_t b = Load64(text.data() + i + 8);
        if ((a | b) & kHighBits) break;
        if (kTurkish && (HasCapitalI(a) || HasCapitalI(b))) break;
        if (w + 16 > out.size()) {
          out.resize(out.size() * 2 + 16);
          o = out.data();
        }
        Store64(o + w, LowerAscii8(a));
        Store64(o + w + 8, LowerAscii8(b));
        i += 16;
        w += 16;
      }
      if (i >= n) break;
    }
    // Up to 3 code points of 4 bytes may come out of one character.
    if (w + 12 > out.size()) {
      out.resize(out.size() * 2 + 16);
      o = out.data();
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (kTurkish && c == 'I') {
        o[w++] = static_cast<char>(0xC4);  // U+0131
        o[w++] = static_cast<char>(0xB1);
      } else {
        o[w++] = static_cast<char>((c >= 'A' && c <= 'Z') ? c + 32 : c);
      }
      ++i;
      continue;
    }
    if (c >= 0xE3 && c <= 0xE9) {
      // U+3000..U+9FFF (kana, CJK): no character there has a lowercase
      // mapping.
      std::memcpy(o + w, text.data() + i, 3);
      w += 3;
      i += 3;
      continue;
    }
    const char* p = text.data() + i;
    char32_t cp = NextCodePoint(&p);
    size_t len = p - (text.data() + i);
    char32_t mapped[3];
    size_t count;
    if (kTurkish && cp == 0x130) {
      mapped[0] = 'i';
      count = 1;
    } else if (!kTurkish && cp == 0x3A3) {
      mapped[0] = IsFinalSigma(text, i) ? 0x3C2 : 0x3C3;
      count = 1;
    } else {
      count = LowercaseMapping(cp, mapped);
    }
    if (count == 1 && mapped[0] == cp) {
      std::memcpy(o + w, text.data() + i, len);
      w += len;
    } else {
      for (size_t k = 0; k < count; ++k) w += EncodeUtf8To(mapped[k], o + w);
    }
    i += len;
  }
  out.resize(w);
  return out;
}

}  // namespace

void LowercaseAsciiInto(std::string_view text, char* out) {
  const size_t n = text.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Store64(out + i, LowerAscii8(Load64(text.data() + i)));
  }
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c + 32
                                                                   : c);
  }
}

std::string LowercaseDefault(std::string_view text) {
  return Lowercase<false>(text);
}

std::string LowercaseTurkish(std::string_view text) {
  return Lowercase<true>(text);
}

std::string NormalizeDefault(std::string_view text) {
  if (!NeedsFold(text)) return Lowercase<false>(text);
  return Lowercase<false>(Fold(text));
}

std::string NormalizeTurkish(std::string_view text) {
  if (!NeedsFold(text)) return Lowercase<true>(text);
  return Lowercase<true>(Fold(text));
}

std::string_view TrimWhiteSpace(std::string_view text) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  while (begin < end) {
    const char* q = begin;
    if (!IsWhiteSpace(NextCodePoint(&q))) break;
    begin = q;
  }
  while (end > begin) {
    const char* start = end - 1;
    while (start > begin && (static_cast<uint8_t>(*start) & 0xC0) == 0x80) {
      --start;
    }
    const char* q = start;
    if (!IsWhiteSpace(NextCodePoint(&q))) break;
    end = start;
  }
  return std::string_view(begin, end - begin);
}

}  // namespace vrim
