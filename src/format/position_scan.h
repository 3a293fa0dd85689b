// The reader's fast path for stored position lists (positions.h): almost
// every list is made of one- to three-byte varints in shortest form, and
// such a list cannot overflow, so it can be accepted after a scan that
// decodes little or nothing. Whatever these scans do not recognise goes to
// the reader's general decoding, which has the last word.
#ifndef VRIM_BINARY_POSITION_SCAN_H_
#define VRIM_BINARY_POSITION_SCAN_H_

#include <bit>
#include <cstdint>
#include <cstring>

namespace vrim {

namespace position_scan {

constexpr uint64_t kHigh = 0x8080808080808080u;  // bit 7 of every byte
constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Fu;
constexpr uint64_t kOnes = 0x0101010101010101u;

// The 8 bytes at `p` with byte 0 lowest, on any host.
inline uint64_t LoadWord(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) {
    w = __builtin_bswap64(w);
  }
  return w;
}

// Bit 7 of each byte of a word that is the fourth continuation byte in a
// row (so inside a varint of 5 bytes or more). `more` and `prev_more` are
// the continuation bits of the word and of the word before it.
inline uint64_t LongVarints(uint64_t more, uint64_t prev_more) {
  const uint64_t more1 = (more << 8) | (prev_more >> 56);
  const uint64_t more2 = (more << 16) | (prev_more >> 48);
  const uint64_t more3 = (more << 24) | (prev_more >> 40);
  return more & more1 & more2 & more3;
}

// Decodes a varint of up to three bytes in shortest form at `*p` into `*v`
// and moves past it; false for any other varint.
// REQUIRES: three bytes at `*p` are readable.
inline bool ShortVarint(const uint8_t** p, uint64_t* v) {
  const uint8_t* s = *p;
  if (s[0] < 0x80) {
    *v = s[0];
    *p = s + 1;
    return true;
  }
  if (s[1] < 0x80) {
    *v = (s[0] & 0x7Fu) | (uint64_t{s[1]} << 7);
    *p = s + 2;
    return s[1] != 0;
  }
  *v = (s[0] & 0x7Fu) | (uint64_t{s[1] & 0x7Fu} << 7) | (uint64_t{s[2]} << 14);
  *p = s + 3;
  return static_cast<uint8_t>(s[2] - 1) < 0x7F;
}

}  // namespace position_scan

// Returns the number of bytes taken by the `count` varints starting at `p`
// when each is in shortest form and their sum cannot overflow 64 bits:
// they lie within 8 bytes, or each has at most 4 bytes (a value below
// 2^28) and there are fewer than 2^36. Else returns 0, and also whenever
// telling would need a byte within 8 bytes of `end` (it reads whole
// words). Never reads outside [p, end).
// REQUIRES: count > 0; the byte before `p`, if any, ends a varint.
inline uint64_t ScanShortVarints(const uint8_t* p, const uint8_t* end,
                                 uint64_t count) {
  using namespace position_scan;
  const uint8_t* q = p;
  uint64_t prev_more = 0;
  while (end - q >= 8) {
    const uint64_t w = LoadWord(q);
    const uint64_t more = w & kHigh;  // the varint goes on after this byte
    // Bit 7 of each byte that is 0 (exact: no borrow between bytes).
    const uint64_t zero = ~(((w & kLow) + kLow) | w) & kHigh;
    // A last byte of 0 after a continuation: not the shortest form.
    const uint64_t padded = zero & ((more << 8) | (prev_more >> 56));
    // Byte i of `ends`: how many varints end in bytes 0..i (at most 8, so
    // the bytes never carry into each other).
    const uint64_t ends = ((more ^ kHigh) >> 7) * kOnes;
    const uint64_t in_word = ends >> 56;
    if (in_word >= count) {
      // Bit 7 of the byte ending the count-th varint; the mask up to it.
      const uint64_t reached = (ends + (0x80 - count) * kOnes) & kHigh;
      const uint64_t last = reached & (0 - reached);
      const uint64_t upto = last | (last - 1);
      // Varints within 8 bytes add up to less than 2^56.
      uint64_t bad = padded;
      if (q != p) bad |= LongVarints(more, prev_more);
      if (bad & upto) return 0;
      return static_cast<uint64_t>(q - p) +
             static_cast<uint64_t>(std::countr_zero(last)) / 8 + 1;
    }
    if (padded | LongVarints(more, prev_more)) return 0;
    count -= in_word;
    prev_more = more;
    q += 8;
  }
  return 0;
}

// For the `count` entries of a list with lengths starting at `p` (after its
// L of 0): returns the bytes they take when the list is canonical (see
// binary/canonical_positions.h), every varint has at most three bytes
// (so starts cannot overflow) and every length is at most `max_length`;
// else 0.
// REQUIRES: count > 0; [p, p + 6 * count) is readable.
inline uint64_t ScanEntriesWithLengths(const uint8_t* p, uint64_t count,
                                       uint64_t max_length) {
  using position_scan::ShortVarint;
  const uint8_t* q = p;
  uint64_t start, first_length;  // any first start will do
  if (!ShortVarint(&q, &start) || !ShortVarint(&q, &first_length)) return 0;
  uint64_t prev_length = first_length;
  uint64_t lengths_or = first_length;
  uint64_t differ = 0;
  for (uint64_t i = 1; i < count; ++i) {
    uint64_t delta, length;
    if (!ShortVarint(&q, &delta) || !ShortVarint(&q, &length)) return 0;
    // Equal starts are ordered by length.
    if (delta == 0 && length < prev_length) return 0;
    differ |= length ^ first_length;
    lengths_or |= length;
    prev_length = length;
  }
  // L = 0 is canonical only when the lengths differ or are all 0. The OR
  // of the lengths bounds each of them.
  if ((differ == 0 && first_length != 0) || lengths_or > max_length) {
    return 0;
  }
  return static_cast<uint64_t>(q - p);
}

// Returns the bytes taken by the list of `count` entries at `p` when it is
// of a shape the scans above recognise and is sound and canonical; else 0.
// Never reads outside [p, end).
// REQUIRES: count > 0; max_length >= 127.
inline uint64_t ScanCanonicalPositions(const uint8_t* p, const uint8_t* end,
                                       uint64_t count, uint64_t max_length) {
  if (p == end) return 0;
  const uint8_t common = p[0];
  // The commonest list of all: one start, in one or two bytes, after a
  // one-byte L.
  if (count == 1 && end - p >= 3 && static_cast<uint8_t>(common - 1) < 0x7F) {
    if (p[1] < 0x80) return 2;
    if (p[2] < 0x80) return p[2] != 0 ? 3 : 0;
  }
  uint64_t entries = 0;
  if (static_cast<uint8_t>(common - 1) < 0x7F) {  // a one-byte L of 1..127
    entries = ScanShortVarints(p + 1, end, count);
  } else if (common == 0 &&
             static_cast<uint64_t>(end - p - 1) / 6 >= count) {
    entries = ScanEntriesWithLengths(p + 1, count, max_length);
  }
  return entries == 0 ? 0 : entries + 1;
}

}  // namespace vrim

#endif  // VRIM_BINARY_POSITION_SCAN_H_
