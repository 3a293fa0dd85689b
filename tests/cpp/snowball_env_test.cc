#include "analysis/stemmers/snowball/snowball_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace vrim::snowball {
namespace {

// Builds a sorted among table the way the generator does: forward tables by
// bytes, backward tables by bytes read from the end, substring_i pointing at
// the longest other entry that is a prefix (suffix), and the edge-byte set.
class TestTable {
 public:
  struct Entry {
    std::string text;
    int result;
    AmongCondition condition = nullptr;
  };

  TestTable(std::vector<Entry> entries, bool backward, bool with_starts = false)
      : entries_(std::move(entries)) {
    auto key = [backward](const std::string& s) {
      return backward ? std::string(s.rbegin(), s.rend()) : s;
    };
    std::sort(entries_.begin(), entries_.end(),
              [&](const Entry& a, const Entry& b) { return key(a.text) < key(b.text); });
    for (size_t i = 0; i < entries_.size(); ++i) {
      const std::string k = key(entries_[i].text);
      int sub = -1;
      for (int j = static_cast<int>(i) - 1; j >= 0; --j) {
        const std::string other = key(entries_[j].text);
        if (other.size() < k.size() && k.compare(0, other.size(), other) == 0) {
          sub = j;
          break;
        }
      }
      const int size = static_cast<int>(entries_[i].text.size());
      rows_.push_back({entries_[i].text.data(), size, sub, entries_[i].result,
                       entries_[i].condition,
                       AmongHead(entries_[i].text.data(), size, backward)});
    }
    table_ = AmongTable{rows_.data(), static_cast<int>(rows_.size()), {0, 0, 0, 0}, false,
                        nullptr, nullptr, nullptr};
    std::vector<int> edges;
    for (const Entry& e : entries_) {
      if (e.text.empty()) {
        table_.has_empty = true;
        edges.push_back(-1);
        continue;
      }
      const uint8_t b = static_cast<uint8_t>(backward ? e.text.back() : e.text.front());
      table_.edge_bytes[b >> 6] |= uint64_t{1} << (b & 63);
      edges.push_back(b);
    }
    if (with_starts) {
      // Pair masks, one per edge byte in byte order.
      for (int b = 0; b < 256; ++b) {
        if (!((table_.edge_bytes[b >> 6] >> (b & 63)) & 1)) continue;
        uint64_t m = 0;
        for (const Entry& e : entries_) {
          if (e.text.empty()) continue;
          const uint8_t edge = static_cast<uint8_t>(backward ? e.text.back() : e.text.front());
          if (edge != b) continue;
          if (e.text.size() == 1) {
            m = ~uint64_t{0};
            break;
          }
          const uint8_t next =
              static_cast<uint8_t>(backward ? e.text[e.text.size() - 2] : e.text[1]);
          m |= uint64_t{1} << (next & 63);
        }
        pairs_.push_back(m);
      }
      pair_index_.assign(256, 0);
      for (int b = 0, r = 0; b < 256; ++b) {
        if ((table_.edge_bytes[b >> 6] >> (b & 63)) & 1) pair_index_[b] = static_cast<uint8_t>(r++);
      }
      table_.pair_masks = pairs_.data();
      table_.pair_index = pair_index_.data();
    }
    if (with_starts) {
      for (int b = 0; b <= 256; ++b) {
        starts_.push_back(static_cast<uint16_t>(
            std::count_if(edges.begin(), edges.end(), [b](int e) { return e < b; })));
      }
      table_.starts = starts_.data();
    }
  }

  const AmongTable& table() const { return table_; }

