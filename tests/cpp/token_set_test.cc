#include "index/token_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <array>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "analysis/utf8.h"

namespace vrim {
namespace {

TokenSet Make(std::vector<std::string> terms) {
  std::sort(terms.begin(), terms.end());
  return TokenSet::Build(StringTable(terms));
}

// Expansion results as sorted term texts.
std::vector<std::string> Names(const std::vector<std::string>& sorted_terms,
                               std::vector<uint32_t> ids) {
  std::vector<std::string> out;
  for (uint32_t id : ids) out.push_back(sorted_terms.at(id));
  std::sort(out.begin(), out.end());
  return out;
}

struct Fixture {
  std::vector<std::string> terms;
  TokenSet set;
  explicit Fixture(std::vector<std::string> t) : terms(std::move(t)) {
    std::sort(terms.begin(), terms.end());
    set = TokenSet::Build(StringTable(terms));
  }
  std::vector<std::string> Wildcard(std::string_view pattern) const {
    std::vector<uint32_t> ids;
    set.ExpandWildcard(pattern, &ids);
    return Names(terms, ids);
  }
  std::vector<std::string> Fuzzy(std::string_view term, uint64_t d) const {
    std::vector<uint32_t> ids;
    set.ExpandFuzzy(term, d, &ids);
    return Names(terms, ids);
  }
};

using Strings = std::vector<std::string>;

TEST(TokenSetTest, EmptySetHasOnlyTheRoot) {
  Fixture f({});
  EXPECT_EQ(f.set.node_count(), 1u);
  EXPECT_FALSE(f.set.is_final(0));
  EXPECT_EQ(f.set.Find(""), -1);
  EXPECT_EQ(f.set.Find("a"), -1);
  EXPECT_TRUE(f.Wildcard("*").empty());
  EXPECT_TRUE(f.Fuzzy("abc", 2).empty());
  EXPECT_EQ(TokenSet().node_count(), 1u);
}

TEST(TokenSetTest, SharedPrefixesShareNodes) {
  TokenSet s = Make({"par", "part", "pat"});
  // Root plus p, pa, par, part, pat.
  EXPECT_EQ(s.node_count(), 6u);
  int64_t p = s.child(0, U'p');
  ASSERT_GE(p, 0);
  int64_t pa = s.child(p, U'a');
  ASSERT_GE(pa, 0);
  int64_t par = s.child(pa, U'r');
  int64_t pat = s.child(pa, U't');
  ASSERT_GE(par, 0);
  ASSERT_GE(pat, 0);
  int64_t part = s.child(par, U't');
  ASSERT_GE(part, 0);
  EXPECT_FALSE(s.is_final(p));
  EXPECT_FALSE(s.is_final(pa));
  EXPECT_TRUE(s.is_final(par));
  EXPECT_TRUE(s.is_final(pat));
  EXPECT_TRUE(s.is_final(part));
  EXPECT_EQ(s.child(pa, U'x'), -1);
  EXPECT_EQ(s.Find("par"), 0);
  EXPECT_EQ(s.Find("part"), 1);
  EXPECT_EQ(s.Find("pat"), 2);
  EXPECT_EQ(s.Find("pa"), -1);  // a proper prefix is not a term
  EXPECT_EQ(s.Find("parts"), -1);
}

TEST(TokenSetTest, EmptyTermMarksTheRoot) {
  TokenSet s = Make({"", "a"});
  EXPECT_EQ(s.node_count(), 2u);
  EXPECT_TRUE(s.is_final(0));
  EXPECT_EQ(s.Find(""), 0);
}

TEST(TokenSetTest, WildcardExamples) {
  Fixture f({"par", "part", "pat", "dog"});
  struct Case {
    const char* pattern;
    Strings expected;
  } cases[] = {
      {"pa*", {"par", "part", "pat"}}, {"*t", {"part", "pat"}},
      {"p*r*", {"par", "part"}},       {"*", {"dog", "par", "part", "pat"}},
      {"pa**", {"par", "part", "pat"}}, {"*a*", {"par", "part", "pat"}},
      {"d*g", {"dog"}},                 {"pat", {"pat"}},
      {"x*", {}},                       {"part*t", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f.Wildcard(c.pattern), c.expected) << c.pattern;
  }
}

TEST(TokenSetTest, WildcardEscapes) {
  Fixture f({"pa*", "pa\\", "pa\\x", "pa\\*", "pa", "pax", "pa\\\\"});
  struct Case {
    const char* pattern;
    Strings expected;
  } cases[] = {
      {"pa\\*", {"pa*"}},                          // escaped star
      {"pa\\\\*", {"pa\\", "pa\\*", "pa\\\\", "pa\\x"}},  // \ then wildcard
      {"pa\\\\\\*", {"pa\\*"}},                    // \ then escaped star
      {"pa\\x", {"pa\\x"}},                        // lone \ stays literal
      {"pa\\\\x", {"pa\\x"}},                      // \\ is one backslash
      {"pa\\\\\\x", {}},                           // three: two backslashes
      {"pa\\\\\\\\", {"pa\\\\"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(f.Wildcard(c.pattern), c.expected) << c.pattern;
  }
}

TEST(TokenSetTest, FuzzyExamples) {
  Fixture f({"apt", "at", "par", "part", "pat", "dog"});
  EXPECT_EQ(f.Fuzzy("pat", 1), (Strings{"apt", "at", "par", "part", "pat"}));
  // The distance is capped at the term length minus one.
  EXPECT_EQ(f.Fuzzy("pat", 5), f.Fuzzy("pat", 2));
  EXPECT_EQ(f.Fuzzy("pat", 0), Strings{"pat"});
  EXPECT_EQ(f.Fuzzy("pt", 9), (Strings{"apt", "at", "pat"}));
  Fixture g({"a", "b", "ab"});
  EXPECT_EQ(g.Fuzzy("a", 3), Strings{"a"});
  EXPECT_TRUE(g.Fuzzy("c", 3).empty());
  EXPECT_TRUE(g.Fuzzy("", 3).empty());
}

TEST(TokenSetTest, FuzzyCountsTranspositionAsOneEdit) {
  Fixture f({"abcd", "bacd", "badc", "acbd", "dcba"});
  EXPECT_EQ(f.Fuzzy("abcd", 1), (Strings{"abcd", "acbd", "bacd"}));
  EXPECT_EQ(f.Fuzzy("abcd", 2), (Strings{"abcd", "acbd", "bacd", "badc"}));
}

// ---- Property test against brute force over all terms. ----

const char* const kAlphabet[] = {"a", "b", "c", "\xC3\xA9" /* é */,
                                 "\xD0\xB6" /* ж */, "\xE4\xB8\xAD" /* 中 */,
                                 "\xF0\x9F\x98\x80" /* emoji */, "*", "\\"};
constexpr int kAlphabetSize = sizeof(kAlphabet) / sizeof(kAlphabet[0]);

std::u32string ToCps(std::string_view s) {
  std::vector<char32_t> v;
  DecodeUtf8(s, &v);
  return std::u32string(v.begin(), v.end());
}

size_t OsaDistance(const std::u32string& a, const std::u32string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                          d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// A pattern item: a literal character, or -1 for "any sequence".
using Items = std::vector<int64_t>;

bool MatchItems(const Items& p, size_t i, const std::u32string& s, size_t j) {
  if (i == p.size()) return j == s.size();
  if (p[i] == -1) {
    for (size_t k = j; k <= s.size(); ++k) {
      if (MatchItems(p, i + 1, s, k)) return true;
    }
    return false;
  }
  return j < s.size() && s[j] == static_cast<char32_t>(p[i]) &&
         MatchItems(p, i + 1, s, j + 1);
}

// Writes items in the query's escaped form. A backslash that no star or
// backslash follows may also be written alone, when `short_form` says so.
std::string Escape(const Items& items, bool short_form) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    int64_t item = items[i];
    bool alone_ok = i + 1 == items.size() ||
                    (items[i + 1] != -1 && items[i + 1] != '*' &&
                     items[i + 1] != '\\');
    if (item == -1) {
      out += "*";
    } else if (item == '*') {
      out += "\\*";
    } else if (item == '\\') {
      out += short_form && alone_ok ? "\\" : "\\\\";
    } else {
      AppendUtf8(static_cast<char32_t>(item), &out);
    }
  }
  return out;
}

TEST(TokenSetTest, ExpansionsAgreeWithBruteForce) {
  std::mt19937 rng(20261207);
  auto random_word = [&](int max_len) {
    std::string w;
    int len = std::uniform_int_distribution<int>(0, max_len)(rng);
    for (int i = 0; i < len; ++i) {
      w += kAlphabet[std::uniform_int_distribution<int>(0, 4)(rng) == 0
                         ? std::uniform_int_distribution<int>(
                               0, kAlphabetSize - 1)(rng)
                         : std::uniform_int_distribution<int>(0, 2)(rng)];
    }
    return w;
  };
  for (int round = 0; round < 60; ++round) {
    std::set<std::string> unique;
    int n = std::uniform_int_distribution<int>(0, 80)(rng);
    for (int i = 0; i < n; ++i) unique.insert(random_word(6));
    Fixture f(std::vector<std::string>(unique.begin(), unique.end()));

    // Node count: one plus the distinct non-empty prefixes.
    std::set<std::u32string> prefixes;
    for (const std::string& t : f.terms) {
      std::u32string cps = ToCps(t);
      for (size_t k = 1; k <= cps.size(); ++k) prefixes.insert(cps.substr(0, k));
    }
    ASSERT_EQ(f.set.node_count(), prefixes.size() + 1);

    for (int q = 0; q < 40; ++q) {
      // Exact: half the probes are members.
      std::string probe = (q % 2 == 0 && !f.terms.empty())
                              ? f.terms[rng() % f.terms.size()]
                              : random_word(5);
      int64_t id = f.set.Find(probe);
      auto it = std::lower_bound(f.terms.begin(), f.terms.end(), probe);
      int64_t want = (it != f.terms.end() && *it == probe)
                         ? it - f.terms.begin()
                         : -1;
      ASSERT_EQ(id, want) << probe;

      // Wildcard over random items, written with escapes.
      Items items;
      int len = std::uniform_int_distribution<int>(0, 5)(rng);
      for (int i = 0; i < len; ++i) {
        if (rng() % 3 == 0) {
          items.push_back(-1);
        } else {
          std::u32string c = ToCps(kAlphabet[rng() % kAlphabetSize]);
          items.push_back(c[0]);
        }
      }
      std::string pattern = Escape(items, rng() % 2 == 0);
      Strings expected;
      for (const std::string& t : f.terms) {
        if (MatchItems(items, 0, ToCps(t), 0)) expected.push_back(t);
      }
      ASSERT_EQ(f.Wildcard(pattern), expected) << pattern;

      // Fuzzy with the cap at length - 1.
      std::string word = random_word(5);
      uint64_t distance = rng() % 4;
      std::u32string wcps = ToCps(word);
      size_t cap = wcps.empty() ? 0 : wcps.size() - 1;
      size_t max = std::min<size_t>(distance, cap);
      Strings fuzzy_expected;
      for (const std::string& t : f.terms) {
        if (OsaDistance(wcps, ToCps(t)) <= max) fuzzy_expected.push_back(t);
      }
      ASSERT_EQ(f.Fuzzy(word, distance), fuzzy_expected)
          << word << " ~" << distance;
    }
  }
}

// Dense vocabularies of longer words over three letters, where one-edit
// neighbours abound: every edit at every position, and prefixes of a word
// ending it (a trailing wildcard takes their whole subtree).
TEST(TokenSetTest, OneEditAndPrefixExpansionsAgreeWithBruteForce) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    // Words over a few letters, one of two bytes: edits at the start of a
    // term look its next characters up among all nodes two and three deep.
    auto random_word = [&] {
      std::string w;
      for (int n = 1 + static_cast<int>(rng() % 8); n > 0; --n) {
        w += std::array<const char*, 4>{"a", "b", "c", "\xC3\xA9"}[rng() % 4];
      }
      return w;
    };
    std::set<std::string> unique;
    for (int i = 0; i < 300; ++i) unique.insert(random_word());
    Fixture f(std::vector<std::string>(unique.begin(), unique.end()));
    for (int q = 0; q < 30; ++q) {
      const std::string& word = f.terms[rng() % f.terms.size()];
      const std::string probe =
          q % 3 == 0 ? word : q % 3 == 1 ? word + "c" : random_word();
      const std::string head =
          word.substr(0, IsCharBoundary(word, std::min<size_t>(2, word.size()))
                             ? 2
                             : 3);
      const bool editable = ToCps(probe).size() >= 2;  // distance capped
      Strings fuzzy, prefixed;
      for (const std::string& t : f.terms) {
        if (editable && OsaDistance(ToCps(probe), ToCps(t)) <= 1) {
          fuzzy.push_back(t);
        }
        if (t.starts_with(head)) prefixed.push_back(t);
      }
      if (editable) {
        ASSERT_EQ(f.Fuzzy(probe, 1), fuzzy) << probe;
      }
      ASSERT_EQ(f.Wildcard(head + "*"), prefixed) << word;
    }
  }
}

TEST(TokenSetTest, ExpansionsReportEachTermOnce) {
  Fixture f({"aaa", "aa", "a", "aaaa"});
  std::vector<uint32_t> ids;
  f.set.ExpandWildcard("*a*a*", &ids);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2, 3}));
  ids.clear();
  f.set.ExpandFuzzy("aaa", 2, &ids);
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 1, 2, 3}));
}

}  // namespace
}  // namespace vrim
