// Open-addressing map from strings to dense ids. The strings live with the
// caller, which passes an id -> string accessor to lookups of long keys.
//
// A slot holds 31 bits of the key's hash (which also pick the slot), a flag
// for keys of at most 7 bytes, the id and the key's first 8 bytes (for a
// short key: its bytes and its length), so that short keys, most terms,
// are matched without touching the caller's strings. The table grows by
// half rather than doubling, staying closer to the size of what it holds
// (the interners' tables are among the largest arrays of a build).
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
    const size_t n = slots_.size();
    for (size_t i = Home(probe.tag, n);; i = i + 1 == n ? 0 : i + 1) {
      const Slot& s = slots_[i];
      if (s.id_plus_one == 0) return -1;
      if (s.tag == probe.tag && s.prefix == probe.prefix &&
          ((probe.tag & 1) != 0 ||
           SameLongText(key_of(s.id_plus_one - 1), key))) {
        return s.id_plus_one - 1;
      }
    }
  }

  // Starts loading the slot a lookup of `hash` will probe first.
  void Prefetch(uint64_t hash) const {
    if (!slots_.empty()) {
      __builtin_prefetch(
          &slots_[Home(static_cast<uint32_t>(hash >> 32), slots_.size())]);
    }
  }

  // REQUIRES: the key is not in the table; id < UINT32_MAX.
  void Insert(const HashedKey& key, uint32_t id) {
    if ((size_ + 1) * 10 > slots_.size() * 7) Grow();
    Place(slots_, SlotFor(key, id + 1));
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

  // The slot a probe for `tag` starts at, of `n`: the tag's bits scaled to
  // [0, n).
  static size_t Home(uint32_t tag, size_t n) {
    return static_cast<size_t>((uint64_t{tag} * n) >> 32);
  }

  // REQUIRES: `slots` has a free slot.
  static void Place(std::vector<Slot>& slots, const Slot& slot) {
    const size_t n = slots.size();
    size_t i = Home(slot.tag, n);
    while (slots[i].id_plus_one != 0) i = i + 1 == n ? 0 : i + 1;
    slots[i] = slot;
  }

  // Grows the slots by half (16 at first) and places every entry again.
  void Grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
};

}  // namespace vrim

#endif  // VRIM_ID_TABLE_H_
