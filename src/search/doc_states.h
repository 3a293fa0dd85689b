// The per-document working state of an exhaustive search, and the table
// that finds it by document id.
#ifndef VRIM_DOC_STATES_H_
#define VRIM_DOC_STATES_H_

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vrim {

// No state: an empty slot of the document table.
constexpr uint32_t kNoState = UINT32_MAX;

// Per-document working state of one search.
struct DocState {
  uint32_t doc;
  uint32_t required_hits = 0;
  uint32_t last_clause = UINT32_MAX;  // last clause that counted for it
  double score = 0.0;
  bool scored = false;
  bool prohibited = false;
};

// Document id to DocState: a dense table when a large share of the index
// is touched, an open-addressing hash table otherwise, so a rare-term query
// on a large index costs nothing per stored document. Every state comes
// from one of the `expected` postings, so the table, sized to twice that,
// never fills beyond half.
class DocStates {
 public:
  DocStates(size_t doc_count, uint64_t expected) {
    if (expected >= doc_count / 16) {
      dense_.assign(doc_count, kNoState);
    } else {
      size_t capacity = 16;
      while (capacity < expected * 2) capacity *= 2;
      keys_.assign(capacity, kEmpty);
      values_.resize(capacity);
      mask_ = capacity - 1;
    }
    states_.reserve(std::min<uint64_t>(expected, doc_count));
  }

  DocState& Get(uint32_t doc) {
    uint32_t* slot = Slot(doc);
    if (*slot == kNoState) {
      *slot = static_cast<uint32_t>(states_.size());
      states_.push_back(DocState{doc});
    }
    return states_[*slot];
  }

  const DocState* Find(uint32_t doc) const {
    if (!dense_.empty()) {
      return dense_[doc] == kNoState ? nullptr : &states_[dense_[doc]];
    }
    for (size_t i = Hash(doc) & mask_; keys_[i] != kEmpty;
         i = (i + 1) & mask_) {
      if (keys_[i] == doc) return &states_[values_[i]];
    }
    return nullptr;
  }

  std::vector<DocState>& states() { return states_; }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;

  static size_t Hash(uint32_t doc) {
    return static_cast<size_t>((doc * 0x9E3779B97F4A7C15ull) >> 20);
  }

  uint32_t* Slot(uint32_t doc) {
    if (!dense_.empty()) return &dense_[doc];
    size_t i = Hash(doc) & mask_;
    while (keys_[i] != kEmpty && keys_[i] != doc) i = (i + 1) & mask_;
    if (keys_[i] == kEmpty) {
      keys_[i] = doc;
      values_[i] = kNoState;
    }
    return &values_[i];
  }

  std::vector<uint32_t> dense_;
  std::vector<uint32_t> keys_;
  std::vector<uint32_t> values_;
  size_t mask_ = 0;
  std::vector<DocState> states_;
};

}  // namespace vrim

#endif  // VRIM_DOC_STATES_H_
