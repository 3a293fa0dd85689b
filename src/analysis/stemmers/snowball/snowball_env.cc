#include "analysis/stemmers/snowball/snowball_env.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "analysis/move_bytes.h"

namespace vrim::snowball {

static_assert(std::endian::native == std::endian::little,
              "among heads are packed little-endian");

namespace {

// Length of the common prefix of the byte strings packed in `a` and `b`
// (8 bytes each, byte c in bits 8c..8c+7), at least `common` (the bytes
// before it are known to agree) and at most `n` (n may exceed 8; the result
// is then 8 when all packed bytes agree).
inline int CommonPrefix(uint64_t a, uint64_t b, int common, int n) {
  const uint64_t d = a ^ b;
  const int lcp = d == 0 ? 8 : __builtin_ctzll(d) >> 3;
  return std::max(common, std::min(lcp, n));
}

inline int ByteAt(uint64_t packed, int c) { return static_cast<int>((packed >> (8 * c)) & 0xFF); }

}  // namespace

int SnowballEnv::len() const {
  int n = 0;
  for (int i = 0; i < size_; ++i) {
    if ((static_cast<uint8_t>(data_[i]) & 0xC0) != 0x80) ++n;
  }
  return n;
}


int SnowballEnv::FindAmong(const AmongTable& table, void* context) {
  const int o = cursor;
  const int l = limit;
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o;
  int i = 0;
  int j = table.count;
  if (table.starts != nullptr) {
    i = table.starts[q[0]];
    j = table.starts[q[0] + 1];
  }
  const int first = i;
  int common_i = 0;
  int common_j = 0;
  bool first_key_inspected = false;
  // Bytes available before limit; comparing past them gives -1.
  const int avail = l - o;
  // The next 8 bytes of the text (fewer at the end of the word), byte c in
  // bits 8c..8c+7, matching the entries' heads.
  uint64_t x = 0;
  std::memcpy(&x, q, static_cast<size_t>(std::min(8, size_ - o)));
  while (true) {
    const int k = i + ((j - i) >> 1);
    int common = std::min(common_i, common_j);
    const Among& w = v[k];
    const int n = std::min(w.size, avail);
    const uint8_t* text = reinterpret_cast<const uint8_t*>(w.text);
    common = CommonPrefix(x, w.head, common, n);
    if (common >= 8) {
      while (common < n && q[common] == text[common]) ++common;
    }
    // The difference at the first unequal byte; only used when common < n.
    int mismatch = 0;
    if (common < 8) {
      mismatch = ByteAt(x, common) - ByteAt(w.head, common);
    } else if (common < n) {
      mismatch = static_cast<int>(q[common]) - static_cast<int>(text[common]);
    }
    // Past the limit the comparison gives -1.
    const int diff = common < n ? mismatch : (common < w.size ? -1 : 0);
    if (k == first) first_key_inspected = true;
    // Branch-free update of the bounds (the outcome is unpredictable).
    const bool below = diff < 0;
    j = below ? k : j;
    common_j = below ? common : common_j;
    i = below ? i : k;
    common_i = below ? common_i : common;
    if (j - i <= 1) {
      if (i > first || j == i || first_key_inspected) break;
      first_key_inspected = true;
    }
  }
  while (true) {
    const Among& w = v[i];
    if (common_i >= w.size) {
      cursor = o + w.size;
      if (w.condition == nullptr) return w.result;
      if (w.condition(*this, context)) {
        cursor = o + w.size;
        return w.result;
      }
    }
    i = w.substring_i;
    if (i < 0) return 0;
  }
}

int SnowballEnv::FindAmongB(const AmongTable& table, void* context) {
  const int o = cursor;
  const int lb = limit_backward;
  const Among* v = table.entries;
  const uint8_t* q = reinterpret_cast<const uint8_t*>(data_) + o - 1;
  int i = 0;
  int j = table.count;
  if (table.starts != nullptr) {
    i = table.starts[q[0]];
    j = table.starts[q[0] + 1];
  }
  const int first = i;
  int common_i = 0;
  int common_j = 0;
  bool first_key_inspected = false;
  // Bytes available before limit_backward; comparing past them gives -1.
  const int avail = o - lb;
  // The 8 bytes before the cursor, nearest first, byte c in bits 8c..8c+7.
  // Loaded as the 8 bytes ending at the cursor (zeros before the word's
  // start), then byte-swapped so that the nearest byte comes first.
  uint64_t x = 0;
  const int have = std::min(o, 8);
  std::memcpy(reinterpret_cast<char*>(&x) + (8 - have), q + 1 - have, static_cast<size_t>(have));
  x = __builtin_bswap64(x);
  while (true) {
    const int k = i + ((j - i) >> 1);
    int common = std::min(common_i, common_j);
    const Among& w = v[k];
    const int n = std::min(w.size, avail);
    const uint8_t* last = reinterpret_cast<const uint8_t*>(w.text) + w.size - 1;
    common = CommonPrefix(x, w.head, common, n);
    if (common >= 8) {
      while (common < n && q[-common] == last[-common]) ++common;
    }
    // The difference at the first unequal byte; only used when common < n.
    int mismatch = 0;
    if (common < 8) {
      mismatch = ByteAt(x, common) - ByteAt(w.head, common);
    } else if (common < n) {
      mismatch = static_cast<int>(q[-common]) - static_cast<int>(last[-common]);
    }
    // Past limit_backward the comparison gives -1.
    const int diff = common < n ? mismatch : (common < w.size ? -1 : 0);
    if (k == first) first_key_inspected = true;
    // Branch-free update of the bounds (the outcome is unpredictable).
    const bool below = diff < 0;
    j = below ? k : j;
    common_j = below ? common : common_j;
    i = below ? i : k;
    common_i = below ? common_i : common;
    if (j - i <= 1) {
      if (i > first || j == i || first_key_inspected) break;
      first_key_inspected = true;
    }
  }
  while (true) {
    const Among& w = v[i];
    if (common_i >= w.size) {
      cursor = o - w.size;
      if (w.condition == nullptr) return w.result;
      if (w.condition(*this, context)) {
        cursor = o - w.size;
        return w.result;
      }
    }
    i = w.substring_i;
    if (i < 0) return 0;
  }
}

int SnowballEnv::replace_s(int start, int end, const char* s, int n) {
  const int adjustment = n - (end - start);
  const int new_size = size_ + adjustment;
  const int tail = size_ - end;
  if (!owned_ || new_size > capacity_) {
    // Build the text in fresh owned storage (first rewrite, or growth past
    // the current storage); the old text stays readable until copied.
    char* d;
    if (new_size <= kInlineCapacity && data_ != inline_) {
      d = inline_;
      capacity_ = kInlineCapacity;
    } else {
      std::string fresh;
      // Leave room to grow, with the old length as the least capacity.
      fresh.resize(static_cast<size_t>(std::max(new_size, size_) + 16));
      d = fresh.data();
      std::memcpy(d, data_, start);
      std::memcpy(d + start, s, n);
      std::memcpy(d + start + n, data_ + end, tail);
      heap_.swap(fresh);
      capacity_ = static_cast<int>(heap_.size());
      owned_ = true;
      data_ = heap_.data();
      size_ = new_size;
      AdjustAfterReplace(start, end, adjustment);
      return adjustment;
    }
    MoveBytes(d, data_, static_cast<size_t>(start));
    MoveBytes(d + start, s, static_cast<size_t>(n));
    MoveBytes(d + start + n, data_ + end, static_cast<size_t>(tail));
    owned_ = true;
    data_ = d;
  } else {
    char* d = const_cast<char*>(data_);  // owned storage
    if (adjustment != 0) {
      MoveBytes(d + start + n, d + end, static_cast<size_t>(tail));
    }
    MoveBytes(d + start, s, static_cast<size_t>(n));
  }
  size_ = new_size;
  AdjustAfterReplace(start, end, adjustment);
  return adjustment;
}

void SnowballEnv::slice_from(const char* s, int n) {
  replace_s(bra, ket, s, n);
  ket = bra + n;
}

void SnowballEnv::insert(int start, int end, const char* s, int n) {
  const int adjustment = replace_s(start, end, s, n);
  if (start <= bra) bra += adjustment;
  if (start <= ket) ket += adjustment;
}

}  // namespace vrim::snowball
