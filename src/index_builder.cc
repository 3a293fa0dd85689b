#include "index_builder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "languages/trimmer.h"
#include "normalize.h"
#include "quote.h"
#include "tokenizer.h"
#include "unicode.h"
#include "utf8.h"
#include "varint.h"

namespace vrim {

namespace {

constexpr uint32_t kNone = UINT32_MAX;
constexpr uint32_t kPending = UINT32_MAX - 1;
// Marks a token without a position until its term's length is known.
constexpr uint64_t kNoLength = UINT64_MAX;

[[noreturn]] void BrokenPrecondition(const std::string& message) {
  std::fprintf(stderr, "vrim: %s\n", message.c_str());
  std::abort();
}

inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap64(v);
  }
  return v;
}

inline uint64_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) {
    v = __builtin_bswap32(v);
  }
  return v;
}

inline uint64_t Mix(uint64_t h) {
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  h ^= h >> 32;
  return h;
}

// A string with its hash and its first eight bytes, computed once per token
// and shared by every table lookup of it. Short strings are read with a few
// overlapping loads rather than a byte loop, which would stall the load of
// the assembled word.
struct HashedKey {
  std::string_view text;
  uint64_t prefix;  // bytes 0..7 (little-endian order), zero padded
  uint64_t hash;
};

inline HashedKey MakeKey(std::string_view s) {
  const char* p = s.data();
  const size_t n = s.size();
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0xC2B2AE3D27D4EB4FULL);
  uint64_t prefix;
  if (n >= 8) {
    prefix = Load64(p);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      h = (h ^ Load64(p + i)) * 0xBF58476D1CE4E5B9ULL;
      h ^= h >> 31;
    }
    if (i < n) h = (h ^ Load64(p + n - 8)) * 0x94D049BB133111EBULL;
  } else {
    if (n >= 4) {
      prefix = Load32(p) | ((Load32(p + n - 4) >> (8 * (8 - n))) << 32);
    } else if (n > 0) {
      prefix = static_cast<uint8_t>(p[0]) |
               (uint64_t{static_cast<uint8_t>(p[n / 2])} << (8 * (n / 2))) |
               (uint64_t{static_cast<uint8_t>(p[n - 1])} << (8 * (n - 1)));
    } else {
      prefix = 0;
    }
    h = (h ^ prefix) * 0x94D049BB133111EBULL;
  }
  return HashedKey{s, prefix, Mix(h)};
}

