// The string-rewriting runtime every generated stemmer runs on: a mutable
// UTF-8 word, a cursor moving over it in either direction, the two limits,
// the marked slice [bra, ket), and the primitive tests and rewrites.
//
// Positions are byte offsets and always lie on character boundaries. The
// word is borrowed from the caller until the first rewrite and owned from
// then on, so a word that no rule changes is never copied until the end.
//
// Forward operations work between the cursor and `limit`; backward ones
// between `limit_backward` and the cursor, acting on the text just before
// the cursor.
#ifndef VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_
#define VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_

#include <cstdint>
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
};

// A sorted among table. Forward tables are sorted by byte-wise comparison
// of their texts, backward tables by their texts read from the last byte.
// `edge_bytes` is a 256-bit set of the bytes with which entries begin
// (forward) or end (backward); `has_empty` says an entry has empty text,
// which disables the pre-check that the set allows.
struct AmongTable {
  const Among* entries;
  int count;
  uint64_t edge_bytes[4];
  bool has_empty;
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

  // Moves the current text out: a copy when nothing was rewritten.
  std::string TakeResult();

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
  int find_among(const AmongTable& table, void* context);
  int find_among_b(const AmongTable& table, void* context);

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
  // One character forward from `pos` (pos < size()).
  int NextCharPos(int pos) const {
    ++pos;
    while (pos < size_ && (static_cast<uint8_t>(data_[pos]) & 0xC0) == 0x80) ++pos;
    return pos;
  }
  // One character backward from `pos` (pos > 0).
  int PrevCharPos(int pos) const {
    --pos;
    while (pos > 0 && (static_cast<uint8_t>(data_[pos]) & 0xC0) == 0x80) --pos;
    return pos;
  }
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
  // Decodes the character at `pos` (forward) or before `pos` (backward).
  char32_t CharAt(int pos, int* width) const;
  char32_t CharBefore(int pos, int* width) const;

  const char* data_;
  int size_;
  bool owned_ = false;
  std::string buffer_;  // the text once owned; data_ points into it
};

}  // namespace vrim::snowball

#endif  // VRIM_STEMMERS_SNOWBALL_SNOWBALL_ENV_H_
