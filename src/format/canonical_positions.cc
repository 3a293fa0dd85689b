#include "format/canonical_positions.h"

#include <algorithm>

#include "index/varint.h"

namespace vrim {

namespace {

// Decodes one varint and notes whether it used more bytes than needed
// (a multi-byte varint whose last byte is 0).
inline uint64_t NextVarint(const uint8_t** p, bool* canonical) {
  const uint8_t* start = *p;
  uint64_t v = GetVarint64Unchecked(p);
  if (*p - start > 1 && (*p)[-1] == 0) *canonical = false;
  return v;
}

}  // namespace

uint64_t AppendCanonicalPositions(const uint8_t* data, uint64_t count,
                              std::string* out,
                              std::vector<Position>* scratch) {
  const uint8_t* p = data;
  bool canonical = true;
  uint64_t common = NextVarint(&p, &canonical);
  uint64_t longest = common;
  if (common != 0) {
    // Deltas are unsigned, so starts never decrease and one length means
    // the order is right.
    for (uint64_t i = 0; i < count; ++i) NextVarint(&p, &canonical);
  } else {
    uint64_t first_length = 0;
    uint64_t prev_length = 0;
    bool all_equal = true;
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t delta = NextVarint(&p, &canonical);
      uint64_t length = NextVarint(&p, &canonical);
      longest = std::max(longest, length);
      if (i == 0) {
        first_length = length;
      } else {
        if (delta == 0 && length < prev_length) canonical = false;
        if (length != first_length) all_equal = false;
      }
      prev_length = length;
    }
    if (all_equal && first_length != 0) canonical = false;
  }
  if (canonical) {
    out->append(reinterpret_cast<const char*>(data), p - data);
    return longest;
  }
  scratch->clear();
  DecodePositions(data, count, scratch);
  EncodePositions(scratch, out);
  return longest;
}

}  // namespace vrim