// Open-addressing map from strings to dense ids. The strings live with the
// caller, which passes an id -> string accessor to lookups of long keys.
// A slot holds 31 bits of the key's hash (which also pick the slot), a flag
// for keys of at most 7 bytes, the id and the key's first 8 bytes (for a
// short key: its bytes and its length), so that short keys, most terms,
// are matched without touching the caller's strings.
class IdTable {
 public:
  template <class KeyOf>
  int64_t Find(const HashedKey& key, const KeyOf& key_of) const {
    if (slots_.empty()) return -1;
    const Slot probe = SlotFor(key, 0);
    for (size_t i = probe.tag & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0) return -1;
      if (s.tag == probe.tag && s.prefix == probe.prefix &&
          ((probe.tag & 1) != 0 || key_of(s.id_plus_one - 1) == key.text)) {
        return s.id_plus_one - 1;
      }
    }
  }

  // Starts loading the slot a lookup of `hash` will probe first.
  void Prefetch(uint64_t hash) const {
    if (!slots_.empty()) {
      __builtin_prefetch(&slots_[static_cast<uint32_t>(hash >> 32) & mask_]);
    }
  }

  // REQUIRES: the key is not in the table; id < UINT32_MAX.
  void Insert(const HashedKey& key, uint32_t id) {
    if ((size_ + 1) * 10 > slots_.size() * 7) Grow();
    Place(slots_, mask_, SlotFor(key, id + 1));
    ++size_;
  }

  void Clear() {
    slots_.clear();
    mask_ = 0;
    size_ = 0;
  }

 private:
  struct Slot {
    uint64_t prefix;
    uint32_t tag;  // hash bits, lowest bit set for a short key
    uint32_t id_plus_one;  // 0 marks an empty slot
  };

  static Slot SlotFor(const HashedKey& key, uint32_t id_plus_one) {
    const bool short_key = key.text.size() <= 7;
    Slot s;
    s.prefix = short_key ? key.prefix | (uint64_t{key.text.size()} << 56)
                         : key.prefix;
    s.tag = (static_cast<uint32_t>(key.hash >> 32) & ~1u) |
            (short_key ? 1u : 0u);
    s.id_plus_one = id_plus_one;
    return s;
  }

  static void Place(std::vector<Slot>& slots, size_t mask, const Slot& slot) {
    size_t i = slot.tag & mask;
    while (slots[i].id_plus_one != 0) i = (i + 1) & mask;
    slots[i] = slot;
  }

  void Grow() {
    std::vector<Slot> bigger(slots_.empty() ? 16 : slots_.size() * 2,
                             Slot{0, 0, 0});
    const size_t mask = bigger.size() - 1;
    for (const Slot& s : slots_) {
      if (s.id_plus_one != 0) Place(bigger, mask, s);
    }
    slots_.swap(bigger);
    mask_ = mask;
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

// Terms of one build, stored back to back, numbered in order of first
// appearance.
class TermInterner {
 public:
  uint32_t Intern(const HashedKey& key, bool* added) {
    const int64_t found =
        table_.Find(key, [this](uint32_t id) { return this->term(id); });
    if (found >= 0) {
      *added = false;
      return static_cast<uint32_t>(found);
    }
    const uint32_t id = static_cast<uint32_t>(size());
    bytes_.append(key.text);
    ends_.push_back(bytes_.size());
    table_.Insert(key, id);
    *added = true;
    return id;
  }

  void Prefetch(uint64_t hash) const { table_.Prefetch(hash); }
  // Frees the lookup table; term() keeps working, Intern() must not be
  // called again.
  void DropTable() { table_ = IdTable(); }

  size_t size() const { return ends_.size(); }
  std::string_view term(uint32_t id) const {
    const size_t begin = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(bytes_).substr(begin, ends_[id] - begin);
  }

 private:
  std::string bytes_;
  std::vector<uint64_t> ends_;
  IdTable table_;
};

// Byte size of an encoded position list (positions.h) of `count` entries.
size_t EncodedPositionsSize(const uint8_t* data, uint64_t count) {
  const uint8_t* p = data;
  const bool common_length = GetVarint64Unchecked(&p) != 0;
  const uint64_t varints = common_length ? count : 2 * count;
  for (uint64_t i = 0; i < varints; ++i) {
    while (*p++ & 0x80) {
    }
  }
  return static_cast<size_t>(p - data);
}

// Sorts postings, with their parallel term ids, by (term, field, doc) in
// place: an MSD radix sort over digits of up to 11 bits of the three ids
// (most significant first, bits that are zero everywhere skipped), with
// insertion sort for short runs. In place matters: the postings are the
// largest structure of a build.
class PostingSorter {
 public:
  PostingSorter(Posting* postings, uint32_t* terms, size_t term_count,
                size_t field_count, size_t doc_count)
      : postings_(postings), terms_(terms) {
    AddLevels(kTerm, term_count);
    AddLevels(kField, field_count);
    AddLevels(kDoc, doc_count);
  }

  void Sort(size_t n) { SortRange(0, n, 0); }

 private:
  enum Component : uint8_t { kTerm, kField, kDoc };
  struct Level {
    Component component;
    uint8_t shift;
    uint32_t mask;
    // Bucket counts and cursors, kept per level because the counts are
    // still walked after deeper levels have run.
    std::vector<size_t> count, head, tail;
  };
  static constexpr size_t kInsertionSortBelow = 32;
  static constexpr int kMaxDigitBits = 11;

  void AddLevels(Component c, size_t id_bound) {
    const int bits =
        std::bit_width(static_cast<uint64_t>(id_bound > 0 ? id_bound - 1 : 0));
    if (bits == 0) return;
    const int digits = (bits + kMaxDigitBits - 1) / kMaxDigitBits;
    const int width = (bits + digits - 1) / digits;
    for (int shift = (digits - 1) * width; shift >= 0; shift -= width) {
      Level level;
      level.component = c;
      level.shift = static_cast<uint8_t>(shift);
      level.mask = (1u << width) - 1;
      level.count.resize(size_t{1} << width);
      level.head.resize(size_t{1} << width);
      level.tail.resize(size_t{1} << width);
      levels_.push_back(std::move(level));
    }
  }

  uint32_t Digit(size_t i, const Level& level) const {
    const uint32_t v = level.component == kTerm    ? terms_[i]
                       : level.component == kField ? postings_[i].field
                                                   : postings_[i].doc;
    return (v >> level.shift) & level.mask;
  }

  bool Less(size_t a, size_t b) const {
    if (terms_[a] != terms_[b]) return terms_[a] < terms_[b];
    const Posting& x = postings_[a];
    const Posting& y = postings_[b];
    return x.field != y.field ? x.field < y.field : x.doc < y.doc;
  }

  void Swap(size_t a, size_t b) {
    std::swap(postings_[a], postings_[b]);
    std::swap(terms_[a], terms_[b]);
  }

  void InsertionSort(size_t begin, size_t end) {
    for (size_t i = begin + 1; i < end; ++i) {
      for (size_t j = i; j > begin && Less(j, j - 1); --j) Swap(j, j - 1);
    }
  }

  void SortRange(size_t begin, size_t end, size_t level_index) {
    while (true) {
      if (end - begin < kInsertionSortBelow) {
        InsertionSort(begin, end);
        return;
      }
      if (level_index == levels_.size()) return;
      Level& lv = levels_[level_index];
      const size_t buckets = lv.count.size();
      std::vector<size_t>& count = lv.count;
      std::fill(count.begin(), count.end(), 0);
      for (size_t i = begin; i < end; ++i) ++count[Digit(i, lv)];
      // All keys share this digit: go on with the next without moving.
      if (count[Digit(begin, lv)] == end - begin) {
        ++level_index;
        continue;
      }
      size_t pos = begin;
      for (size_t b = 0; b < buckets; ++b) {
        lv.head[b] = pos;
        pos += count[b];
        lv.tail[b] = pos;
      }
      for (size_t b = 0; b < buckets; ++b) {
        while (lv.head[b] < lv.tail[b]) {
          const uint32_t v = Digit(lv.head[b], lv);
          if (v == b) {
            ++lv.head[b];
          } else {
            // The next swap into bucket v lands just after this one; start
            // loading it now, since the buckets' cursors are too many
            // streams for the hardware to follow.
            __builtin_prefetch(postings_ + std::min(lv.head[v] + 3, end - 1),
                               1);
            Swap(lv.head[b], lv.head[v]++);
          }
        }
      }
      // Deeper levels reuse their own buffers, never this level's counts.
      pos = begin;
      for (size_t b = 0; b < buckets; ++b) {
        const size_t c = count[b];
        if (c > 1) SortRange(pos, pos + c, level_index + 1);
        pos += c;
      }
      return;
    }
  }

  Posting* postings_;
  uint32_t* terms_;
  std::vector<Level> levels_;
};

// Term id -> slot for the distinct terms of one field, in a table sized to
// the field, so that grouping its occurrences stays in the nearest cache.
class LocalSlots {
 public:
  void Reset(size_t keys) {
    size_t capacity = 16;
    while (capacity < 2 * keys) capacity <<= 1;
    entries_.assign(capacity, Entry{kNone, 0});
    shift_ = 64 - std::countr_zero(capacity);
  }

  // The slot of `term`; claims `next` for it when it has none yet.
  uint32_t SlotOf(uint32_t term, uint32_t next, bool* added) {
    const size_t mask = entries_.size() - 1;
    for (size_t i = (term * 0x9E3779B97F4A7C15ULL) >> shift_;;
         i = (i + 1) & mask) {
      Entry& e = entries_[i];
      if (e.term == term) {
        *added = false;
        return e.slot;
      }
      if (e.term == kNone) {
        e = Entry{term, next};
        *added = true;
        return next;
      }
    }
  }

 private:
  struct Entry {
    uint32_t term;
    uint32_t slot;
  };
  std::vector<Entry> entries_;
  int shift_ = 60;
};

// Accumulates the postings of one build straight into the output: one
// posting per (term, field, document) with its positions already encoded,
// the term kept aside as an interned id. Finish() then orders the term
// dictionary by bytes and moves the postings into term order in place.
class PostingAccumulator {
 public:
  PostingAccumulator(const Language& language, IndexData* out)
      : language_(language),
        generic_tokenizer_(language.uses_generic_tokenizer(&turkish_)),
        out_(*out) {}

  // Reserves room for the postings and positions that `text_bytes` of new
  // text plus the base's are likely to produce, so that the two largest
  // arrays do not pass through doubling copies (which would briefly hold
  // both the old and the new array). The guesses are generous: capacity
  // that is never written stays virtual and costs no resident memory.
  void Reserve(uint64_t text_bytes, const IndexData* base) {
    const uint64_t postings =
        text_bytes / 12 + (base ? base->postings.size() : 0);
    const uint64_t positions =
        text_bytes / 2 + (base ? base->positions.size() : 0);
    out_.postings.reserve(postings);
    posting_term_.reserve(postings);
    out_.positions.reserve(positions);
  }

  // Copies the postings of the surviving base documents; `doc_map` gives
  // each base document's new id, or kNone when it is gone.
  void AddBasePostings(const IndexData& base,
                       const std::vector<uint32_t>& doc_map) {
    const uint8_t* base_positions =
        reinterpret_cast<const uint8_t*>(base.positions.data());
    for (size_t t = 0; t < base.terms.size(); ++t) {
      uint32_t id = kNone;
      for (uint64_t i = base.term_postings[t]; i < base.term_postings[t + 1];
           ++i) {
        Posting p = base.postings[i];
        if (doc_map[p.doc] == kNone) continue;
        if (id == kNone) id = Intern(base.terms[t]);
        p.doc = doc_map[p.doc];
        const uint64_t offset = p.positions_offset;
        p.positions_offset = out_.positions.size();
        if (p.position_count > 0) {
          const size_t size = EncodedPositionsSize(base_positions + offset,
                                                   p.position_count);
          out_.positions.append(base.positions, offset, size);
        }
        out_.postings.push_back(p);
        posting_term_.push_back(id);
      }
    }
  }

  // Analyses one field of one document, records its postings and returns
  // the field length (the number of tokens the pipeline kept).
  uint64_t AddField(std::string_view text, uint32_t field, uint32_t doc) {
    if (text.empty()) return 0;
    keys_.clear();
    if (generic_tokenizer_) {
      AnalyseGeneric(text);
    } else {
      AnalyseGeneral(text);
    }
    const size_t n = keys_.size();
    if (n == 0) return 0;

    // Lookups of the later tokens are started ahead of time: the tables
    // are larger than the caches, and their misses dominate otherwise.
    constexpr size_t kAhead = 16;
    for (size_t k = 0; k < std::min(n, kAhead); ++k) {
      surfaces_.Prefetch(keys_[k].key.hash);
    }
    token_term_.resize(n);
    token_surface_.resize(n);
    grouped_.resize(n);
    pending_.clear();
    size_t kept = 0;
    for (size_t k = 0; k < n; ++k) {
      if (k + kAhead < n) surfaces_.Prefetch(keys_[k + kAhead].key.hash);
      const KeyedToken& token = keys_[k];
      uint32_t surface;
      const uint32_t term = TermOf(token.key, &surface);
      if (term == kNone) continue;  // a stop word
      token_term_[kept] = term;
      token_surface_[kept] = surface;
      // A token without a position sits at 0 and spans its term.
      if (token.has_position) {
        grouped_[kept] = token.position;
      } else if (term == kPending) {
        grouped_[kept] = Position{0, kNoLength};
      } else {
        grouped_[kept] = Position{0, CountCodePoints(terms_.term(term))};
      }
      ++kept;
    }
    if (kept == 0) return 0;
    if (!pending_.empty()) ResolvePending(kept);

    // Group the occurrences by term without sorting: a term's first
    // occurrence in this field claims the next local slot.
    local_slots_.Reset(kept);
    local_terms_.clear();
    local_begin_.clear();
    for (size_t k = 0; k < kept; ++k) {
      bool added;
      const uint32_t slot = local_slots_.SlotOf(
          token_term_[k], static_cast<uint32_t>(local_terms_.size()), &added);
      if (added) {
        local_terms_.push_back(token_term_[k]);
        local_begin_.push_back(0);
      }
      token_term_[k] = slot;
      ++local_begin_[slot];
    }
    const size_t slots = local_terms_.size();
    uint32_t begin = 0;
    for (uint32_t& c : local_begin_) {
      const uint32_t count = c;
      c = begin;
      begin += count;
    }
    local_begin_.push_back(begin);
    cursor_.assign(local_begin_.begin(), local_begin_.end() - 1);
    scratch_.resize(kept);
    for (size_t k = 0; k < kept; ++k) {
      scratch_[cursor_[token_term_[k]]++] = grouped_[k];
    }
    for (size_t s = 0; s < slots; ++s) {
      one_term_.assign(scratch_.begin() + local_begin_[s],
                       scratch_.begin() + local_begin_[s + 1]);
      const uint32_t tf = static_cast<uint32_t>(one_term_.size());
      out_.postings.push_back(
          Posting{field, doc, tf, tf, out_.positions.size()});
      posting_term_.push_back(local_terms_[s]);
      EncodePositions(&one_term_, &out_.positions);
    }
    return kept;
  }

  // Sorts the terms by bytes, renumbers them, and sorts the postings by
  // (term, field, document).
  void Finish() {
    const uint32_t term_count = static_cast<uint32_t>(terms_.size());
    // Sort by the first eight bytes as one big-endian integer (padded with
    // zeros), and compare whole terms only where those agree.
    std::vector<std::pair<uint64_t, uint32_t>> keyed(term_count);
    for (uint32_t id = 0; id < term_count; ++id) {
      std::string_view t = terms_.term(id);
      uint64_t key = 0;
      for (size_t i = 0; i < 8; ++i) {
        key = (key << 8) | (i < t.size() ? static_cast<uint8_t>(t[i]) : 0);
      }
      keyed[id] = {key, id};
    }
    std::sort(keyed.begin(), keyed.end(),
              [this](const std::pair<uint64_t, uint32_t>& a,
                     const std::pair<uint64_t, uint32_t>& b) {
                if (a.first != b.first) return a.first < b.first;
                return terms_.term(a.second) < terms_.term(b.second);
              });
    std::vector<uint32_t> order(term_count);
    for (uint32_t r = 0; r < term_count; ++r) order[r] = keyed[r].second;
    std::vector<std::pair<uint64_t, uint32_t>>().swap(keyed);
    terms_.DropTable();
    surfaces_ = TermInterner();
    std::vector<uint32_t>().swap(surface_term_);
    std::vector<uint32_t> rank(term_count);
    out_.terms.clear();
    out_.terms.reserve(term_count);
    for (uint32_t r = 0; r < term_count; ++r) {
      rank[order[r]] = r;
      out_.terms.emplace_back(terms_.term(order[r]));
    }
    // The build-time tables are no longer needed; free them before the
    // postings move.
    terms_ = TermInterner();
    std::vector<uint32_t>().swap(order);

    std::vector<Posting>& postings = out_.postings;
    out_.term_postings.assign(term_count + 1, 0);
    for (uint32_t& t : posting_term_) {
      t = rank[t];
      ++out_.term_postings[t + 1];
    }
    std::vector<uint32_t>().swap(rank);
    for (uint32_t t = 0; t < term_count; ++t) {
      out_.term_postings[t + 1] += out_.term_postings[t];
    }
    PostingSorter(postings.data(), posting_term_.data(), term_count,
                  out_.fields.size(), out_.refs.size())
        .Sort(postings.size());
    std::vector<uint32_t>().swap(posting_term_);
  }

 private:
  // Analysis for the languages on the generic tokenizer, whose tokenize()
  // is NormalizeAndTokenizeGeneric and whose trimmer is GenericTrim: the
  // tokens are spans of one normalized buffer per field, trimmed in place,
  // so no token is ever copied out. Gives exactly what the general path
  // gives for these languages.
  void AnalyseGeneric(std::string_view text) {
    spans_.clear();
    if (SplitPlainAscii(text, turkish_, language_.separators(), &spans_)) {
      // ASCII: lowercasing maps byte to byte and code points are bytes.
      buffer_.resize(text.size());
      for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool upper = static_cast<unsigned>(c - 'A') < 26u;
        buffer_[i] = static_cast<char>(upper ? c + 32 : c);
      }
      const char* data = buffer_.data();
      for (const ByteSpan& span : spans_) {
        size_t b = span.begin;
        size_t e = span.end;
        while (b < e && !IsAsciiWordByte(data[b])) ++b;
        if (b == e) continue;
        while (!IsAsciiWordByte(data[e - 1])) --e;
        AddKey(std::string_view(data + b, e - b), Position{b, e - b});
      }
      return;
    }
    buffer_ = turkish_ ? NormalizeTurkish(text) : NormalizeDefault(text);
    SplitGeneric(buffer_, language_.separators(), &spans_);
    const std::string_view normalized = buffer_;
    // Code point offsets, counted forward from the previous span's start.
    size_t counted_byte = 0;
    uint64_t counted_cp = 0;
    for (const ByteSpan& span : spans_) {
      counted_cp += CountCodePoints(
          normalized.substr(counted_byte, span.begin - counted_byte));
      counted_byte = span.begin;
      size_t b = span.begin;
      size_t e = span.end;
      uint64_t dropped, length;
      if (!TrimSpanToWordCharacters(normalized, &b, &e, &dropped, &length)) {
        continue;
      }
      AddKey(normalized.substr(b, e - b),
             Position{counted_cp + dropped, length});
    }
  }

  // Analysis through the language's own tokenizer and trimmer.
  void AnalyseGeneral(std::string_view text) {
    tokens_ = language_.tokenize(text);
    for (Token& token : tokens_) {
      if (!language_.trim(&token)) continue;
      const TokenMetadata& m = token.metadata;
      keys_.push_back(KeyedToken{MakeKey(token.text),
                                 Position{m.start, m.length},
                                 m.has_position});
    }
  }

  static bool IsAsciiWordByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return static_cast<unsigned>(u - 'a') < 26u ||
           static_cast<unsigned>(u - '0') < 10u || u == '_';
  }

  void AddKey(std::string_view text, Position position) {
    keys_.push_back(KeyedToken{MakeKey(text), position, true});
  }

  uint32_t Intern(std::string_view term) {
    bool added;
    return terms_.Intern(MakeKey(term), &added);
  }
  // The term a trimmed token text becomes: kNone for a stop word, kPending
  // for a text first seen in this field (ResolvePending settles it). Sets
  // `*surface` to the text's id.
  uint32_t TermOf(const HashedKey& key, uint32_t* surface) {
    bool added;
    *surface = surfaces_.Intern(key, &added);
    if (!added) return surface_term_[*surface];
    if (language_.is_stop_word(key.text)) {
      surface_term_.push_back(kNone);
      return kNone;
    }
    pending_.push_back(Pending{*surface, language_.stem(key.text)});
    surface_term_.push_back(kPending);
    return kPending;
  }

  // Interns the stems of the texts first seen in this field, all lookups
  // started together (each is likely a cache miss), then fills in the
  // tokens' terms and the lengths of tokens that had no position.
  void ResolvePending(size_t kept) {
    pending_keys_.clear();
    for (const Pending& p : pending_) {
      pending_keys_.push_back(MakeKey(p.stem));
      terms_.Prefetch(pending_keys_.back().hash);
    }
    for (size_t i = 0; i < pending_.size(); ++i) {
      bool added;
      surface_term_[pending_[i].surface] =
          terms_.Intern(pending_keys_[i], &added);
    }
    for (size_t k = 0; k < kept; ++k) {
      if (token_term_[k] == kPending) {
        token_term_[k] = surface_term_[token_surface_[k]];
      }
      if (grouped_[k].length == kNoLength) {
        grouped_[k].length = CountCodePoints(terms_.term(token_term_[k]));
      }
    }
  }

  const Language& language_;
  bool turkish_ = false;  // set by the initializer of generic_tokenizer_
  const bool generic_tokenizer_;
  IndexData& out_;
  TermInterner terms_;
  // Distinct trimmed token texts and the term each becomes (or kNone).
  TermInterner surfaces_;
  std::vector<uint32_t> surface_term_;
  std::vector<uint32_t> posting_term_;  // parallel to out_.postings

  // Per field occurrence scratch, reused.
  std::vector<uint32_t> local_terms_;
  std::vector<uint32_t> local_begin_;
  std::vector<uint32_t> cursor_;
  LocalSlots local_slots_;
  // The tokens the trimmer kept; their texts point into buffer_ or
  // tokens_.
  struct KeyedToken {
    HashedKey key;
    Position position;
    bool has_position;
  };
  std::vector<KeyedToken> keys_;
  std::string buffer_;            // one field's normalized text
  std::vector<ByteSpan> spans_;   // its tokens
  TokenList tokens_;              // or its tokens, on the general path
  std::vector<uint32_t> token_term_;
  std::vector<uint32_t> token_surface_;
  struct Pending {
    uint32_t surface;
    std::string stem;
  };
  std::vector<Pending> pending_;
  std::vector<HashedKey> pending_keys_;  // term id, then local slot
  std::vector<Position> grouped_;     // positions in token order
  std::vector<Position> scratch_;     // positions grouped by local slot
  std::vector<Position> one_term_;
};

