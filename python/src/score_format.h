// Decimal rendering of scores for reprs.
#ifndef VRIM_PYTHON_SCORE_FORMAT_H_
#define VRIM_PYTHON_SCORE_FORMAT_H_

#include <string>

namespace vrim_python {

// Shortest round-trip decimal without an exponent: 2.0 -> "2",
// 1e-7 -> "0.0000001", negative values with "-", "NaN", "inf", "-inf".
std::string FormatScore(double value);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_SCORE_FORMAT_H_
