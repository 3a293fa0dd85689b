#include "score_format.h"

#include <charconv>
#include <cmath>

namespace vrim_python {

std::string FormatScore(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Fixed notation with no precision is the shortest digits that round-trip;
  // the largest finite double needs 309 digits before the point and the
  // smallest subnormal 1074 after it, so this buffer always suffices.
  char buffer[1100];
  std::to_chars_result result = std::to_chars(
      buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

}  // namespace vrim_python