std::string_view FieldText(const StagedDocument& doc, uint32_t field) {
  for (const auto& [id, text] : doc.fields) {
    if (id == field) return text;
  }
  return {};
}

void CheckFieldName(std::string_view name, const Language& language) {
  if (name.empty()) BrokenPrecondition("field name must not be empty");
  if (name.find('/') != std::string_view::npos) {
    BrokenPrecondition("field name " + Quote(name) +
                       " must not contain '/' (breaks FieldRef round-trip)");
  }
  std::vector<char32_t> separators;
  DecodeUtf8(language.separators(), &separators);
  std::vector<char32_t> cps;
  DecodeUtf8(name, &cps);
  for (char32_t c : cps) {
    if (IsWhiteSpace(c) || std::find(separators.begin(), separators.end(),
                                     c) != separators.end()) {
      BrokenPrecondition("field name " + Quote(name) +
                         " contains a separator and is unqueryable");
    }
  }
  if (name.find_first_of(":\\^~") != std::string_view::npos ||
      name[0] == '+' || name[0] == '-') {
    BrokenPrecondition(
        "field name " + Quote(name) +
        " contains a query operator and is unqueryable via field:term syntax");
  }
}

}  // namespace

// Staged references to their position in the staged list, so that staging
// replaces an existing document in constant time.
class IndexBuilder::RefTable {
 public:
  int64_t Find(const std::vector<StagedDocument>& staged,
               std::string_view ref) const {
    return table_.Find(MakeKey(ref), [&staged](uint32_t id) {
      return std::string_view(staged[id].ref);
    });
  }
  void Insert(std::string_view ref, uint32_t id) {
    table_.Insert(MakeKey(ref), id);
  }
  void Rebuild(const std::vector<StagedDocument>& staged) {
    table_.Clear();
    for (size_t i = 0; i < staged.size(); ++i) {
      Insert(staged[i].ref, static_cast<uint32_t>(i));
    }
  }
  void Clear() { table_.Clear(); }

