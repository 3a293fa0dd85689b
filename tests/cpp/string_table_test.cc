#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// Front coding copies from the table itself, also when that copy makes the
// buffer grow; empty strings, whole-string prefixes and plain strings mix.
TEST(StringTable, FrontCodedStringsMatchTheirTextsThroughGrowth) {
  StringTable table;
  std::vector<std::string> want;
  for (int i = 0; i < 3000; ++i) {
    const std::string prev = want.empty() ? "" : want.back();
    const size_t shared = i % 7 == 0 ? 0 : prev.size() - prev.size() / (i % 3 + 1);
    const std::string suffix(static_cast<size_t>(i % 5), static_cast<char>('a' + i % 26));
    if (i % 11 == 0) {
      table.push_back(suffix);
      want.push_back(suffix);
    } else {
      table.PushFrontCoded(shared, suffix);
      want.push_back(prev.substr(0, shared) + suffix);
    }
  }
  ASSERT_EQ(table.size(), want.size());
  size_t bytes = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(table[i], want[i]) << i;
    bytes += want[i].size();
  }
  EXPECT_EQ(table.bytes(), bytes);
  EXPECT_EQ(table, StringTable(want));
}

// Every length of string and of shared prefix up to past the short
// copies' word sizes, each byte distinct, so that a copy of the wrong
// bytes or length shows.
TEST(StringTable, CopiesEveryLengthExactly) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += static_cast<char>('A' + i);
  for (size_t n = 0; n <= text.size(); ++n) {
    for (size_t shared = 0; shared <= n; ++shared) {
      StringTable table;
      table.push_back(text.substr(0, n));
      table.PushFrontCoded(shared, text.substr(shared, n - shared));
      ASSERT_EQ(table[0], text.substr(0, n));
      ASSERT_EQ(table[1], text.substr(0, n)) << n << " " << shared;
      ASSERT_EQ(table.bytes(), 2 * n);
    }
  }
}

}  // namespace
}  // namespace vrim
