#include "term_interner.h"

#include <algorithm>
#include <utility>

#include "parallel_for.h"

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

// Fewer terms than this per thread are sorted on fewer threads.
constexpr size_t kRunAtLeast = 16384;

}  // namespace

std::vector<uint32_t> TermInterner::ByteOrder(size_t threads) const {
  using Keyed = std::pair<uint64_t, uint32_t>;
  const uint32_t count = static_cast<uint32_t>(size());
  // Whole terms are compared only where the prefixes agree.
  std::vector<Keyed> keyed(count);
  for (uint32_t id = 0; id < count; ++id) {
    keyed[id] = {BigEndianPrefix(term(id)), id};
  }
  const auto less = [this](const Keyed& a, const Keyed& b) {
    if (a.first != b.first) return a.first < b.first;
    return term(a.second) < term(b.second);
  };
  // Runs of about equal size, sorted apart, then merged in order.
  const size_t runs = std::clamp<size_t>(count / kRunAtLeast, 1, threads);
  std::vector<size_t> bounds(runs + 1);
  for (size_t r = 0; r <= runs; ++r) bounds[r] = count * r / runs;
  ParallelFor(runs, [&](size_t r) {
    std::sort(keyed.begin() + bounds[r], keyed.begin() + bounds[r + 1], less);
  });
  for (size_t r = 1; r < runs; ++r) {
    std::inplace_merge(keyed.begin(), keyed.begin() + bounds[r],
                       keyed.begin() + bounds[r + 1], less);
  }
  std::vector<uint32_t> order(count);
  for (uint32_t r = 0; r < count; ++r) order[r] = keyed[r].second;
  return order;
}

}  // namespace vrim
