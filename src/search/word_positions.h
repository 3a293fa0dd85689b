// Word positions: for every stored position of the index, the ordinal of
// its word among the words of its field (0 for the first), derived from
// the character positions the index keeps.
//
// The words of a field are the distinct starts of its stored positions:
// the tokens the pipeline kept, spellings of one word (which share a
// start) counting once. Derived on the first phrase query and kept with
// the index: four bytes per stored position, plus the first entry of
// every block of kBlockSize postings.
#ifndef VRIM_SEARCH_WORD_POSITIONS_H_
#define VRIM_SEARCH_WORD_POSITIONS_H_

#include <cstdint>
#include <vector>

#include "index/index.h"

namespace vrim {

class WordPositions : public DerivedPart {
 public:
  static constexpr uint64_t kBlockSize = 16;

  static WordPositions Derive(const Index& index);

  // The word positions of `index`, derived on first use; safe to call from
  // several threads at once.
  static const WordPositions& Of(const Index& index) {
    return index.Derived<WordPositions>(DerivedSlot::kWordPositions);
  }

  // Whether `index` keeps positions at all (an index written without them
  // has none; an empty one needs none).
  static bool Available(const Index& index) {
    return !index.data().positions.empty() || index.data().postings.empty();
  }

  // The word positions of the posting at `posting` (an index into
  // IndexData::postings): position_count entries, parallel to its decoded
  // positions, so ascending with repeats where positions share a start.
  const uint32_t* Of(uint64_t posting) const;

  // Bytes held.
  uint64_t memory_bytes() const {
    return words_.capacity() * sizeof(uint32_t) +
           block_first_.capacity() * sizeof(uint64_t);
  }

 private:
  const Postings* postings_ = nullptr;
  std::vector<uint32_t> words_;         // per stored position
  std::vector<uint64_t> block_first_;   // per block: its first entry
};

}  // namespace vrim

#endif  // VRIM_SEARCH_WORD_POSITIONS_H_
