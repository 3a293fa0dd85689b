#include "index/positions.h"

#include <algorithm>
#include <memory>

#include "index/varint.h"

namespace vrim {

char* WritePositions(Position* begin, Position* end, char* w) {
  if (!std::is_sorted(begin, end)) std::sort(begin, end);
  uint64_t common = begin == end ? 0 : begin->length;
  for (const Position* pos = begin; pos != end; ++pos) {
    if (pos->length != common) {
      common = 0;
      break;
    }
  }
  w = EncodeVarint64(w, common);
  uint64_t prev = 0;
  for (const Position* pos = begin; pos != end; ++pos) {
    w = EncodeVarint64(w, pos->start - prev);
    prev = pos->start;
    if (common == 0) w = EncodeVarint64(w, pos->length);
  }
  return w;
}

void EncodePositions(Position* begin, Position* end, std::string* out) {
  const size_t bound = MaxEncodedPositions(static_cast<size_t>(end - begin));
  // Most lists are written in place, in room the string clears first; a
  // long one goes through room of its own, whose pages past the encoding
  // are never touched.
  if (bound <= 1024) {
    const size_t at = out->size();
    out->resize(at + bound);
    char* const w = WritePositions(begin, end, out->data() + at);
    out->resize(static_cast<size_t>(w - out->data()));
    return;
  }
  std::unique_ptr<char[]> room(new char[bound]);
  const char* const w = WritePositions(begin, end, room.get());
  out->append(room.get(), static_cast<size_t>(w - room.get()));
}

void EncodePositions(std::vector<Position>* positions, std::string* out) {
  EncodePositions(positions->data(), positions->data() + positions->size(),
                  out);
}

namespace {

// Walks `count` encoded entries, handing each (start, length) to `emit`.
template <class Emit>
size_t Decode(const uint8_t* data, uint64_t count, Emit emit) {
  const uint8_t* p = data;
  uint64_t common = GetVarint64Unchecked(&p);
  uint64_t start = 0;
  for (uint64_t i = 0; i < count; ++i) {
    start += GetVarint64Unchecked(&p);
    uint64_t length = common ? common : GetVarint64Unchecked(&p);
    emit(start, length);
  }
  return static_cast<size_t>(p - data);
}

}  // namespace

size_t EncodedPositionsLength(const uint8_t* data, uint64_t count) {
  if (count == 0) return 0;
  const uint8_t* p = data;
  const uint64_t common = GetVarint64Unchecked(&p);
  // Every varint ends on a byte below 0x80: count the ends.
  for (uint64_t ends = count * (common != 0 ? 1 : 2); ends > 0; --ends) {
    while (*p++ & 0x80) {
    }
  }
  return static_cast<size_t>(p - data);
}

size_t DecodePositions(const uint8_t* data, uint64_t count,
                       std::vector<Position>* out) {
  out->reserve(out->size() + count);
  return Decode(data, count, [out](uint64_t start, uint64_t length) {
    out->push_back(Position{start, length});
  });
}

size_t DecodeStarts(const uint8_t* data, uint64_t count,
                    std::vector<uint64_t>* out) {
  out->reserve(out->size() + count);
  return Decode(data, count,
                [out](uint64_t start, uint64_t) { out->push_back(start); });
}

}  // namespace vrim