 private:
  std::vector<Entry> entries_;
  std::vector<Among> rows_;
  std::vector<uint16_t> starts_;
  std::vector<uint64_t> pairs_;
  std::vector<uint8_t> pair_index_;
  AmongTable table_;
};

bool Fails(SnowballEnv&, void*) { return false; }
bool Succeeds(SnowballEnv&, void*) { return true; }
// A condition that moves the cursor and fails.
bool MovesAndFails(SnowballEnv& env, void*) {
  env.cursor = 0;
  return false;
}

// Vowels a, e, i, o, u, ü as a grouping over [97, 252].
struct Vowels {
  uint8_t bits[20] = {};
  int min = 'a';
  int max = 0xFC;
  Vowels() {
    for (char32_t ch : {U'a', U'e', U'i', U'o', U'u', U'ü'}) {
      const int k = static_cast<int>(ch) - min;
      bits[k >> 3] |= 1 << (k & 7);
    }
  }
};

TEST(SnowballEnvTest, StartsOverTheWholeWord) {
  SnowballEnv env("wörd");
  EXPECT_EQ(env.cursor, 0);
  EXPECT_EQ(env.limit, 5);
  EXPECT_EQ(env.limit_backward, 0);
  EXPECT_EQ(env.bra, 0);
  EXPECT_EQ(env.ket, 5);
  EXPECT_EQ(env.len(), 4);
  EXPECT_EQ(env.TakeResult(), "wörd");
}

TEST(SnowballEnvTest, EqSFailsAtLimitEvenWhenEmpty) {
  SnowballEnv env("abc");
  env.cursor = 3;
  EXPECT_FALSE(env.eq_s("", 0));
  env.cursor = 1;
  env.limit = 1;
  EXPECT_FALSE(env.eq_s("", 0));
  EXPECT_FALSE(env.eq_s("b", 1));
  EXPECT_EQ(env.cursor, 1);
}

TEST(SnowballEnvTest, EqSComparesPastLimit) {
  SnowballEnv env("abcd");
  env.cursor = 1;
  env.limit = 2;
  EXPECT_TRUE(env.eq_s("bcd", 3));
  EXPECT_EQ(env.cursor, 4);  // past limit
  env.cursor = 1;
  EXPECT_FALSE(env.eq_s("bcde", 4));  // runs off the whole word
  EXPECT_EQ(env.cursor, 1);
}

TEST(SnowballEnvTest, EqSBChecksRoomAndBoundary) {
  SnowballEnv env("xüb");  // x, C3 BC, b
  env.cursor = 4;
  env.limit_backward = 2;
  EXPECT_FALSE(env.eq_s_b("üb", 3));  // longer than cursor - limit_backward
  EXPECT_EQ(env.cursor, 4);
  env.limit_backward = 0;
  EXPECT_FALSE(env.eq_s_b("\xBC" "b", 2));  // would start inside ü
  EXPECT_TRUE(env.eq_s_b("üb", 3));
  EXPECT_EQ(env.cursor, 1);
  EXPECT_FALSE(env.eq_s_b("y", 1));
  EXPECT_EQ(env.cursor, 1);
}

TEST(SnowballEnvTest, FindAmongPicksLongestAndFallsBackOnCondition) {
  for (bool with_starts : {false, true}) {
    TestTable plain({{"a", 1}, {"ab", 2}}, /*backward=*/false, with_starts);
    SnowballEnv env("abc");
    EXPECT_EQ(env.find_among(plain.table(), nullptr), 2);
    EXPECT_EQ(env.cursor, 2);

    TestTable guarded({{"a", 1}, {"ab", 2, &Fails}}, false, with_starts);
    SnowballEnv env2("abc");
    EXPECT_EQ(env2.find_among(guarded.table(), nullptr), 1);
    EXPECT_EQ(env2.cursor, 1);

    // The limit cuts matches short.
    SnowballEnv env3("abc");
    env3.limit = 1;
    EXPECT_EQ(env3.find_among(plain.table(), nullptr), 1);
    EXPECT_EQ(env3.cursor, 1);
  }
}

TEST(SnowballEnvTest, FindAmongOnEmptyTextNeedsEmptyEntry) {
  TestTable without({{"a", 1}, {"b", 2}}, false);
  SnowballEnv env("");
  EXPECT_EQ(env.find_among(without.table(), nullptr), 0);
  TestTable with({{"", 3}, {"a", 1}}, false);
  EXPECT_EQ(env.find_among(with.table(), nullptr), 3);
  EXPECT_EQ(env.cursor, 0);
  // A non-edge byte still reaches the empty entry, condition included.
  SnowballEnv env2("zz");
  EXPECT_EQ(env2.find_among(with.table(), nullptr), 3);
  TestTable guarded({{"", 3, &Fails}, {"a", 1}}, false);
  EXPECT_EQ(env2.find_among(guarded.table(), nullptr), 0);
}

TEST(SnowballEnvTest, FindAmongFailedConditionLeavesCursorWhereItWas) {
  TestTable table({{"bc", 1, &MovesAndFails}}, false);
  SnowballEnv env("abc");
  env.cursor = 1;
  EXPECT_EQ(env.find_among(table.table(), nullptr), 0);
  EXPECT_EQ(env.cursor, 0);
}

TEST(SnowballEnvTest, FindAmongAgreesWithBruteForceOnManyEntries) {
  // Every lookup must give the longest matching entry, in both directions,
  // with or without the per-byte ranges, from every cursor position, also
  // for entries longer than the 8 bytes compared at once.
  std::vector<TestTable::Entry> entries;
  const char* texts[] = {"", "s", "es", "ies", "sses", "ss", "us", "ed", "eed", "ing",
                         "ingly", "edly", "eedly", "ly", "ö", "ös", "чь", "ь", "ация",
                         "формация", "информ", "nationally", "rationally", "ationally",
                         "national", "in", "inf", "r", "ra", "ингинг"};
  int result = 1;
  for (const char* t : texts) entries.push_back({t, result++});
  const std::string words[] = {"cats", "flies", "agreedly", "bus", "running", "höös",
                               "ночь", "информация", "", "x", "irrationally", "national",
                               "nationall", "ингингинг", "rationalinformация"};
  for (bool backward : {false, true}) {
    for (bool with_starts : {false, true}) {
      TestTable table(entries, backward, with_starts);
      for (const std::string& w : words) {
        for (int c = 0; c <= static_cast<int>(w.size()); ++c) {
          if (c < static_cast<int>(w.size()) && (static_cast<uint8_t>(w[c]) & 0xC0) == 0x80) {
            continue;
          }
          const int size = static_cast<int>(w.size());
          // The whole word, then a limit halfway to the word's edge.
          for (int bound : {backward ? 0 : size, backward ? c / 2 : (c + size) / 2}) {
            int best = 0;
            int best_len = -1;
            for (const TestTable::Entry& e : entries) {
              const int n = static_cast<int>(e.text.size());
              const bool fits = backward ? n <= c - bound : n <= bound - c;
              const bool equal =
                  fits && w.compare(backward ? c - n : c, n, e.text) == 0;
              if (equal && n > best_len) {
                best = e.result;
                best_len = n;
              }
            }
            SnowballEnv env(w);
            env.cursor = c;
            if (backward) {
              env.limit_backward = bound;
              EXPECT_EQ(env.find_among_b(table.table(), nullptr), best) << w << " at " << c;
              if (best != 0) {
                EXPECT_EQ(env.cursor, c - best_len) << w << " at " << c;
              }
            } else {
              env.limit = bound;
              EXPECT_EQ(env.find_among(table.table(), nullptr), best) << w << " at " << c;
              if (best != 0) {
                EXPECT_EQ(env.cursor, c + best_len) << w << " at " << c;
              }
            }
          }
        }
      }
    }
  }
}

TEST(SnowballEnvTest, FindAmongBStopsAtLimitBackward) {
  TestTable table({{"b", 1}, {"ab", 2}, {"cab", 3, &Succeeds}}, /*backward=*/true);
  SnowballEnv env("xcab");
  env.cursor = 4;
  EXPECT_EQ(env.find_among_b(table.table(), nullptr), 3);
  EXPECT_EQ(env.cursor, 1);
  env.cursor = 4;
  env.limit_backward = 2;
  EXPECT_EQ(env.find_among_b(table.table(), nullptr), 2);
  EXPECT_EQ(env.cursor, 2);
}

TEST(SnowballEnvTest, ReplaceSMovesCursorByTheRules) {
  struct Case {
    int cursor;
    int expected;
  };
  // Replace [2, 4) of "abcdef" by "XYZ" (adjustment +1).
  for (const Case& c : {Case{0, 0}, Case{2, 2}, Case{3, 2}, Case{4, 5}, Case{6, 7}}) {
    const std::string word = "abcdef";
    SnowballEnv env(word);
    env.cursor = c.cursor;
    env.bra = 1;
    env.ket = 5;
    EXPECT_EQ(env.replace_s(2, 4, "XYZ", 3), 1);
    EXPECT_EQ(env.cursor, c.expected) << "cursor " << c.cursor;
    EXPECT_EQ(env.limit, 7);
    EXPECT_EQ(env.bra, 1);  // not adjusted
    EXPECT_EQ(env.ket, 5);
    EXPECT_EQ(env.current(), "abXYZef");
    EXPECT_EQ(word, "abcdef");  // the borrowed input is never written
  }
}

TEST(SnowballEnvTest, RewritesMatchAModelAcrossBufferSizes) {
  // Grow a word well past any small internal buffer and shrink it again,
  // checking every step against plain string edits.
  const std::string input(90, 'a');
  SnowballEnv env(input);
  std::string model = input;
  for (int step = 0; step < 40; ++step) {
    const int size = static_cast<int>(model.size());
    const int start = (step * 7) % (size + 1);
    const int end = std::min(size, start + (step % 3));
    const std::string piece = step < 25 ? "xyz" + std::to_string(step) : "";
    env.cursor = 0;
    env.replace_s(start, end, piece.data(), static_cast<int>(piece.size()));
    model.replace(start, end - start, piece);
    ASSERT_EQ(env.current(), model) << "step " << step;
    ASSERT_EQ(env.limit, static_cast<int>(model.size()));
  }
  EXPECT_EQ(env.TakeResult(), model);
  EXPECT_EQ(input, std::string(90, 'a'));
}

TEST(SnowballEnvTest, SliceOperations) {
  SnowballEnv env("walking");
  env.bra = 4;
  env.ket = 7;
  EXPECT_EQ(env.slice_to(), "ing");
  env.slice_from("ed", 2);
  EXPECT_EQ(env.current(), "walked");
  EXPECT_EQ(env.ket, 6);
  env.bra = 4;
  env.slice_del();
  EXPECT_EQ(env.current(), "walk");
  EXPECT_EQ(env.ket, 4);
  EXPECT_EQ(env.limit, 4);
  EXPECT_EQ(env.TakeResult(), "walk");
}

TEST(SnowballEnvTest, InsertShiftsMarksAtOrAfterStart) {
  SnowballEnv env("abcd");
  env.bra = 2;
  env.ket = 3;
  env.cursor = 2;
  env.insert(2, 2, "xy", 2);
  EXPECT_EQ(env.current(), "abxycd");
  EXPECT_EQ(env.bra, 4);
  EXPECT_EQ(env.ket, 5);
  EXPECT_EQ(env.cursor, 4);
  env.insert(5, 5, "z", 1);  // after bra, at ket
  EXPECT_EQ(env.bra, 4);
  EXPECT_EQ(env.ket, 6);
}

TEST(SnowballEnvTest, MultiByteCharactersMoveAsWholes) {
  const std::string word = "üжb€𝄞";  // 2, 2, 1, 3, 4 bytes
  SnowballEnv env(word);
  Vowels v;
  EXPECT_TRUE(env.in_grouping(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 2);
  EXPECT_FALSE(env.in_grouping(v.bits, v.min, v.max));
  EXPECT_TRUE(env.out_grouping(v.bits, v.min, v.max));  // ж is decoded, not a byte
  EXPECT_EQ(env.cursor, 4);
  EXPECT_TRUE(env.hop(3));
  EXPECT_EQ(env.cursor, 12);
  EXPECT_FALSE(env.hop(1));  // would pass limit
  EXPECT_EQ(env.cursor, 12);
  EXPECT_FALSE(env.hop(-1));
  EXPECT_TRUE(env.hop_back(2));
  EXPECT_EQ(env.cursor, 5);
  EXPECT_TRUE(env.out_grouping_b(v.bits, v.min, v.max));  // b
  EXPECT_TRUE(env.out_grouping_b(v.bits, v.min, v.max));  // ж
  EXPECT_EQ(env.cursor, 2);
  EXPECT_TRUE(env.in_grouping_b(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 0);
  EXPECT_FALSE(env.in_grouping_b(v.bits, v.min, v.max));
  env.limit_backward = 0;
  env.cursor = 12;
  EXPECT_FALSE(env.hop_back(6));
  EXPECT_EQ(env.cursor, 12);
}

TEST(SnowballEnvTest, GoGroupingStopsBesideTheCharacter) {
  Vowels v;
  SnowballEnv env("strüht");
  EXPECT_TRUE(env.go_out_grouping(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 3);  // before ü
  EXPECT_TRUE(env.go_in_grouping(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 5);  // before h
  env.cursor = env.limit;
  EXPECT_TRUE(env.go_out_grouping_b(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 5);  // after ü
  EXPECT_TRUE(env.go_in_grouping_b(v.bits, v.min, v.max));
  EXPECT_EQ(env.cursor, 3);
  SnowballEnv none("xyz");
  EXPECT_FALSE(none.go_out_grouping(v.bits, v.min, v.max));
  EXPECT_EQ(none.cursor, 3);
  EXPECT_FALSE(none.go_out_grouping_b(v.bits, v.min, v.max));
  EXPECT_EQ(none.cursor, 0);
}

TEST(SnowballEnvTest, GotoLiteralFindsNearestMatchWithinLimits) {
  SnowballEnv env("l'été'x");
  EXPECT_TRUE(env.goto_s("'", 1));
  EXPECT_EQ(env.cursor, 1);
  env.cursor = 2;
  EXPECT_TRUE(env.goto_s("'", 1));
  EXPECT_EQ(env.cursor, 7);
  env.cursor = 2;
  env.limit = 7;
  EXPECT_FALSE(env.goto_s("'", 1));  // the match starts at limit
  EXPECT_EQ(env.cursor, 7);
  env.limit = env.size();
  env.cursor = env.size();
  EXPECT_TRUE(env.goto_s_b("é", 2));
  EXPECT_EQ(env.cursor, 7);
  env.limit_backward = 6;
  EXPECT_FALSE(env.goto_s_b("é", 2));
  EXPECT_EQ(env.cursor, 6);

  // Long words: every start position and limit against a plain search.
  const std::string word = "abcdefghij'klmnopqrsé'tuvwxyzéé'";
  for (const std::string lit : {"'", "é", "'t", "zéé'", "q"}) {
    for (int start = 0; start <= static_cast<int>(word.size()); ++start) {
      for (int limit : {static_cast<int>(word.size()), 20}) {
        if (start < static_cast<int>(word.size()) &&
            (static_cast<uint8_t>(word[start]) & 0xC0) == 0x80) {
          continue;
        }
        SnowballEnv w(word);
        w.cursor = start;
        w.limit = limit;
        size_t found = start < limit ? word.find(lit, start) : std::string::npos;
        if (found != std::string::npos && static_cast<int>(found) >= limit) {
          found = std::string::npos;
        }
        EXPECT_EQ(w.goto_s(lit.data(), static_cast<int>(lit.size())), found != std::string::npos)
            << lit << " from " << start;
        if (found != std::string::npos) {
          EXPECT_EQ(w.cursor, static_cast<int>(found)) << lit << " from " << start;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vrim::snowball
