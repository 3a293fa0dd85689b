#include "build/id_table.h"

namespace vrim {

void IdTable::Clear() {
  std::vector<Slot>().swap(slots_);
  size_ = 0;
}

void IdTable::Grow() {
  std::vector<Slot> bigger(
      slots_.empty() ? 16 : slots_.size() + slots_.size() / 2,
      Slot{0, 0, 0});
  for (const Slot& s : slots_) {
    if (s.id_plus_one != 0) Place(bigger, s);
  }
  slots_.swap(bigger);
}

}  // namespace vrim
