// Term id -> slot for the distinct terms of one field, in a table sized to
// the field, so that grouping its occurrences stays in the nearest cache.
#ifndef VRIM_LOCAL_SLOTS_H_
#define VRIM_LOCAL_SLOTS_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vrim {

class LocalSlots {
 public:
  // Empties the table, sized for up to `keys` distinct terms.
  void Reset(size_t keys) {
    size_t capacity = 16;
    while (capacity < 2 * keys) capacity <<= 1;
    entries_.assign(capacity, Entry{kEmpty, 0});
    shift_ = 64 - std::countr_zero(capacity);
  }

  // The slot of `term`; claims `next` for it when it has none yet.
  // REQUIRES: term != UINT32_MAX; at most `keys` (of Reset) distinct terms.
  uint32_t SlotOf(uint32_t term, uint32_t next, bool* added) {
    const size_t mask = entries_.size() - 1;
    for (size_t i = (term * 0x9E3779B97F4A7C15ULL) >> shift_;;
         i = (i + 1) & mask) {
      Entry& e = entries_[i];
      if (e.term == term) {
        *added = false;
        return e.slot;
      }
      if (e.term == kEmpty) {
        e = Entry{term, next};
        *added = true;
        return next;
      }
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Entry {
    uint32_t term;
    uint32_t slot;
  };
  std::vector<Entry> entries_;
  int shift_ = 60;
};

}  // namespace vrim

#endif  // VRIM_LOCAL_SLOTS_H_
