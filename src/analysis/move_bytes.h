// Moves of a few bytes, the common ones for words and terms, without a
// library call.
#ifndef VRIM_ANALYSIS_MOVE_BYTES_H_
#define VRIM_ANALYSIS_MOVE_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vrim {

// The first and the last sizeof(Word) of `n` bytes, loaded before either
// is stored: covers any n from sizeof(Word) to twice that.
template <class Word>
inline void MoveTwoWords(char* d, const char* s, size_t n) {
  Word a, b;
  std::memcpy(&a, s, sizeof a);
  std::memcpy(&b, s + n - sizeof b, sizeof b);
  std::memcpy(d, &a, sizeof a);
  std::memcpy(d + n - sizeof b, &b, sizeof b);
}

// memmove of `n` bytes from `s` to `d`: up to 16 bytes as two possibly
// overlapping loads followed by two stores, so overlap is safe.
inline void MoveBytes(char* d, const char* s, size_t n) {
  if (n > 16) {
    std::memmove(d, s, n);
  } else if (n >= 8) {
    MoveTwoWords<uint64_t>(d, s, n);
  } else if (n >= 4) {
    MoveTwoWords<uint32_t>(d, s, n);
  } else if (n > 0) {
    const char a = s[0], b = s[n / 2], c = s[n - 1];
    d[0] = a;
    d[n / 2] = b;
    d[n - 1] = c;
  }
}

}  // namespace vrim

#endif  // VRIM_ANALYSIS_MOVE_BYTES_H_
