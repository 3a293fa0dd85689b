// Canonical form of an encoded position list (positions.h): entries in
// ascending (start, length) order, L the common length exactly when every
// entry shares one that is not 0, every varint in its shortest form. The
// writer emits only this form, so the same index always gives the same
// bytes.
#ifndef VRIM_BINARY_CANONICAL_POSITIONS_H_
#define VRIM_BINARY_CANONICAL_POSITIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "index/positions.h"

namespace vrim {

// Appends the canonical encoding of the `count` positions encoded at `data`
// to `out`: a plain copy when the list is canonical already, else a
// re-encoding through `scratch`. Returns the longest length in the list.
// REQUIRES: `data` holds a well-formed list of `count` > 0 entries.
uint64_t AppendCanonicalPositions(const uint8_t* data, uint64_t count,
                              std::string* out,
                              std::vector<Position>* scratch);

}  // namespace vrim

#endif  // VRIM_BINARY_CANONICAL_POSITIONS_H_
