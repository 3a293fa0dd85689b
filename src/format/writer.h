// The binary index writer. Byte layout: see writer.cc.
#ifndef VRIM_BINARY_WRITER_H_
#define VRIM_BINARY_WRITER_H_

#include <cstdint>
#include <string>

#include "index/index.h"

namespace vrim {

// A match position longer than the reader accepts
// (binary_format::kMaxPositionLength): where it is and how long.
struct OverlongPosition {
  uint32_t doc = 0;    // document id (index into IndexData::refs)
  uint32_t field = 0;  // field id
  uint64_t length = 0;
};

// Serialises `index`. On success returns true and fills `*out`; when a
// u32-addressed quantity overflows returns false and sets `*overflow` to
// its name ("document reference heap", "field length", ...). A position
// the reader would refuse fails the write too, as "position length", with
// `*overlong` (when given) saying where: the writer never makes a file its
// reader rejects.
bool WriteIndex(const Index& index, bool positions, std::string* out,
                std::string* overflow, OverlongPosition* overlong = nullptr);

}  // namespace vrim

#endif  // VRIM_BINARY_WRITER_H_
