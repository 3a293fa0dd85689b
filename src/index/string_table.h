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
#include <utility>
#include <vector>

#include "analysis/move_bytes.h"
#include "index/uninitialized_allocator.h"

namespace vrim {

class StringTable {
 public:
  class const_iterator;

  static constexpr size_t kMaxBytes = UINT32_MAX;
  // Grown before it is written, so never cleared first.
  using Bytes = std::vector<char, UninitializedAllocator<char>>;

  StringTable() = default;
  StringTable(std::initializer_list<std::string_view> strings);
  explicit StringTable(const std::vector<std::string>& strings);
  // The strings laid out back to back in `bytes`, string i ending at
  // ends[i] (a reader that decodes them all at once).
  // REQUIRES: `ends` is non-decreasing; its last entry is bytes.size(), or
  // both are empty.
  StringTable(Bytes bytes, std::vector<uint32_t> ends)
      : bytes_(std::move(bytes)), ends_(std::move(ends)) {}

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
  void clear();

  bool operator==(const StringTable&) const = default;

 private:
  Bytes bytes_;
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

// Builds a table from front-coded strings (each the first `shared` bytes
// of the one before, then a suffix) in room allocated once, with no check
// or reallocation per string: the decoder of a dictionary whose decoded
// size is known beforehand.
class FrontCodedStrings {
 public:
  // Room for `count` strings of `bytes` bytes together; large buffers are
  // given huge pages (memory_pages.h).
  // REQUIRES: bytes <= StringTable::kMaxBytes.
  FrontCodedStrings(size_t count, size_t bytes);

  // The last string added; empty before the first.
  std::string_view back() const {
    return std::string_view(bytes_.data() + used_ - last_, last_);
  }
  // Bytes still free.
  size_t room() const { return bytes_.size() - used_; }

  // Appends back()'s first `shared` bytes followed by `suffix`.
  // REQUIRES: shared <= back().size(); shared + suffix.size() <= room();
  // fewer than `count` strings added; `suffix` does not point into the
  // room.
  void Push(size_t shared, std::string_view suffix) {
    char* out = bytes_.data() + used_;
    // The shared bytes lie before `out`, so the copies never overlap.
    MoveBytes(out, out - last_, shared);
    MoveBytes(out + shared, suffix.data(), suffix.size());
    last_ = shared + suffix.size();
    used_ += last_;
    ends_.push_back(static_cast<uint32_t>(used_));
  }

  // The strings added, the room left over given back.
  StringTable Finish() &&;

 private:
  StringTable::Bytes bytes_;
  std::vector<uint32_t> ends_;
  size_t used_ = 0;
  size_t last_ = 0;  // the size of back()
};

inline StringTable::const_iterator StringTable::begin() const {
  return const_iterator(this, 0);
}
inline StringTable::const_iterator StringTable::end() const {
  return const_iterator(this, size());
}

}  // namespace vrim

#endif  // VRIM_STRING_TABLE_H_
