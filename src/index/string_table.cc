#include "index/string_table.h"

#include <stdexcept>
#include <utility>

#include "analysis/move_bytes.h"
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
  MoveBytes(bytes_.data() + at, s.data(), s.size());
  ends_.push_back(static_cast<uint32_t>(bytes_.size()));
}

void StringTable::clear() {
  bytes_.clear();
  ends_.clear();
}

FrontCodedStrings::FrontCodedStrings(size_t count, size_t bytes)
    : bytes_(bytes) {
  ends_.reserve(count);
  AdviseHugePages(ends_.data(), ends_.capacity() * sizeof(uint32_t));
  AdviseHugePages(bytes_.data(), bytes_.size());
}

StringTable FrontCodedStrings::Finish() && {
  bytes_.resize(used_);
  bytes_.shrink_to_fit();
  return StringTable(std::move(bytes_), std::move(ends_));
}

}  // namespace vrim
