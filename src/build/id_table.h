// Open-addressing map from strings to dense ids. The strings live with the
// caller, which passes an id -> string accessor to lookups of long keys.
//
// A slot holds 31 bits of the key's hash (which also pick the slot), a flag
// for keys of at most 7 bytes, the id and the key's first 8 bytes (for a
// short key: its bytes and its length), so that short keys, most terms,
// are matched without touching the caller's strings.
#ifndef VRIM_ID_TABLE_H_
#define VRIM_ID_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "build/hashed_key.h"

namespace vrim {

class IdTable {
 public:
  // The id stored for `key`, or -1. `key_of(id)` returns the string of an
  // id as a std::string_view.
  // REQUIRES: `key_of` knows every id inserted.
  template <class KeyOf>
  int64_t Find(const HashedKey& key, const KeyOf& key_of) const {
    if (slots_.empty()) return -1;
    const Slot probe = SlotFor(key, 0);
    for (size_t i = probe.tag & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0) return -1;
      if (s.tag == probe.tag && s.prefix == probe.prefix &&
          ((probe.tag & 1) != 0 || key_of(s.id_plus_one - 1) == key.text)) {
        return s.id_plus_one - 1;
      }
    }
  }

  // Starts loading the slot a lookup of `hash` will probe first.
  void Prefetch(uint64_t hash) const {
    if (!slots_.empty()) {
      __builtin_prefetch(&slots_[static_cast<uint32_t>(hash >> 32) & mask_]);
    }
  }

  // REQUIRES: the key is not in the table; id < UINT32_MAX.
  void Insert(const HashedKey& key, uint32_t id) {
    if ((size_ + 1) * 10 > slots_.size() * 7) Grow();
    Place(slots_, mask_, SlotFor(key, id + 1));
    ++size_;
  }

  // Empties the table and frees its slots.
  void Clear();

 private:
  struct Slot {
    uint64_t prefix;
    uint32_t tag;          // hash bits, lowest bit set for a short key
    uint32_t id_plus_one;  // 0 marks an empty slot
  };

  static Slot SlotFor(const HashedKey& key, uint32_t id_plus_one) {
    const bool short_key = key.text.size() <= 7;
    Slot s;
    s.prefix = short_key ? key.prefix | (uint64_t{key.text.size()} << 56)
                         : key.prefix;
    s.tag = (static_cast<uint32_t>(key.hash >> 32) & ~1u) |
            (short_key ? 1u : 0u);
    s.id_plus_one = id_plus_one;
    return s;
  }

  // REQUIRES: `slots` has a free slot; mask + 1 == slots.size().
  static void Place(std::vector<Slot>& slots, size_t mask, const Slot& slot) {
    size_t i = slot.tag & mask;
    while (slots[i].id_plus_one != 0) i = (i + 1) & mask;
    slots[i] = slot;
  }

  // Doubles the slots (16 at first) and places every entry again.
  void Grow();

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t size_ = 0;
};

}  // namespace vrim

#endif  // VRIM_ID_TABLE_H_