 private:
  IdTable table_;
};

// The base of a rehydrated builder: the stored members of the index it was
// made from, minus removals. A removal marks the document; builds skip
// marked documents and their postings, which is the same as editing the
// postings but costs nothing per removal.
struct IndexBuilder::Base {
  IndexData data;
  std::vector<uint8_t> removed;  // per base document
};

double ClampFieldBoost(double boost) {
  if (!std::isfinite(boost)) return 1.0;
  return boost > 0.0 ? boost : 0.0;
}

double SanitizeDocumentBoost(double boost) {
  if (!std::isfinite(boost)) return 1.0;
  return boost > 0.0 ? boost : 0.0;
}

IndexBuilder::IndexBuilder(LanguagePtr language, double k1, double b)
    : language_(std::move(language)),
      k1_(k1),
      b_(b),
      staged_refs_(std::make_unique<RefTable>()) {}

IndexBuilder::~IndexBuilder() = default;

std::unique_ptr<IndexBuilder> IndexBuilder::FromIndex(const Index& index) {
  std::unique_ptr<IndexBuilder> builder(
      new IndexBuilder(index.language_ptr(), 1.2, 0.75));
  const IndexData& data = index.data();
  builder->field_names_ = data.fields;
  builder->field_boosts_ = data.field_boosts;
  builder->base_ = std::make_unique<Base>();
  builder->base_->data = data;
  builder->base_->removed.assign(data.refs.size(), 0);
  return builder;
}

