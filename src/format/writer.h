// The binary index writer. Byte layout: see writer.cc.
#ifndef VRIM_BINARY_WRITER_H_
#define VRIM_BINARY_WRITER_H_

#include <string>

#include "index/index.h"

namespace vrim {

// Serialises `index`. On success returns true and fills `*out`; when a
// u32-addressed quantity overflows returns false and sets `*overflow` to
// its name ("document reference heap", "field length", ...).
bool WriteIndex(const Index& index, bool positions, std::string* out,
                std::string* overflow);

}  // namespace vrim

#endif  // VRIM_BINARY_WRITER_H_
