#include "search/word_positions.h"

#include <algorithm>
#include <utility>

#include "index/positions.h"

namespace vrim {

namespace {

// A stored position waiting for its word ordinal: its start and its entry
// in the word position array.
struct PendingWord {
  uint64_t start;
  uint64_t entry;
};

}  // namespace

WordPositions WordPositions::Derive(const Index& index) {
  const IndexData& data = index.data();
  const Postings& postings = data.postings;
  const uint64_t fields = index.field_count();
  const uint64_t groups = index.doc_count_stored() * fields;
  WordPositions out;
  out.postings_ = &postings;

  // Entries of each (document, field) group, counted, then placed from
  // each group's end down (a counting sort keyed by group).
  std::vector<uint64_t> group_end(groups + 1, 0);
  uint64_t total = 0;
  out.block_first_.reserve(postings.size() / kBlockSize + 1);
  for (uint64_t i = 0; i < postings.size(); ++i) {
    const Posting& p = postings[i];
    if (i % kBlockSize == 0) out.block_first_.push_back(total);
    const uint32_t count = postings.position_count(p);
    group_end[p.doc * fields + postings.field(p) + 1] += count;
    total += count;
  }
  for (uint64_t g = 1; g <= groups; ++g) group_end[g] += group_end[g - 1];
  std::vector<PendingWord> pending(total);
  std::vector<uint64_t>& next = group_end;  // becomes each group's begin
  const uint8_t* encoded =
      reinterpret_cast<const uint8_t*>(data.positions.data());
  std::vector<uint64_t> starts;
  uint64_t entry = 0;
  for (const Posting& p : postings) {
    const uint32_t count = postings.position_count(p);
    if (count == 0) continue;
    starts.clear();
    encoded += DecodeStarts(encoded, count, &starts);
    uint64_t& slot = next[p.doc * fields + postings.field(p) + 1];
    for (uint64_t start : starts) pending[--slot] = PendingWord{start, entry++};
  }

  out.words_.resize(total);
  for (uint64_t g = 0; g < groups; ++g) {
    const auto begin = pending.begin() + static_cast<ptrdiff_t>(next[g + 1]);
    const auto end = g + 2 <= groups
                         ? pending.begin() + static_cast<ptrdiff_t>(next[g + 2])
                         : pending.end();
    if (begin == end) continue;
    std::sort(begin, end, [](const PendingWord& x, const PendingWord& y) {
      return x.start < y.start;
    });
    uint32_t word = 0;
    for (auto it = begin; it != end; ++it) {
      if (it != begin && it->start != (it - 1)->start) ++word;
      out.words_[it->entry] = word;
    }
  }
  return out;
}

const uint32_t* WordPositions::Of(uint64_t posting) const {
  const uint64_t block_start = posting - posting % kBlockSize;
  uint64_t entry = block_first_[posting / kBlockSize];
  for (uint64_t i = block_start; i < posting; ++i) {
    entry += postings_->position_count((*postings_)[i]);
  }
  return words_.data() + entry;
}

}  // namespace vrim