bool IndexBuilder::rehydrated() const { return base_ != nullptr; }

int64_t IndexBuilder::FindField(std::string_view name) const {
  for (size_t f = 0; f < field_names_.size(); ++f) {
    if (field_names_[f] == name) return static_cast<int64_t>(f);
  }
  return -1;
}

uint32_t IndexBuilder::DeclareField(std::string name, double boost) {
  CheckFieldName(name, *language_);
  const int64_t existing = FindField(name);
  if (existing >= 0) return static_cast<uint32_t>(existing);
  const double clamped = ClampFieldBoost(boost);
  if (base_) {
    // Widen the base's document-major length table by one column.
    IndexData& data = base_->data;
    const size_t old_width = data.fields.size();
    std::vector<uint64_t> lengths(data.refs.size() * (old_width + 1), 0);
    for (size_t d = 0; d < data.refs.size(); ++d) {
      std::copy_n(data.field_lengths.begin() + d * old_width, old_width,
                  lengths.begin() + d * (old_width + 1));
    }
    data.field_lengths.swap(lengths);
    data.fields.push_back(name);
    data.field_boosts.push_back(clamped);
  }
  field_names_.push_back(std::move(name));
  field_boosts_.push_back(clamped);
  return static_cast<uint32_t>(field_names_.size() - 1);
}

