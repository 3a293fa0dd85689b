#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
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
    EXPECT_EQ(table, before) << held;
  }
}

// Front coding copies from the table itself: empty strings, whole-string
// prefixes and plain strings mix, and the room is exactly what they take.
TEST(FrontCodedStrings, DecodesToTheirTextsFillingTheRoom) {
  std::vector<std::string> want;
  std::vector<std::pair<size_t, std::string>> coded;
  size_t bytes = 0;
  for (int i = 0; i < 3000; ++i) {
    const std::string prev = want.empty() ? "" : want.back();
    const size_t shared = i % 7 == 0 ? 0 : prev.size() - prev.size() / (i % 3 + 1);
    const std::string suffix(static_cast<size_t>(i % 5), static_cast<char>('a' + i % 26));
    coded.emplace_back(shared, suffix);
    want.push_back(prev.substr(0, shared) + suffix);
    bytes += want.back().size();
  }
  FrontCodedStrings strings(want.size(), bytes);
  for (size_t i = 0; i < coded.size(); ++i) {
    strings.Push(coded[i].first, coded[i].second);
    ASSERT_EQ(strings.back(), want[i]) << i;
  }
  EXPECT_EQ(strings.room(), 0u);
  EXPECT_EQ(std::move(strings).Finish(), StringTable(want));
}

// Every length of string and of shared prefix up to past the short
// copies' word sizes, each byte distinct, so that a copy of the wrong
// bytes or length shows; room left over is given back.
TEST(FrontCodedStrings, CopiesEveryLengthExactly) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += static_cast<char>('A' + i);
  for (size_t n = 0; n <= text.size(); ++n) {
    for (size_t shared = 0; shared <= n; ++shared) {
      FrontCodedStrings strings(2, 2 * n + 3);
      strings.Push(0, text.substr(0, n));
      strings.Push(shared, text.substr(shared, n - shared));
      ASSERT_EQ(strings.back(), text.substr(0, n)) << n << " " << shared;
      const StringTable table = std::move(strings).Finish();
      ASSERT_EQ(table, StringTable({text.substr(0, n), text.substr(0, n)}));
    }
  }
}

}  // namespace
}  // namespace vrim
