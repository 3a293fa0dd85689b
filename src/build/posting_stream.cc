#include "build/posting_stream.h"

#include <cstring>

namespace vrim {

void PostingStream::Add(uint32_t term, std::vector<Position>* positions) {
  const uint64_t tf = positions->size();
  PutVarint64(&bytes_, term);
  if (tf >= kSmallTf) PutVarint64(&bytes_, tf << 1 | 1);
  // A byte for the list's length (with a small frequency), then the list;
  // a length that takes more, rare, moves the list along.
  const size_t length_at = bytes_.size();
  bytes_.push_back('\0');
  EncodePositions(positions, &bytes_);
  const uint64_t length = bytes_.size() - length_at - 1;
  char varint[kMaxVarintBytes];
  const uint64_t value = tf < kSmallTf ? length << 4 | tf << 1 : length;
  const size_t width =
      static_cast<size_t>(EncodeVarint64(varint, value) - varint);
  if (width > 1) bytes_.insert(length_at + 1, width - 1, '\0');
  std::memcpy(bytes_.data() + length_at, varint, width);
}

}  // namespace vrim
