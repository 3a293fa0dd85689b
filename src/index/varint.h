// The one home for integer coding: LEB128 varints and little-endian
// fixed-width values, as used by the binary index format and by the
// in-memory position lists.
#ifndef VRIM_VARINT_H_
#define VRIM_VARINT_H_

#include <cstdint>
#include <cstring>
#include <string>

namespace vrim {

constexpr int kMaxVarintBytes = 10;

// Writes the shortest LEB128 form of `v` at `dst`; returns the end.
// REQUIRES: `dst` has room for kMaxVarintBytes.
inline char* EncodeVarint64(char* dst, uint64_t v) {
  while (v >= 0x80) {
    *dst++ = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  *dst++ = static_cast<char>(v);
  return dst;
}

// Appends the shortest LEB128 form of `v`.
inline void PutVarint64(std::string* dst, uint64_t v) {
  char buf[kMaxVarintBytes];
  int n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  buf[n++] = static_cast<char>(v);
  dst->append(buf, n);
}

inline int VarintLength(uint64_t v) {
  int n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

enum class VarintStatus { kOk, kTruncated, kMalformed };

// Decodes a varint from [*p, limit). On kOk advances *p past it.
// A 10th byte with any bit but the lowest set (the high bit included) is
// kMalformed; running out of bytes first is kTruncated.
inline VarintStatus GetVarint64(const uint8_t** p, const uint8_t* limit,
                                uint64_t* v) {
  const uint8_t* q = *p;
  uint64_t result = 0;
  for (int i = 0; i < kMaxVarintBytes; ++i) {
    if (q >= limit) return VarintStatus::kTruncated;
    uint8_t byte = *q++;
    if (i == kMaxVarintBytes - 1 && byte > 1) return VarintStatus::kMalformed;
    result |= static_cast<uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      *p = q;
      *v = result;
      return VarintStatus::kOk;
    }
  }
  return VarintStatus::kMalformed;  // unreachable: the 10th byte decides
}

// Decodes a varint known to be well formed (data this process wrote).
// REQUIRES: a complete varint starts at *p.
inline uint64_t GetVarint64Unchecked(const uint8_t** p) {
  const uint8_t* q = *p;
  uint64_t result = 0;
  int shift = 0;
  while (*q & 0x80) {
    result |= static_cast<uint64_t>(*q++ & 0x7F) << shift;
    shift += 7;
  }
  result |= static_cast<uint64_t>(*q++) << shift;
  *p = q;
  return result;
}

inline void PutFixed16(std::string* dst, uint16_t v) {
  char buf[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
  dst->append(buf, 2);
}

inline void PutFixed32(std::string* dst, uint32_t v) {
  char buf[4];
  for (int i = 0; i < 4; ++i) buf[i] = static_cast<char>(v >> (8 * i));
  dst->append(buf, 4);
}

inline void PutFixed64(std::string* dst, uint64_t v) {
  char buf[8];
  for (int i = 0; i < 8; ++i) buf[i] = static_cast<char>(v >> (8 * i));
  dst->append(buf, 8);
}

inline void PutDouble(std::string* dst, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  PutFixed64(dst, bits);
}

inline uint16_t DecodeFixed16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t DecodeFixed32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t DecodeFixed64(const uint8_t* p) {
  return static_cast<uint64_t>(DecodeFixed32(p)) |
         (static_cast<uint64_t>(DecodeFixed32(p + 4)) << 32);
}

inline double DecodeDouble(const uint8_t* p) {
  uint64_t bits = DecodeFixed64(p);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

}  // namespace vrim

#endif  // VRIM_VARINT_H_