void IndexBuilder::Stage(StagedDocument doc) {
  if (doc.ref.empty()) {
    BrokenPrecondition(
        "empty document references are rejected at the binding boundary");
  }
  const int64_t existing = staged_refs_->Find(staged_, doc.ref);
  if (existing >= 0) {
    staged_[existing] = std::move(doc);
    return;
  }
  staged_refs_->Insert(doc.ref, static_cast<uint32_t>(staged_.size()));
  staged_.push_back(std::move(doc));
}

bool IndexBuilder::Remove(std::string_view ref) {
  bool found = false;
  if (staged_refs_->Find(staged_, ref) >= 0) {
    std::erase_if(staged_,
                  [ref](const StagedDocument& d) { return d.ref == ref; });
    staged_refs_->Rebuild(staged_);
    found = true;
  }
  if (base_) {
    IndexData& data = base_->data;
    auto it = std::lower_bound(data.refs.begin(), data.refs.end(), ref,
                               [](const std::string& a, std::string_view b) {
                                 return std::string_view(a) < b;
                               });
    if (it != data.refs.end() && *it == ref) {
      uint8_t& removed = base_->removed[it - data.refs.begin()];
      if (!removed) {
        removed = 1;
        if (data.document_count > 0) --data.document_count;
        found = true;
      }
    }
  }
  return found;
}

