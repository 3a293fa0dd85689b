#include "term_interner.h"

#include <algorithm>
#include <utility>

namespace vrim {

namespace {

// The first eight bytes of `t` as one big-endian integer, zero padded:
// integer order is byte order as far as those bytes go.
uint64_t BigEndianPrefix(std::string_view t) {
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i) {
    key = (key << 8) | (i < t.size() ? static_cast<uint8_t>(t[i]) : 0);
  }
  return key;
}

}  // namespace

std::vector<uint32_t> TermInterner::ByteOrder() const {
  const uint32_t count = static_cast<uint32_t>(size());
  // Whole terms are compared only where the prefixes agree.
  std::vector<std::pair<uint64_t, uint32_t>> keyed(count);
  for (uint32_t id = 0; id < count; ++id) {
    keyed[id] = {BigEndianPrefix(term(id)), id};
  }
  std::sort(keyed.begin(), keyed.end(),
            [this](const std::pair<uint64_t, uint32_t>& a,
                   const std::pair<uint64_t, uint32_t>& b) {
              if (a.first != b.first) return a.first < b.first;
              return term(a.second) < term(b.second);
            });
  std::vector<uint32_t> order(count);
  for (uint32_t r = 0; r < count; ++r) order[r] = keyed[r].second;
  return order;
}

}  // namespace vrim
