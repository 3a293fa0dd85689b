// The terms of one build, stored back to back and numbered densely in the
// order they were first interned.
#ifndef VRIM_TERM_INTERNER_H_
#define VRIM_TERM_INTERNER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "build/hashed_key.h"
#include "build/id_table.h"

namespace vrim {

class TermInterner {
 public:
  // The bytes of all terms together stay below this; Intern() of a new
  // term past it throws std::length_error.
  static constexpr uint64_t kMaxBytes = UINT32_MAX;

  // `what` names the terms in the error of kMaxBytes ("term", "token
  // text").
  explicit TermInterner(const char* what = "term") : what_(what) {}

  // The id of key.text, numbering it next when it is new (`*added` then
  // true).
  // REQUIRES: the table has not been dropped; fewer than UINT32_MAX - 2
  // terms.
  uint32_t Intern(const HashedKey& key, bool* added) {
    const int64_t found =
        table_.Find(key, [this](uint32_t id) { return this->term(id); });
    *added = found < 0;
    return found >= 0 ? static_cast<uint32_t>(found) : Add(key);
  }

  // Starts loading what an Intern() of a key with `hash` reads first.
  void Prefetch(uint64_t hash) const { table_.Prefetch(hash); }

  // Frees the lookup table; term() keeps working.
  // REQUIRES (afterwards): Intern() is not called again.
  void DropTable() { table_.Clear(); }

  size_t size() const { return ends_.size(); }
  // The bytes of all terms together.
  size_t bytes() const { return bytes_.size(); }
  // REQUIRES: id < size().
  std::string_view term(uint32_t id) const {
    const size_t begin = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(bytes_).substr(begin, ends_[id] - begin);
  }

  // The ids in ascending byte order of their terms, sorted on up to
  // `threads` threads.
  std::vector<uint32_t> ByteOrder(size_t threads = 1) const;

 private:
  // Numbers a new term; out of line, so that lookups of known terms, by
  // far the most, stay small enough to inline.
  uint32_t Add(const HashedKey& key);

  const char* what_;
  std::string bytes_;
  std::vector<uint32_t> ends_;
  IdTable table_;
};

}  // namespace vrim

#endif  // VRIM_TERM_INTERNER_H_
