// Position lists: where a term occurs in one field of one document.
//
// In memory and on disk a list is kept in the same compact form (so the
// writer and the reader copy it rather than re-encode it):
//
//   varint L      the common length when all k entries share it and it is
//                 not 0; otherwise 0
//   k entries     in ascending (start, length) order, each:
//                   varint start delta (start minus the previous start;
//                   the first entry's delta is its start)
//                   varint length, only when L is 0
//
// The count k is kept by the owner of the list (the posting).
#ifndef VRIM_POSITIONS_H_
#define VRIM_POSITIONS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "index/varint.h"

namespace vrim {

struct Position {
  uint64_t start = 0;
  uint64_t length = 0;
  bool operator==(const Position&) const = default;
  auto operator<=>(const Position&) const = default;
};

// Sorts `positions` by (start, length) and appends their encoding to `out`.
void EncodePositions(std::vector<Position>* positions, std::string* out);
// The same for the positions of [begin, end), sorted in place.
void EncodePositions(Position* begin, Position* end, std::string* out);

// The most bytes the encoding of `count` positions takes.
constexpr size_t MaxEncodedPositions(size_t count) {
  return kMaxVarintBytes * (1 + 2 * count);
}
// Sorts [begin, end) in place and writes their encoding at `w`; returns
// its end.
// REQUIRES: room for MaxEncodedPositions(end - begin) bytes at `w`.
char* WritePositions(Position* begin, Position* end, char* w);

// Byte length of the list of `count` entries encoded at `data`; 0 when
// `count` is 0 (a posting without positions has no list).
// REQUIRES: as for DecodePositions.
size_t EncodedPositionsLength(const uint8_t* data, uint64_t count);

// Appends the `count` positions encoded at `data` to `out` and returns the
// number of bytes consumed.
// REQUIRES: `data` holds a well-formed list of at least `count` entries
// (written by EncodePositions or validated by the reader).
size_t DecodePositions(const uint8_t* data, uint64_t count,
                       std::vector<Position>* out);

// Appends only the starts (already ascending) of the encoded list.
// REQUIRES: as for DecodePositions.
size_t DecodeStarts(const uint8_t* data, uint64_t count,
                    std::vector<uint64_t>* out);

}  // namespace vrim

#endif  // VRIM_POSITIONS_H_
