#include "analysis/normalize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/utf8.h"

namespace vrim {
namespace {

std::string U8(std::u32string_view cps) {
  return EncodeUtf8(cps.data(), cps.size());
}

std::u32string U32(std::string_view text) {
  std::vector<char32_t> cps;
  DecodeUtf8(text, &cps);
  return std::u32string(cps.begin(), cps.end());
}

std::u32string Default(std::u32string_view in) {
  return U32(NormalizeDefault(U8(in)));
}

std::u32string Turkish(std::u32string_view in) {
  return U32(NormalizeTurkish(U8(in)));
}

struct FoldCase {
  std::u32string in;
  std::u32string out;
};

TEST(NormalizeTest, FoldPassExamples) {
  const FoldCase cases[] = {
      {U"", U""},
      {U"\uFF76\uFF9E", U"\u30AC"},          // ｶﾞ -> ガ
      {U"\uFF8A\uFF9F", U"\u30D1"},          // ﾊﾟ -> パ
      {U"\uFF73\uFF9E", U"\u30F4"},          // ｳﾞ -> ヴ
      {U"\uFF71\uFF9E", U"\u30A2\uFF9E"},    // ｱﾞ: no voiced form
      {U"\uFF71\uFF9F", U"\u30A2\uFF9F"},
      {U"\uFF76\uFF9F", U"\u30AB\uFF9F"},    // semi-voiced only for ha..ho
      {U"\uFF9C\uFF9E", U"\u30F7"},          // ﾜﾞ -> ヷ
      {U"\uFF66\uFF9E", U"\u30FA"},          // ｦﾞ -> ヺ
      {U"\u304B\u3099", U"\u304C"},          // か + voiced -> が
      {U"\u306F\u309A", U"\u3071"},          // は + semi-voiced -> ぱ
      {U"\u30DB\u309A", U"\u30DD"},          // ホ + semi-voiced -> ポ
      {U"\u3042\u3099", U"\u3042\u3099"},    // あ has no voiced form
      {U"\u3046\u3099", U"\u3094"},
      {U"\u30A6\u3099", U"\u30F4"},
      {U"\u30EF\u3099", U"\u30F7"},
      {U"\u30F2\u3099", U"\u30FA"},
      {U"\u304B\u309A", U"\u304B\u309A"},
      {U"\uFF76\u3099", U"\u30AB\u3099"},    // half-width + combining: kept
      {U"\u3099\u3099", U"\u3099\u3099"},
      {U"\u304B\uFF9E", U"\u304B\uFF9E"},    // full-width + half-width mark
      {U"\u304C\u3099", U"\u304C\u3099"},    // no chaining
      {U"\uFF21\uFF22\uFF23\uFF11\uFF12\uFF13\uFF01", U"abc123!"},
      {U"\uFF5E\uFF5F\uFF60", U"~\uFF5F\uFF60"},
      {U"a\u3000b\u2003c", U"a b c"},
      {U"\u2000\u200A\u202F\u205F", U"    "},
      {U"\u00A0\u1680\u200B\u2028\u2029\uFEFF", U"\u00A0\u1680\u200B\u2028\u2029\uFEFF"},
      {U"\uFFE0\uFFE1\uFFE2\uFFE3\uFFE4\uFFE5\uFFE6",
       U"\u00A2\u00A3\u00AC\u00AF\u00A6\u00A5\u20A9"},
      {U"\uFFE8\uFFEE", U"\uFFE8\uFFEE"},
      {U"\uFF9E\uFF9F", U"\uFF9E\uFF9F"},
      {U"x\uFF61y", U"x\u3002y"},
      // A mark that composes with nothing leaves its base to the
      // single-character rules.
      {U"\uFF21\u3099\u3000\u309A", U"a\u3099 \u309A"},
  };
  for (const FoldCase& c : cases) {
    EXPECT_EQ(Default(c.in), c.out) << NormalizeDefault(U8(c.in));
  }
}

TEST(NormalizeTest, HalfWidthKatakanaTableInFull) {
  const char16_t expected[] = {
      0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3,
      0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5, 0x30E7, 0x30C3, 0x30FC,
      0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF,
      0x30B1, 0x30B3, 0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF,
      0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC, 0x30CD,
      0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE, 0x30DF,
      0x30E0, 0x30E1, 0x30E2, 0x30E4, 0x30E6, 0x30E8, 0x30E9, 0x30EA,
      0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3};
  ASSERT_EQ(std::size(expected), 61u);
  // Katakana that take a voiced mark, and their voiced forms.
  auto voiced = [](char32_t k) -> char32_t {
    if (k == 0x30A6) return 0x30F4;
    if (k == 0x30EF) return 0x30F7;
    if (k == 0x30F2) return 0x30FA;
    if ((k >= 0x30AB && k <= 0x30C1 && (k - 0x30AB) % 2 == 0) ||
        k == 0x30C4 || k == 0x30C6 || k == 0x30C8 ||
        (k >= 0x30CF && k <= 0x30DB && (k - 0x30CF) % 3 == 0)) {
      return k + 1;
    }
    return 0;
  };
  int voiced_count = 0;
  for (char32_t hw = 0xFF61; hw <= 0xFF9D; ++hw) {
    char32_t full = expected[hw - 0xFF61];
    SCOPED_TRACE(testing::Message() << std::hex << uint32_t(hw));
    EXPECT_EQ(Default(std::u32string(1, hw)), std::u32string(1, full));
    std::u32string with_mark = {hw, 0xFF9E};
    if (char32_t v = voiced(full)) {
      ++voiced_count;
      EXPECT_EQ(Default(with_mark), std::u32string(1, v));
    } else {
      EXPECT_EQ(Default(with_mark), (std::u32string{full, 0xFF9E}));
    }
    std::u32string with_semi = {hw, 0xFF9F};
    bool ha_to_ho = full == 0x30CF || full == 0x30D2 || full == 0x30D5 ||
                    full == 0x30D8 || full == 0x30DB;
    std::u32string semi_expected =
        ha_to_ho ? std::u32string(1, full + 2) : std::u32string{full, 0xFF9F};
    EXPECT_EQ(Default(with_semi), semi_expected);
  }
  EXPECT_EQ(voiced_count, 23);
}

TEST(NormalizeTest, KanaVoicingTableInFull) {
  // Every base that composes with U+3099 and its result.
  std::vector<std::pair<char32_t, char32_t>> table = {{0x3046, 0x3094},
                                                      {0x30A6, 0x30F4},
                                                      {0x30EF, 0x30F7},
                                                      {0x30F2, 0x30FA}};
  for (char32_t b : {0x304B, 0x304D, 0x304F, 0x3051, 0x3053, 0x3055, 0x3057,
                     0x3059, 0x305B, 0x305D, 0x305F, 0x3061, 0x3064, 0x3066,
                     0x3068, 0x306F, 0x3072, 0x3075, 0x3078, 0x307B}) {
    table.push_back({b, b + 1});
    table.push_back({b + 0x60, b + 0x61});  // the katakana counterpart
  }
  ASSERT_EQ(table.size(), 44u);
  std::vector<char32_t> composed;
  for (char32_t base = 0x3040; base <= 0x30FF; ++base) {
    std::u32string out = Default(std::u32string{base, 0x3099});
    if (out.size() == 1) {
      composed.push_back(base);
      bool listed = false;
      for (auto [b, v] : table) {
        if (b == base) {
          EXPECT_EQ(out[0], v) << std::hex << uint32_t(base);
          listed = true;
        }
      }
      EXPECT_TRUE(listed) << std::hex << uint32_t(base);
    } else {
      EXPECT_EQ(out, (std::u32string{base, 0x3099}));
    }
  }
  EXPECT_EQ(composed.size(), table.size());
  // Semi-voiced composition: only ha, hi, fu, he, ho in both kana.
  for (char32_t base = 0x3040; base <= 0x30FF; ++base) {
    std::u32string out = Default(std::u32string{base, 0x309A});
    bool ha = (base >= 0x306F && base <= 0x307B && (base - 0x306F) % 3 == 0) ||
              (base >= 0x30CF && base <= 0x30DB && (base - 0x30CF) % 3 == 0);
    std::u32string expected =
        ha ? std::u32string(1, base + 2) : std::u32string{base, 0x309A};
    EXPECT_EQ(out, expected) << std::hex << uint32_t(base);
  }
}

TEST(NormalizeTest, HalfWidthHangulTableInFull) {
  const char16_t expected[] = {
      0x1160, 0x1100, 0x1101, 0x11AA, 0x1102, 0x11AC, 0x11AD, 0x1103,
      0x1104, 0x1105, 0x11B0, 0x11B1, 0x11B2, 0x11B3, 0x11B4, 0x11B5,
      0x111A, 0x1106, 0x1107, 0x1108, 0x1121, 0x1109, 0x110A, 0x110B,
      0x110C, 0x110D, 0x110E, 0x110F, 0x1110, 0x1111, 0x1112, 0xFFBF,
      0xFFC0, 0xFFC1, 0x1161, 0x1162, 0x1163, 0x1164, 0x1165, 0x1166,
      0xFFC8, 0xFFC9, 0x1167, 0x1168, 0x1169, 0x116A, 0x116B, 0x116C,
      0xFFD0, 0xFFD1, 0x116D, 0x116E, 0x116F, 0x1170, 0x1171, 0x1172,
      0xFFD8, 0xFFD9, 0x1173, 0x1174, 0x1175};
  for (char32_t cp = 0xFFA0; cp <= 0xFFDC; ++cp) {
    EXPECT_EQ(Default(std::u32string(1, cp)),
              std::u32string(1, expected[cp - 0xFFA0]))
        << std::hex << uint32_t(cp);
  }
}

TEST(NormalizeTest, Lowercasing) {
  const struct {
    std::u32string in, by_default, turkish;
  } cases[] = {
      {U"Hello WORLD", U"hello world", U"hello world"},
      {U"I", U"i", U"\u0131"},
      {U"\u0130", U"i\u0307", U"i"},
      {U"\uFF21", U"a", U"a"},
      {U"\uFF29", U"i", U"\u0131"},
      {U"\u039F\u0394\u039F\u03A3", U"\u03BF\u03B4\u03BF\u03C2",
       U"\u03BF\u03B4\u03BF\u03C3"},
      {U"\u03A3", U"\u03C3", U"\u03C3"},                 // nothing before
      {U"\u03A3\u0391", U"\u03C3\u03B1", U"\u03C3\u03B1"},
      {U"\u0391\u03A3\u0391", U"\u03B1\u03C3\u03B1", U"\u03B1\u03C3\u03B1"},
      {U"\u0391\u03A3 x", U"\u03B1\u03C2 x", U"\u03B1\u03C3 x"},
      {U"\u0391'\u03A3'", U"\u03B1'\u03C2'", U"\u03B1'\u03C3'"},   // ignorable
      {U"\u0391\u03A3'\u0391", U"\u03B1\u03C3'\u03B1", U"\u03B1\u03C3'\u03B1"},
      {U"1\u03A3", U"1\u03C3", U"1\u03C3"},
      {U"\u0391\u03A3\u03A3", U"\u03B1\u03C3\u03C2", U"\u03B1\u03C3\u03C3"},
      {U"\u1E9E\u0410\U00010400", U"\u00DF\u0430\U00010428",
       U"\u00DF\u0430\U00010428"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Default(c.in), c.by_default) << NormalizeDefault(U8(c.in));
    EXPECT_EQ(Turkish(c.in), c.turkish) << NormalizeTurkish(U8(c.in));
  }
}

// The sixteen-byte ASCII path must agree with the per-character path at
// every alignment and around non-ASCII characters.
TEST(NormalizeTest, AsciiFastPathAgreesAtEveryOffset) {
  std::string all;
  for (int c = 1; c < 128; ++c) all.push_back(static_cast<char>(c));
  std::string lowered = all;
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c += 32;
  }
  for (size_t shift = 0; shift < 20; ++shift) {
    std::string prefix(shift, 'Q');
    std::string in = prefix + all + "\u00C9" + all + "I";
    std::string lp(shift, 'q');
    EXPECT_EQ(NormalizeDefault(in), lp + lowered + "\u00E9" + lowered + "i");
    EXPECT_EQ(LowercaseDefault(in), lp + lowered + "\u00E9" + lowered + "i");
    std::string turkish_lowered = lowered;
    std::string expect_tr;
    for (char c : all) {
      if (c == 'I') {
        expect_tr += "\u0131";
      } else {
        expect_tr.push_back((c >= 'A' && c <= 'Z') ? c + 32 : c);
      }
    }
    EXPECT_EQ(NormalizeTurkish(in),
              lp + expect_tr + "\u00E9" + expect_tr + "\u0131");
  }
}

// Short all-ASCII words (what stemmers get) at every length.
TEST(NormalizeTest, AsciiWordsAtEveryLength) {
  const std::string word = "AbCdEfGhIjKlMnOpQrStUvWxYz@[`{";
  for (size_t n = 0; n <= word.size(); ++n) {
    const std::string in = word.substr(0, n);
    std::string lowered = in, turkish;
    for (char& c : lowered) {
      if (c >= 'A' && c <= 'Z') c += 32;
    }
    for (char c : in) {
      turkish += c == 'I' ? std::string("\u0131") : std::string(1, c);
      if (c >= 'A' && c <= 'Z' && c != 'I') turkish.back() += 32;
    }
    EXPECT_EQ(LowercaseDefault(in), lowered);
    EXPECT_EQ(LowercaseTurkish(in), turkish);
    std::string in_place = in;
    LowercaseAsciiInto(in_place, in_place.data());
    EXPECT_EQ(in_place, lowered);
  }
}

TEST(NormalizeTest, LowercaseWithoutFold) {
  EXPECT_EQ(LowercaseDefault("\uFF21B"), "\uFF41b");
  EXPECT_EQ(LowercaseTurkish("\uFF29I\u0130"), "\uFF49\u0131i");
  EXPECT_EQ(LowercaseDefault("\uFF76\uFF9E"), "\uFF76\uFF9E");
}

TEST(NormalizeTest, TrimWhiteSpace) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {"   ", ""},
      {" en ", "en"},
      {"\t\n\u3000tr\u00A0\u2029", "tr"},
      {"a b", "a b"},
      {"\u200Bx\u200B", "\u200Bx\u200B"},  // zero width space is not White_Space
      {"\u0085\u1680", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimWhiteSpace(c.in), c.out);
}

}  // namespace
}  // namespace vrim
