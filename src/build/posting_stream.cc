#include "build/posting_stream.h"

#include <cstring>

namespace vrim {

void PostingStream::Add(uint32_t term, Position* begin, Position* end) {
  const uint64_t tf = static_cast<uint64_t>(end - begin);
  // The term (and a large frequency), then a byte for the list's length
  // (with a small frequency), then the list; a length that takes more,
  // rare, moves the list along.
  char head[2 * kMaxVarintBytes + 1];
  char* w = EncodeVarint64(head, term);
  if (tf >= kSmallTf) w = EncodeVarint64(w, tf << 1 | 1);
  *w++ = '\0';
  bytes_.append(head, static_cast<size_t>(w - head));
  const size_t length_at = bytes_.size() - 1;
  EncodePositions(begin, end, &bytes_);
  const uint64_t length = bytes_.size() - length_at - 1;
  char varint[kMaxVarintBytes];
  const uint64_t value = tf < kSmallTf ? length << 4 | tf << 1 : length;
  const size_t width =
      static_cast<size_t>(EncodeVarint64(varint, value) - varint);
  if (width > 1) bytes_.insert(length_at + 1, width - 1, '\0');
  std::memcpy(bytes_.data() + length_at, varint, width);
}

}  // namespace vrim
