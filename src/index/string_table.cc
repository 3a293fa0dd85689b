#include "index/string_table.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "index/memory_pages.h"

namespace vrim {

StringTable::StringTable(std::initializer_list<std::string_view> strings) {
  for (std::string_view s : strings) push_back(s);
}

StringTable::StringTable(const std::vector<std::string>& strings) {
  for (const std::string& s : strings) push_back(s);
}

void StringTable::reserve(size_t strings, size_t bytes) {
  ends_.reserve(strings);
  bytes_.reserve(bytes);
  AdviseHugePages(ends_.data(), ends_.capacity() * sizeof(uint32_t));
  AdviseHugePages(bytes_.data(), bytes_.capacity());
}

namespace {

// Copies `n` bytes; the short copies of most strings without a call.
inline void CopyBytes(char* to, const char* from, size_t n) {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else if (n >= 8) {  // two words, overlapping
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

void CheckFits(const StringTable& table, size_t more) {
  if (!table.Fits(more)) {
    throw std::length_error("a string table holds at most 4294967295 bytes");
  }
}

}  // namespace

void StringTable::push_back(std::string_view s) {
  CheckFits(*this, s.size());
  const size_t at = bytes_.size();
  bytes_.resize(at + s.size());
  CopyBytes(bytes_.data() + at, s.data(), s.size());
  ends_.push_back(static_cast<uint32_t>(bytes_.size()));
}

void StringTable::PushFrontCoded(size_t shared, std::string_view suffix) {
  const size_t from = empty() ? 0 : bytes_.size() - back().size();
  CheckFits(*this, shared + suffix.size());
  const size_t at = bytes_.size();
  bytes_.resize(at + shared + suffix.size());
  // The shared bytes lie before `at`, so the copies never overlap.
  char* out = bytes_.data() + at;
  CopyBytes(out, bytes_.data() + from, shared);
  CopyBytes(out + shared, suffix.data(), suffix.size());
  ends_.push_back(static_cast<uint32_t>(bytes_.size()));
}

void StringTable::clear() {
  bytes_.clear();
  ends_.clear();
}

}  // namespace vrim
