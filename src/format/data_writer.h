// Serialisation straight from the stored members of an index. WriteIndex
// is WriteIndexData applied to index.data(); the data form exists so that
// callers holding an IndexData (tests, tools) need not make an Index.
#ifndef VRIM_BINARY_DATA_WRITER_H_
#define VRIM_BINARY_DATA_WRITER_H_

#include <string>

#include "format/writer.h"
#include "index/index.h"

namespace vrim {

// As WriteIndex (binary/writer.h).
// REQUIRES: `data` satisfies the invariants documented on IndexData.
bool WriteIndexData(const IndexData& data, bool positions, std::string* out,
                    std::string* overflow,
                    OverlongPosition* overlong = nullptr);

}  // namespace vrim

#endif  // VRIM_BINARY_DATA_WRITER_H_
