// A string with its hash and its first eight bytes, computed once per token
// and shared by every table lookup of it (id_table.h). Short strings are
// read with a few overlapping loads rather than a byte loop, which would
// stall the load of the assembled word.
#ifndef VRIM_HASHED_KEY_H_
#define VRIM_HASHED_KEY_H_

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vrim {

struct HashedKey {
  std::string_view text;
  uint64_t prefix;  // bytes 0..7 (little-endian order), zero padded
  uint64_t hash;
};

namespace hashed_key_internal {

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

// Bytes 0..n-1 of a string shorter than 8 bytes, zero padded.
inline uint64_t ShortPrefix(const char* p, size_t n) {
  if (n >= 4) return Load32(p) | ((Load32(p + n - 4) >> (8 * (8 - n))) << 32);
  if (n == 0) return 0;
  return static_cast<uint8_t>(p[0]) |
         (uint64_t{static_cast<uint8_t>(p[n / 2])} << (8 * (n / 2))) |
         (uint64_t{static_cast<uint8_t>(p[n - 1])} << (8 * (n - 1)));
}

}  // namespace hashed_key_internal

// The key of `s`; its text views `s`, which must outlive it.
inline HashedKey MakeKey(std::string_view s) {
  using namespace hashed_key_internal;
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
    prefix = ShortPrefix(p, n);
    h = (h ^ prefix) * 0x94D049BB133111EBULL;
  }
  return HashedKey{s, prefix, Mix(h)};
}

// Whether `stored` is the text of `key`, whose first eight bytes it is
// known to share: up to 16 bytes the last eight decide, with one load
// each rather than a library call.
// REQUIRES: key.text.size() >= 8; stored starts with key.text's first 8
// bytes when it is as long.
inline bool SameLongText(std::string_view stored, const HashedKey& key) {
  using hashed_key_internal::Load64;
  const size_t n = key.text.size();
  if (stored.size() != n) return false;
  if (n <= 16) {
    return Load64(stored.data() + n - 8) == Load64(key.text.data() + n - 8);
  }
  return std::memcmp(stored.data() + 8, key.text.data() + 8, n - 8) == 0;
}

}  // namespace vrim

#endif  // VRIM_HASHED_KEY_H_
