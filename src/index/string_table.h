// A list of strings held back to back in one buffer: many short strings
// (the terms of an index) without an allocation and a 32-byte header each,
// at most kMaxBytes of them together (an end takes 4 bytes).
#ifndef VRIM_STRING_TABLE_H_
#define VRIM_STRING_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "index/uninitialized_allocator.h"

namespace vrim {

class StringTable {
 public:
  class const_iterator;

  static constexpr size_t kMaxBytes = UINT32_MAX;

  StringTable() = default;
  StringTable(std::initializer_list<std::string_view> strings);
  explicit StringTable(const std::vector<std::string>& strings);

  size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  // Bytes of all the strings together.
  size_t bytes() const { return bytes_.size(); }

  // REQUIRES: i < size().
  std::string_view operator[](size_t i) const {
    const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_.data() + begin, ends_[i] - begin);
  }
  // REQUIRES: !empty().
  std::string_view back() const { return (*this)[size() - 1]; }

  const_iterator begin() const;
  const_iterator end() const;

  // Room for `strings` strings of `bytes` bytes together; large buffers are
  // given huge pages (memory_pages.h).
  void reserve(size_t strings, size_t bytes);
  // Whether `more` bytes can still be added.
  bool Fits(size_t more) const { return more <= kMaxBytes - bytes(); }
  // Throws std::length_error, adding nothing, past kMaxBytes.
  // REQUIRES: `s` does not point into this table.
  void push_back(std::string_view s);
  // Appends the first `shared` bytes of the last string followed by
  // `suffix` (front coding). Throws std::length_error, adding nothing,
  // past kMaxBytes.
  // REQUIRES: !empty() or shared == 0; shared <= back().size(); `suffix`
  // does not point into this table.
  void PushFrontCoded(size_t shared, std::string_view suffix);
  void clear();

  bool operator==(const StringTable&) const = default;

 private:
  // Grown before it is written, so never cleared first.
  std::vector<char, UninitializedAllocator<char>> bytes_;
  std::vector<uint32_t> ends_;  // ends_[i]: end of string i in bytes_
};

class StringTable::const_iterator {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = std::string_view;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = std::string_view;

  const_iterator() = default;
  const_iterator(const StringTable* table, size_t i) : table_(table), i_(i) {}

  std::string_view operator*() const { return (*table_)[i_]; }
  std::string_view operator[](difference_type n) const {
    return (*table_)[i_ + static_cast<size_t>(n)];
  }
  const_iterator& operator++() { ++i_; return *this; }
  const_iterator operator++(int) { const_iterator t = *this; ++i_; return t; }
  const_iterator& operator--() { --i_; return *this; }
  const_iterator operator--(int) { const_iterator t = *this; --i_; return t; }
  const_iterator& operator+=(difference_type n) {
    i_ += static_cast<size_t>(n);
    return *this;
  }
  const_iterator& operator-=(difference_type n) {
    i_ -= static_cast<size_t>(n);
    return *this;
  }
  friend const_iterator operator+(const_iterator it, difference_type n) {
    return it += n;
  }
  friend const_iterator operator+(difference_type n, const_iterator it) {
    return it += n;
  }
  friend const_iterator operator-(const_iterator it, difference_type n) {
    return it -= n;
  }
  friend difference_type operator-(const const_iterator& a,
                                   const const_iterator& b) {
    return static_cast<difference_type>(a.i_) -
           static_cast<difference_type>(b.i_);
  }
  friend bool operator==(const const_iterator& a, const const_iterator& b) {
    return a.i_ == b.i_;
  }
  friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
    return a.i_ <=> b.i_;
  }

 private:
  const StringTable* table_ = nullptr;
  size_t i_ = 0;
};

inline StringTable::const_iterator StringTable::begin() const {
  return const_iterator(this, 0);
}
inline StringTable::const_iterator StringTable::end() const {
  return const_iterator(this, size());
}

}  // namespace vrim

#endif  // VRIM_STRING_TABLE_H_
