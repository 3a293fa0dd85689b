// Moves of a few bytes, the common ones for words and terms, without a
// library call.
#ifndef VRIM_ANALYSIS_MOVE_BYTES_H_
#define VRIM_ANALYSIS_MOVE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vrim {

// memmove of `n` bytes from `s` to `d`: up to 16 bytes as two possibly
// overlapping loads followed by two stores, so overlap is safe.
inline void MoveBytes(char* d, const char* s, size_t n) {
  if (n > 16) {
    std::memmove(d, s, n);
  } else if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(d, &a, 8);
    std::memcpy(d + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(d, &a, 4);
    std::memcpy(d + n - 4, &b, 4);
  } else if (n > 0) {
    const char a = s[0], b = s[n / 2], c = s[n - 1];
    d[0] = a;
    d[n / 2] = b;
    d[n - 1] = c;
  }
}

}  // namespace vrim

#endif  // VRIM_ANALYSIS_MOVE_BYTES_H_
