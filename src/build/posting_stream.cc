#include "build/posting_stream.h"

#include <cstring>
#include <utility>

namespace vrim {

void PostingStream::Add(uint32_t term, Position* begin, Position* end) {
  const uint64_t tf = static_cast<uint64_t>(end - begin);
  char* w = Room(3 * kMaxVarintBytes + MaxEncodedPositions(tf));
  // The term (and a large frequency), then a byte for the list's length
  // (with a small frequency), then the list; a length that takes more,
  // rare, moves the list along.
  w = EncodeVarint64(w, term);
  if (tf >= kSmallTf) w = EncodeVarint64(w, tf << 1 | 1);
  char* const list = w + 1;
  const uint64_t length =
      static_cast<uint64_t>(WritePositions(begin, end, list) - list);
  const uint64_t value = tf < kSmallTf ? length << 4 | tf << 1 : length;
  const size_t width = static_cast<size_t>(VarintLength(value));
  if (width > 1) std::memmove(list + width - 1, list, length);
  end_ = list + width - 1 + length;
  EncodeVarint64(w, value);
}

void PostingStream::Reallocate(size_t capacity) {
  const size_t used = size();
  std::unique_ptr<char[]> bytes(new char[capacity]);
  if (used > 0) std::memcpy(bytes.get(), bytes_.get(), used);
  bytes_ = std::move(bytes);
  end_ = bytes_.get() + used;
  capacity_end_ = bytes_.get() + capacity;
}

}  // namespace vrim
