// The string-rewriting runtime every generated stemmer runs on: a mutable
// UTF-8 word, a cursor moving over it in either direction, the two limits,
// the marked slice [bra, ket), and the primitive tests and rewrites.
//
// Positions are byte offsets and always lie on character boundaries. The
// word is borrowed from the caller until the first rewrite and owned from
// then on, so a word that no rule changes is never copied until the end.
// Owned text lives in a buffer inside the environment while it is short,
// so stemming a typical word allocates nothing but its result.
//
// Forward operations work between the cursor and `limit`; backward ones
// between `limit_backward` and the cursor, acting on the text just before
// the cursor.
#ifndef VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_
#define VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vrim::snowball {

class SnowballEnv;

// A test attached to an among entry. `context` is the stemmer's private
// state (its region marks and flags).
using AmongCondition = bool (*)(SnowballEnv& env, void* context);

// One row of a constant among table.
struct Among {
  const char* text;
  int size;             // byte length of `text`
  int substring_i;      // longest other entry that is a prefix (forward) or
                        // suffix (backward) of this one; -1 if none
  int result;           // never 0: a case number, or -1 for "match only"
  AmongCondition condition;  // may be null
  // The first 8 bytes of `text` in comparison order (from its first byte
  // for forward tables, from its last byte for backward ones), byte c in
  // bits 8c..8c+7, zero-padded: lets the search compare 8 bytes at once
  // without following `text`. See AmongHead().
  uint64_t head;
};

// The `head` of an among entry with text s[0, n).
constexpr uint64_t AmongHead(const char* s, int n, bool backward) {
  uint64_t head = 0;
  for (int c = 0; c < n && c < 8; ++c) {
    const uint8_t b = static_cast<uint8_t>(backward ? s[n - 1 - c] : s[c]);
    head |= uint64_t{b} << (8 * c);
  }
  return head;
}

// A sorted among table. Forward tables are sorted by byte-wise comparison
// of their texts, backward tables by their texts read from the last byte.
// `edge_bytes` is a 256-bit set of the bytes with which entries begin
// (forward) or end (backward); when the byte at the cursor is not in it, no
// entry but an empty one can match. `has_empty` says entry 0 has empty text.
// `starts`, when not null, has 257 entries: the entries whose edge byte is b
// are entries[starts[b], starts[b + 1]), so the bisection can start within
// that range (they are contiguous in sort order).
// `pair_masks`, when not null, refines that pre-check with the byte next to
// the edge byte (the second byte of a forward text, the last but one of a
// backward text): for edge byte e, bit (b & 63) of
// pair_masks[pair_index[e]] is set when an entry of two or more bytes can
// have b there; the mask is all ones when some entry is e alone.
struct AmongTable {
  const Among* entries;
  int count;
  uint64_t edge_bytes[4];
  bool has_empty;
  const uint16_t* starts;
  const uint64_t* pair_masks;
  const uint8_t* pair_index;  // 256 entries when pair_masks is not null
};

class SnowballEnv {
 public:
  // Borrows `word` until the first rewrite.
  // REQUIRES: `word` is valid UTF-8, shorter than 2^31 bytes, and outlives
  // this environment.
  explicit SnowballEnv(std::string_view word)
      : limit(static_cast<int>(word.size())),
        ket(static_cast<int>(word.size())),
        data_(word.data()),
        size_(static_cast<int>(word.size())) {}

  SnowballEnv(const SnowballEnv&) = delete;
  SnowballEnv& operator=(const SnowballEnv&) = delete;

  // The current text.
  const char* data() const { return data_; }
  int size() const { return size_; }
  std::string_view current() const { return std::string_view(data_, size_); }
  // Number of characters (code points) in the whole current text.
  int len() const;

  // The current text as a new string.
  std::string TakeResult() const { return std::string(data_, size_); }