void IndexBuilder::Clear() {
  staged_.clear();
  staged_refs_->Clear();
}

IndexPtr IndexBuilder::Build() const {
  const IndexData* base = base_ ? &base_->data : nullptr;
  const size_t field_count = field_names_.size();

  IndexData out;
  out.language = base ? base->language : language_->code();
  out.pipeline = base ? base->pipeline : language_->pipeline();
  out.fields = field_names_;
  out.field_boosts = field_boosts_;
  out.k1 = base ? base->k1 : SanitizeK1(k1_);
  out.b = base ? base->b : SanitizeB(b_);

  // Staged documents in reference order; of equal references the later
  // one wins (staging already keeps them unique).
  std::vector<uint32_t> staged_order(staged_.size());
  std::iota(staged_order.begin(), staged_order.end(), 0u);
  std::stable_sort(staged_order.begin(), staged_order.end(),
                   [this](uint32_t a, uint32_t b) {
                     return staged_[a].ref < staged_[b].ref;
                   });
  size_t kept = 0;
  for (size_t i = 0; i < staged_order.size(); ++i) {
    if (staged_[staged_order[i]].ref.empty()) {
      BrokenPrecondition(
          "empty document references are rejected at the binding boundary");
    }
    if (kept > 0 &&
        staged_[staged_order[kept - 1]].ref == staged_[staged_order[i]].ref) {
      staged_order[kept - 1] = staged_order[i];
    } else {
      staged_order[kept++] = staged_order[i];
    }
  }
  staged_order.resize(kept);

  // Merge the live base documents with the staged ones; document ids are
  // the merged order. A staged document replaces a base one with its
  // reference without counting again.
  const size_t base_docs = base ? base->refs.size() : 0;
  std::vector<uint32_t> base_doc_map(base_docs, kNone);
  std::vector<uint32_t> staged_doc(staged_order.size());
  uint64_t document_count = base ? base->document_count : 0;
  out.refs.reserve(base_docs + staged_order.size());
  out.doc_boosts.reserve(base_docs + staged_order.size());
  out.field_lengths.reserve((base_docs + staged_order.size()) * field_count);
  size_t i = 0;
  size_t j = 0;
  while (i < base_docs || j < staged_order.size()) {
    if (i < base_docs && base_->removed[i]) {
      ++i;
      continue;
    }
    const uint32_t doc = static_cast<uint32_t>(out.refs.size());
    int order = 0;  // < 0: base first, > 0: staged first, 0: same ref
    if (i == base_docs) {
      order = 1;
    } else if (j == staged_order.size()) {
      order = -1;
    } else {
      order = base->refs[i].compare(staged_[staged_order[j]].ref);
    }
    if (order < 0) {
      base_doc_map[i] = doc;
      out.refs.push_back(base->refs[i]);
      out.doc_boosts.push_back(base->doc_boosts[i]);
      auto lengths = base->field_lengths.begin() + i * field_count;
      out.field_lengths.insert(out.field_lengths.end(), lengths,
                               lengths + field_count);
      ++i;
      continue;
    }
    if (order == 0) {
      ++i;  // replaced
    } else {
      ++document_count;
    }
    const StagedDocument& staged = staged_[staged_order[j]];
    staged_doc[j] = doc;
    out.refs.push_back(staged.ref);
    out.doc_boosts.push_back(SanitizeDocumentBoost(staged.boost));
    out.field_lengths.resize(out.field_lengths.size() + field_count, 0);
    ++j;
  }
  out.document_count = document_count;

  uint64_t text_bytes = 0;
  for (uint32_t k : staged_order) {
    for (const auto& [field, text] : staged_[k].fields) {
      if (field < field_count) text_bytes += text.size();
    }
  }
  PostingAccumulator postings(*language_, &out);
  postings.Reserve(text_bytes, base);
  if (base) postings.AddBasePostings(*base, base_doc_map);
  // Field by field, so that fresh postings arrive sorted by (field, doc).
  for (uint32_t f = 0; f < field_count; ++f) {
    for (size_t k = 0; k < staged_order.size(); ++k) {
      const uint32_t doc = staged_doc[k];
      out.field_lengths[static_cast<size_t>(doc) * field_count + f] =
          postings.AddField(FieldText(staged_[staged_order[k]], f), f, doc);
    }
  }
  postings.Finish();
  return Index::Make(std::move(out), language_);
}

}  // namespace vrim
