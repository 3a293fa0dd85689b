#include <gtest/gtest.h>

#include <stdexcept>
#include <string_view>

#include "index/string_table.h"

namespace vrim {
namespace {

// The check comes before any byte is read, so a view claiming more bytes
// than it points at reaches the limit without allocating them.
TEST(StringTable, RefusesBytesPastItsLimitAddingNothing) {
  const char buffer[4] = "abc";
  for (size_t held : {0, 2}) {
    StringTable table;
    if (held > 0) table.push_back(std::string_view(buffer, held));
    const StringTable before = table;
    const size_t room = StringTable::kMaxBytes - held;
    EXPECT_THROW(table.push_back(std::string_view(buffer, room + 1)),
                 std::length_error);
    if (held > 0) {
      EXPECT_THROW(table.PushFrontCoded(1, std::string_view(buffer, room)),
                   std::length_error);
    }
    EXPECT_EQ(table, before) << held;
  }
}

}  // namespace
}  // namespace vrim