  // --- Grouping tests. A grouping is a bit array over [min, max]; bit k is
  // bit (k & 7) of byte k >> 3, least significant bit first.
  bool in_grouping(const uint8_t* g, int min, int max);
  bool out_grouping(const uint8_t* g, int min, int max);
  bool in_grouping_b(const uint8_t* g, int min, int max);
  bool out_grouping_b(const uint8_t* g, int min, int max);
  // Forward over members (go_in) or non-members (go_out) to the first
  // character that stops the run; the cursor is left before it. On reaching
  // `limit` the cursor is left at `limit` and false is returned.
  bool go_in_grouping(const uint8_t* g, int min, int max);
  bool go_out_grouping(const uint8_t* g, int min, int max);
  // Backward forms: the cursor is left after (to the right of) the
  // character that stops the run, or at `limit_backward` on failure.
  bool go_in_grouping_b(const uint8_t* g, int min, int max);
  bool go_out_grouping_b(const uint8_t* g, int min, int max);

  // --- Literal tests.
  // Fails when cursor >= limit. Otherwise compares against the text up to
  // the end of the whole word (not only up to `limit`).
  bool eq_s(const char* s, int n);
  bool eq_s(const std::string& s) { return eq_s(s.data(), static_cast<int>(s.size())); }
  bool eq_s_b(const char* s, int n);
  bool eq_s_b(const std::string& s) { return eq_s_b(s.data(), static_cast<int>(s.size())); }

  // --- Among search: the longest entry matching at the cursor whose
  // condition succeeds. Returns its result, or 0 when none matches.
  int find_among(const AmongTable& table, void* context) {
    if (cursor >= limit || !EdgeByte(table, data_[cursor]) ||
        !PairMayMatch(table, data_[cursor], limit - cursor, cursor + 1)) {
      return table.has_empty ? MatchEmpty(table, context) : 0;
    }
    return FindAmong(table, context);
  }
  int find_among_b(const AmongTable& table, void* context) {
    if (cursor <= limit_backward || !EdgeByte(table, data_[cursor - 1]) ||
        !PairMayMatch(table, data_[cursor - 1], cursor - limit_backward, cursor - 2)) {
      return table.has_empty ? MatchEmpty(table, context) : 0;
    }
    return FindAmongB(table, context);
  }

  // --- Rewrites.
  // Replaces [start, end) by s[0, n); adjusts `limit` and the cursor and
  // returns the length adjustment. bra and ket are left alone.
  // REQUIRES: 0 <= start <= end <= size(), both on character boundaries.
  int replace_s(int start, int end, const char* s, int n);
  // Replaces [bra, ket) by s; ket becomes bra + n.
  void slice_from(const char* s, int n);
  void slice_from(const std::string& s) { slice_from(s.data(), static_cast<int>(s.size())); }
  void slice_del() { slice_from("", 0); }
  // replace_s, then bra and ket at or after `start` shift with the text.
  void insert(int start, int end, const char* s, int n);
  void insert(int start, int end, const std::string& s) {
    insert(start, end, s.data(), static_cast<int>(s.size()));
  }
  // An owned copy of [bra, ket).
  std::string slice_to() const { return std::string(data_ + bra, ket - bra); }

  // --- Character moves.
  // One character forward from `pos`.
  // REQUIRES: pos < size() and pos starts a character.
  int NextCharPos(int pos) const {
    const uint8_t b = static_cast<uint8_t>(data_[pos]);
    return pos + 1 + (b >= 0xC0) + (b >= 0xE0) + (b >= 0xF0);
  }
  // One character backward from `pos` (pos > 0).
  int PrevCharPos(int pos) const {
    --pos;
    while (pos > 0 && (static_cast<uint8_t>(data_[pos]) & 0xC0) == 0x80) --pos;
    return pos;
  }
  // The Snowball `goto 's'` for a literal: moves to the first position at
  // or after the cursor (forward) or at or before it (backward) where
  // eq_s(s) (eq_s_b(s)) would succeed, without consuming s. When there is
  // none, fails with the cursor at the limit it ran into.
  // REQUIRES: n > 0 and s is valid UTF-8.
  bool goto_s(const char* s, int n);
  bool goto_s_b(const char* s, int n);
  // n characters forward, failing (cursor unchanged) when `limit` would be
  // passed or n is negative.
  bool hop(int n);
  // n characters backward against `limit_backward`.
  bool hop_back(int n);

  int cursor = 0;
  int limit;
  int limit_backward = 0;
  int bra = 0;
  int ket;

