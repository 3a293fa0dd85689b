#include "build/term_interner.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "build/parallel_for.h"

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
// Fewer terms than this are sorted by comparisons alone.
constexpr size_t kRadixAtLeast = 4096;

// A term's prefix and id, 12 bytes: the sort holds two arrays of them.
#pragma pack(push, 4)
struct Keyed {
  uint64_t first;   // BigEndianPrefix
  uint32_t second;  // id
};
#pragma pack(pop)
static_assert(sizeof(Keyed) == 12);

// Sorts keyed[0, n) by prefix (first), keeping the order of equal
// prefixes: a least significant digit first radix sort over six digits of
// eleven bits, skipping digits that are the same everywhere.
void RadixSortByPrefix(Keyed* keyed, size_t n) {
  constexpr int kBits = 11;
  constexpr int kDigits = (64 + kBits - 1) / kBits;
  constexpr size_t kBuckets = size_t{1} << kBits;
  std::vector<uint32_t> counts(kDigits * kBuckets, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t prefix = keyed[i].first;
    for (int d = 0; d < kDigits; ++d) {
      ++counts[d * kBuckets + ((prefix >> (d * kBits)) & (kBuckets - 1))];
    }
  }
  std::vector<Keyed> scratch(n);
  Keyed* from = keyed;
  Keyed* to = scratch.data();
  for (int d = 0; d < kDigits; ++d) {
    uint32_t* count = counts.data() + d * kBuckets;
    const uint64_t first = (from[0].first >> (d * kBits)) & (kBuckets - 1);
    if (count[first] == n) continue;  // one digit everywhere
    uint32_t start = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
      const uint32_t c = count[b];
      count[b] = start;
      start += c;
    }
    for (size_t i = 0; i < n; ++i) {
      to[count[(from[i].first >> (d * kBits)) & (kBuckets - 1)]++] = from[i];
    }
    std::swap(from, to);
  }
  if (from != keyed) std::copy(from, from + n, keyed);
}

}  // namespace

uint32_t TermInterner::Add(const HashedKey& key) {
  if (key.text.size() > kMaxBytes - bytes_.size()) {
    throw std::length_error(std::string("the distinct ") + what_ +
                            "s of one build share at most 4294967295 bytes");
  }
  const uint32_t id = static_cast<uint32_t>(size());
  bytes_.append(key.text);
  ends_.push_back(bytes_.size());
  table_.Insert(key, id);
  return id;
}

std::vector<uint32_t> TermInterner::ByteOrder(size_t threads) const {
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
  // Each run is ordered by prefix with a radix sort (short runs with a
  // comparison sort), then each stretch of equal prefixes by whole terms.
  ParallelFor(runs, [&](size_t r) {
    Keyed* const run = keyed.data() + bounds[r];
    const size_t n = bounds[r + 1] - bounds[r];
    if (n < kRadixAtLeast) {
      std::sort(run, run + n, less);
      return;
    }
    RadixSortByPrefix(run, n);
    for (size_t i = 0; i < n;) {
      size_t j = i + 1;
      while (j < n && run[j].first == run[i].first) ++j;
      if (j - i > 1) std::sort(run + i, run + j, less);
      i = j;
    }
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
