// A set of one index's documents, held as document ids: a sorted id array
// or a bitset over every id of the index, whichever takes less memory.
// Immutable once made; set operations make new sets.
//
// The universe is the number of stored documents of the index the set
// belongs to: ids are below it, and the complement is taken within it.
#ifndef VRIM_DOC_SET_H_
#define VRIM_DOC_SET_H_

#include <bit>
#include <cstdint>
#include <vector>

#include "index/index.h"

namespace vrim {

class DocSet {
 public:
  // No document: what NextFrom() returns past the last member.
  static constexpr uint32_t kNone = UINT32_MAX;

  DocSet() = default;  // empty, universe 0

  // REQUIRES: `ids` strictly ascending, each below `universe`.
  static DocSet FromSortedIds(uint32_t universe, std::vector<uint32_t> ids);
  // Any ids below `universe`, in any order, repeats allowed.
  // REQUIRES: each id below `universe`.
  static DocSet FromIds(uint32_t universe, std::vector<uint32_t> ids);
  // REQUIRES: words.size() == WordCount(universe); bits at or above
  // `universe` clear.
  static DocSet FromBits(uint32_t universe, std::vector<uint64_t> words);
  static DocSet All(uint32_t universe);

  static size_t WordCount(uint32_t universe) {
    return (static_cast<size_t>(universe) + 63) / 64;
  }

  uint32_t universe() const { return universe_; }
  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Whether the set is held as a bitset (else as sorted ids).
  bool dense() const { return dense_; }

  // Inline: the evaluators test a dense filter once per candidate.
  bool Contains(uint32_t doc) const {
    if (doc >= universe_) return false;
    if (dense_) return (words_[doc / 64] >> (doc % 64)) & 1;
    return ContainsId(doc);
  }
  // The smallest member at or after `doc`, or kNone.
  uint32_t NextFrom(uint32_t doc) const;

  // The bitset: bit doc % 64 of word doc / 64 holds `doc`, for a caller
  // whose documents are all below universe() to test without Contains'
  // checks.
  // REQUIRES: dense().
  const uint64_t* words() const { return words_.data(); }

  // Calls f(doc) for every member, ascending.
  template <typename F>
  void ForEach(F f) const {
    if (!dense_) {
      for (uint32_t doc : ids_) f(doc);
      return;
    }
    for (size_t w = 0; w < words_.size(); ++w) {
      for (uint64_t bits = words_[w]; bits != 0; bits &= bits - 1) {
        f(static_cast<uint32_t>(w * 64 + std::countr_zero(bits)));
      }
    }
  }

  std::vector<uint32_t> Ids() const;
  // The set as a bitset of WordCount(universe()) words.
  std::vector<uint64_t> Bits() const;

  // REQUIRES (binary operations): both sets have the same universe.
  static DocSet And(const DocSet& a, const DocSet& b);
  static DocSet Or(const DocSet& a, const DocSet& b);
  static DocSet Minus(const DocSet& a, const DocSet& b);
  static DocSet Xor(const DocSet& a, const DocSet& b);
  DocSet Complement() const;

  bool operator==(const DocSet& other) const;

 private:
  friend class DocSetCursor;
  // Whether the sorted ids hold `doc`. REQUIRES: !dense_.
  bool ContainsId(uint32_t doc) const;
  // The set of `words`, held in whichever form is smaller.
  static DocSet Normalized(uint32_t universe, std::vector<uint64_t> words);

  uint32_t universe_ = 0;
  uint64_t size_ = 0;
  bool dense_ = false;
  std::vector<uint32_t> ids_;    // when !dense_
  std::vector<uint64_t> words_;  // when dense_
};

// A forward-only walk of a set's members for a caller whose targets only
// grow: NextFrom gallops through sorted ids from where the last call ended.
class DocSetCursor {
 public:
  // REQUIRES: `set` outlives the cursor.
  explicit DocSetCursor(const DocSet& set) : set_(set) {}

  // The smallest member at or after `doc`, or DocSet::kNone.
  // REQUIRES: `doc` is not below the target of an earlier call.
  uint32_t NextFrom(uint32_t doc);

 private:
  const DocSet& set_;
  size_t at_ = 0;  // into the sorted ids
};

// Whether sets of `a`'s documents are sets of `b`'s: the same index, or
// indexes whose references are the same, so the ids name the same
// documents.
bool SameDocuments(const Index& a, const Index& b);

}  // namespace vrim

#endif  // VRIM_DOC_SET_H_
