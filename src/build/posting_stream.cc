#include "build/posting_stream.h"

#include <cstring>

namespace vrim {

void PostingStream::Add(uint32_t term, std::vector<Position>* positions) {
  PutVarint64(&bytes_, term);
  PutVarint64(&bytes_, positions->size());
  // A byte for the list's length, then the list; a length of more than
  // one byte, rare, moves the list along.
  const size_t length_at = bytes_.size();
  bytes_.push_back('\0');
  EncodePositions(positions, &bytes_);
  const uint64_t length = bytes_.size() - length_at - 1;
  char varint[kMaxVarintBytes];
  const size_t width = static_cast<size_t>(EncodeVarint64(varint, length) -
                                           varint);
  if (width > 1) bytes_.insert(length_at + 1, width - 1, '\0');
  std::memcpy(bytes_.data() + length_at, varint, width);
}

}  // namespace vrim
