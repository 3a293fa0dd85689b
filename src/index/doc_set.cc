#include "index/doc_set.h"

#include <algorithm>
#include <iterator>

namespace vrim {

namespace {

// Sorted ids take 32 bits a member, a bitset one bit a document: ids win
// below one member in 32 documents.
bool SparseIsSmaller(uint64_t size, uint32_t universe) {
  return size * 32 < static_cast<uint64_t>(universe);
}

uint64_t CountBits(const std::vector<uint64_t>& words) {
  uint64_t count = 0;
  for (uint64_t w : words) count += static_cast<uint64_t>(std::popcount(w));
  return count;
}

}  // namespace

DocSet DocSet::FromSortedIds(uint32_t universe, std::vector<uint32_t> ids) {
  if (!SparseIsSmaller(ids.size(), universe)) {
    std::vector<uint64_t> words(WordCount(universe), 0);
    for (uint32_t doc : ids) words[doc / 64] |= uint64_t{1} << (doc % 64);
    DocSet set;
    set.universe_ = universe;
    set.size_ = ids.size();
    set.dense_ = true;
    set.words_ = std::move(words);
    return set;
  }
  DocSet set;
  set.universe_ = universe;
  set.size_ = ids.size();
  set.ids_ = std::move(ids);
  return set;
}

DocSet DocSet::FromIds(uint32_t universe, std::vector<uint32_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return FromSortedIds(universe, std::move(ids));
}

DocSet DocSet::FromBits(uint32_t universe, std::vector<uint64_t> words) {
  return Normalized(universe, std::move(words));
}

DocSet DocSet::All(uint32_t universe) {
  std::vector<uint64_t> words(WordCount(universe), ~uint64_t{0});
  if (universe % 64 != 0) words.back() = (uint64_t{1} << (universe % 64)) - 1;
  return Normalized(universe, std::move(words));
}

DocSet DocSet::Normalized(uint32_t universe, std::vector<uint64_t> words) {
  DocSet set;
  set.universe_ = universe;
  set.size_ = CountBits(words);
  set.dense_ = true;
  set.words_ = std::move(words);
  if (SparseIsSmaller(set.size_, universe)) {
    set.ids_ = set.Ids();
    set.words_ = {};
    set.dense_ = false;
  }
  return set;
}

bool DocSet::ContainsId(uint32_t doc) const {
  return std::binary_search(ids_.begin(), ids_.end(), doc);
}

uint32_t DocSet::NextFrom(uint32_t doc) const {
  if (doc >= universe_) return kNone;
  if (!dense_) {
    auto it = std::lower_bound(ids_.begin(), ids_.end(), doc);
    return it == ids_.end() ? kNone : *it;
  }
  size_t w = doc / 64;
  uint64_t bits = words_[w] & (~uint64_t{0} << (doc % 64));
  while (bits == 0) {
    if (++w == words_.size()) return kNone;
    bits = words_[w];
  }
  return static_cast<uint32_t>(w * 64 + std::countr_zero(bits));
}

std::vector<uint32_t> DocSet::Ids() const {
  if (!dense_) return ids_;
  std::vector<uint32_t> ids;
  ids.reserve(size_);
  ForEach([&](uint32_t doc) { ids.push_back(doc); });
  return ids;
}

std::vector<uint64_t> DocSet::Bits() const {
  if (dense_) return words_;
  std::vector<uint64_t> words(WordCount(universe_), 0);
  for (uint32_t doc : ids_) words[doc / 64] |= uint64_t{1} << (doc % 64);
  return words;
}

namespace {

// Applies `word_op` to the bitsets of `a` and `b`.
template <typename WordOp>
std::vector<uint64_t> CombineBits(const DocSet& a, const DocSet& b,
                                  WordOp word_op) {
  std::vector<uint64_t> x = a.Bits();
  const std::vector<uint64_t> y = b.Bits();
  for (size_t i = 0; i < x.size(); ++i) x[i] = word_op(x[i], y[i]);
  return x;
}

// Applies a sorted-range algorithm to the ids of two sparse sets.
template <typename SetOp>
std::vector<uint32_t> CombineIds(const DocSet& a, const DocSet& b,
                                 SetOp set_op) {
  const std::vector<uint32_t> x = a.Ids();
  const std::vector<uint32_t> y = b.Ids();
  std::vector<uint32_t> out;
  set_op(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(out));
  return out;
}

}  // namespace

DocSet DocSet::And(const DocSet& a, const DocSet& b) {
  if (!a.dense_ || !b.dense_) {
    // A sparse side bounds the result: probe the other set per member.
    const DocSet& small = a.dense_ ? b : a;
    const DocSet& other = a.dense_ ? a : b;
    std::vector<uint32_t> ids;
    for (uint32_t doc : small.ids_) {
      if (other.Contains(doc)) ids.push_back(doc);
    }
    return FromSortedIds(a.universe_, std::move(ids));
  }
  return Normalized(a.universe_, CombineBits(a, b, [](uint64_t x, uint64_t y) {
                      return x & y;
                    }));
}

DocSet DocSet::Or(const DocSet& a, const DocSet& b) {
  if (!a.dense_ && !b.dense_) {
    return FromSortedIds(a.universe_,
                         CombineIds(a, b, [](auto... args) {
                           return std::set_union(args...);
                         }));
  }
  return Normalized(a.universe_, CombineBits(a, b, [](uint64_t x, uint64_t y) {
                      return x | y;
                    }));
}

DocSet DocSet::Minus(const DocSet& a, const DocSet& b) {
  if (!a.dense_) {
    std::vector<uint32_t> ids;
    for (uint32_t doc : a.ids_) {
      if (!b.Contains(doc)) ids.push_back(doc);
    }
    return FromSortedIds(a.universe_, std::move(ids));
  }
  return Normalized(a.universe_, CombineBits(a, b, [](uint64_t x, uint64_t y) {
                      return x & ~y;
                    }));
}

DocSet DocSet::Xor(const DocSet& a, const DocSet& b) {
  if (!a.dense_ && !b.dense_) {
    return FromSortedIds(a.universe_,
                         CombineIds(a, b, [](auto... args) {
                           return std::set_symmetric_difference(args...);
                         }));
  }
  return Normalized(a.universe_, CombineBits(a, b, [](uint64_t x, uint64_t y) {
                      return x ^ y;
                    }));
}

DocSet DocSet::Complement() const {
  return Minus(All(universe_), *this);
}

bool DocSet::operator==(const DocSet& other) const {
  if (universe_ != other.universe_ || size_ != other.size_) return false;
  // Both forms follow from the size, so equal sets share one.
  return dense_ ? words_ == other.words_ : ids_ == other.ids_;
}

uint32_t DocSetCursor::NextFrom(uint32_t doc) {
  if (set_.dense_) return set_.NextFrom(doc);
  const std::vector<uint32_t>& ids = set_.ids_;
  if (at_ == ids.size() || ids[at_] >= doc) {
    return at_ == ids.size() ? DocSet::kNone : ids[at_];
  }
  // Gallop, then bisect the last step.
  size_t step = 1;
  size_t low = at_;
  while (low + step < ids.size() && ids[low + step] < doc) {
    low += step;
    step *= 2;
  }
  const size_t high = std::min(low + step, ids.size());
  at_ = static_cast<size_t>(
      std::lower_bound(ids.begin() + static_cast<ptrdiff_t>(low),
                       ids.begin() + static_cast<ptrdiff_t>(high), doc) -
      ids.begin());
  return at_ == ids.size() ? DocSet::kNone : ids[at_];
}

bool SameDocuments(const Index& a, const Index& b) {
  return &a == &b || a.data().refs == b.data().refs;
}

}  // namespace vrim