 private:
  static bool EdgeByte(const AmongTable& table, char c) {
    const uint8_t b = static_cast<uint8_t>(c);
    return (table.edge_bytes[b >> 6] >> (b & 63)) & 1;
  }
  // The second part of the pre-check: with edge byte `edge` (an edge byte
  // of the table), `room` bytes before the limit and the neighbouring byte
  // at `next_pos` (valid when room >= 2), can an entry match?
  bool PairMayMatch(const AmongTable& table, char edge, int room, int next_pos) const {
    if (table.pair_masks == nullptr) return true;
    const uint64_t mask = table.pair_masks[table.pair_index[static_cast<uint8_t>(edge)]];
    if (mask == ~uint64_t{0}) return true;
    if (room < 2) return false;
    return (mask >> (static_cast<uint8_t>(data_[next_pos]) & 63)) & 1;
  }
  static bool Member(const uint8_t* g, int min, int max, char32_t ch) {
    const int k = static_cast<int>(ch) - min;
    if (k < 0 || static_cast<int>(ch) > max) return false;
    return (g[k >> 3] >> (k & 7)) & 1;
  }
  // limit and cursor after [start, end) changed length by `adjustment`.
  void AdjustAfterReplace(int start, int end, int adjustment) {
    limit += adjustment;
    if (cursor >= end) {
      cursor += adjustment;
    } else if (cursor > start) {
      cursor = start;
    }
  }
  // The binary searches behind find_among and find_among_b, for a cursor
  // whose next (previous) byte is an edge byte of the table.
  int FindAmong(const AmongTable& table, void* context);
  int FindAmongB(const AmongTable& table, void* context);
  // The outcome when only the empty entry (entry 0) can match.
  int MatchEmpty(const AmongTable& table, void* context) {
    const Among& w = table.entries[0];
    if (w.condition == nullptr) return w.result;
    const int o = cursor;
    if (!w.condition(*this, context)) return 0;
    cursor = o;
    return w.result;
  }
  // Decodes the character at `pos` (forward) or before `pos` (backward).
  char32_t CharAt(int pos, int* width) const {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(data_) + pos;
    const uint8_t c = s[0];
    if (c < 0x80) {
      *width = 1;
      return c;
    }
    if (c < 0xE0) {
      *width = 2;
      return (char32_t(c & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (c < 0xF0) {
      *width = 3;
      return (char32_t(c & 0x0F) << 12) | (char32_t(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
    }
    *width = 4;
    return (char32_t(c & 0x07) << 18) | (char32_t(s[1] & 0x3F) << 12) |
           (char32_t(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
  }
  char32_t CharBefore(int pos, int* width) const {
    const uint8_t* s = reinterpret_cast<const uint8_t*>(data_);
    const uint8_t c = s[pos - 1];
    if (c < 0x80) {
      *width = 1;
      return c;
    }
    const int start = PrevCharPos(pos);
    return CharAt(start, width);
  }

  const char* data_;
  int size_;
  // Once the text is owned it lives in `inline_` while it fits, else in
  // `heap_`; data_ points at whichever holds it.
  static constexpr int kInlineCapacity = 112;
  bool owned_ = false;
  int capacity_ = 0;  // of the owned storage
  std::string heap_;
  char inline_[kInlineCapacity];
};

// ---- Inline definitions of the hot primitives.

inline bool SnowballEnv::in_grouping(const uint8_t* g, int min, int max) {
  if (cursor >= limit) return false;
  int w;
  if (!Member(g, min, max, CharAt(cursor, &w))) return false;
  cursor += w;
  return true;
}

inline bool SnowballEnv::out_grouping(const uint8_t* g, int min, int max) {
  if (cursor >= limit) return false;
  int w;
  if (Member(g, min, max, CharAt(cursor, &w))) return false;
  cursor += w;
  return true;
}

inline bool SnowballEnv::in_grouping_b(const uint8_t* g, int min, int max) {
  if (cursor <= limit_backward) return false;
  int w;
  if (!Member(g, min, max, CharBefore(cursor, &w))) return false;
  cursor -= w;
  return true;
}

inline bool SnowballEnv::out_grouping_b(const uint8_t* g, int min, int max) {
  if (cursor <= limit_backward) return false;
  int w;
  if (Member(g, min, max, CharBefore(cursor, &w))) return false;
  cursor -= w;
  return true;
}

inline bool SnowballEnv::go_in_grouping(const uint8_t* g, int min, int max) {
  while (cursor < limit) {
    int w;
    if (!Member(g, min, max, CharAt(cursor, &w))) return true;
    cursor += w;
  }
  return false;
}

inline bool SnowballEnv::go_out_grouping(const uint8_t* g, int min, int max) {
  while (cursor < limit) {
    int w;
    if (Member(g, min, max, CharAt(cursor, &w))) return true;
    cursor += w;
  }
  return false;
}

inline bool SnowballEnv::go_in_grouping_b(const uint8_t* g, int min, int max) {
  while (cursor > limit_backward) {
    int w;
    if (!Member(g, min, max, CharBefore(cursor, &w))) return true;
    cursor -= w;
  }
  return false;
}

inline bool SnowballEnv::go_out_grouping_b(const uint8_t* g, int min, int max) {
  while (cursor > limit_backward) {
    int w;
    if (Member(g, min, max, CharBefore(cursor, &w))) return true;
    cursor -= w;
  }
  return false;
}

inline bool SnowballEnv::eq_s(const char* s, int n) {
  if (cursor >= limit || size_ - cursor < n) return false;
  const char* p = data_ + cursor;
  for (int i = 0; i < n; ++i) {
    if (p[i] != s[i]) return false;
  }
  cursor += n;
  while (cursor < size_ && (static_cast<uint8_t>(data_[cursor]) & 0xC0) == 0x80) ++cursor;
  return true;
}

inline bool SnowballEnv::eq_s_b(const char* s, int n) {
  if (cursor - limit_backward < n) return false;
  const int start = cursor - n;
  if (start > 0 && (static_cast<uint8_t>(data_[start]) & 0xC0) == 0x80) return false;
  const char* p = data_ + start;
  for (int i = 0; i < n; ++i) {
    if (p[i] != s[i]) return false;
  }
  cursor = start;
  return true;
}

inline bool SnowballEnv::goto_s(const char* s, int n) {
  if (cursor >= limit) return false;
  // s begins with a lead byte, so a byte match can only start a character.
  // Candidates for the first byte are found 8 bytes at a time.
  const uint8_t first = static_cast<uint8_t>(s[0]);
  const uint64_t ones = 0x0101010101010101ULL;
  const uint64_t pattern = ones * first;
  int p = cursor;
  while (p < limit) {
    if (p + 8 <= limit) {
      uint64_t chunk;
      std::memcpy(&chunk, data_ + p, 8);
      const uint64_t x = chunk ^ pattern;
      // Nonzero exactly when some byte of x is zero (a candidate).
      if (((x - ones) & ~x & (ones << 7)) == 0) {
        p += 8;
        continue;
      }
    }
    if (static_cast<uint8_t>(data_[p]) == first && size_ - p >= n &&
        (n == 1 || std::memcmp(data_ + p + 1, s + 1, n - 1) == 0)) {
      cursor = p;
      return true;
    }
    ++p;
  }
  cursor = limit;
  return false;
}

inline bool SnowballEnv::goto_s_b(const char* s, int n) {
  if (cursor <= limit_backward) return false;
  // s ends with a whole character, so a match always ends on a boundary.
  const char last = s[n - 1];
  for (int c = cursor; c - limit_backward >= n; --c) {
    if (data_[c - 1] == last && (n == 1 || std::memcmp(data_ + c - n, s, n - 1) == 0)) {
      cursor = c;
      return true;
    }
  }
  cursor = limit_backward;
  return false;
}

inline bool SnowballEnv::hop(int n) {
  if (n < 0) return false;
  int c = cursor;
  for (; n > 0; --n) {
    if (c >= limit) return false;
    c = NextCharPos(c);
  }
  cursor = c;
  return true;
}

inline bool SnowballEnv::hop_back(int n) {
  if (n < 0) return false;
  int c = cursor;
  for (; n > 0; --n) {
    if (c <= limit_backward) return false;
    c = PrevCharPos(c);
  }
  cursor = c;
  return true;
}

}  // namespace vrim::snowball

#endif  // VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_
