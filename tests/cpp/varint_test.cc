#include "index/varint.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "index/positions.h"

namespace vrim {
namespace {

VarintStatus Decode(const std::string& bytes, uint64_t* v, size_t* used) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* start = p;
  VarintStatus s = GetVarint64(&p, p + bytes.size(), v);
  *used = static_cast<size_t>(p - start);
  return s;
}

TEST(Varint, RoundTripsShortestForm) {
  const uint64_t values[] = {0, 1, 127, 128, 300, 16383, 16384,
                             (1ull << 32) - 1, 1ull << 32,
                             std::numeric_limits<uint64_t>::max()};
  for (uint64_t v : values) {
    std::string buf;
    PutVarint64(&buf, v);
    EXPECT_EQ(static_cast<int>(buf.size()), VarintLength(v));
    uint64_t got = 0;
    size_t used = 0;
    ASSERT_EQ(Decode(buf, &got, &used), VarintStatus::kOk);
    EXPECT_EQ(got, v);
    EXPECT_EQ(used, buf.size());
    const uint8_t* p = reinterpret_cast<const uint8_t*>(buf.data());
    EXPECT_EQ(GetVarint64Unchecked(&p), v);
  }
  std::string max;
  PutVarint64(&max, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(max.size(), 10u);
  EXPECT_EQ(static_cast<uint8_t>(max.back()), 1);
}

TEST(Varint, RejectsTruncatedAndOverlongInput) {
  uint64_t v;
  size_t used;
  EXPECT_EQ(Decode("", &v, &used), VarintStatus::kTruncated);
  EXPECT_EQ(Decode("\x80\x80", &v, &used), VarintStatus::kTruncated);
  // A 10th byte may only carry the lowest bit.
  std::string ten(9, '\xff');
  EXPECT_EQ(Decode(ten + '\x02', &v, &used), VarintStatus::kMalformed);
  EXPECT_EQ(Decode(ten + '\x81', &v, &used), VarintStatus::kMalformed);
  EXPECT_EQ(Decode(ten + '\x01', &v, &used), VarintStatus::kOk);
  EXPECT_EQ(v, std::numeric_limits<uint64_t>::max());
}

TEST(Fixed, LittleEndianLayout) {
  std::string buf;
  PutFixed16(&buf, 0x0102);
  PutFixed32(&buf, 0x03040506);
  PutDouble(&buf, 1.5);
  ASSERT_EQ(buf.size(), 14u);
  EXPECT_EQ(buf.substr(0, 6), std::string("\x02\x01\x06\x05\x04\x03", 6));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(buf.data());
  EXPECT_EQ(DecodeFixed16(p), 0x0102);
  EXPECT_EQ(DecodeFixed32(p + 2), 0x03040506u);
  EXPECT_EQ(DecodeDouble(p + 6), 1.5);
}

struct PositionCase {
  std::vector<Position> in;
  std::string encoded;
};

TEST(Positions, EncodesCommonLengthAndSortsEntries) {
  const PositionCase cases[] = {
      {{{0, 2}, {3, 2}, {7, 2}}, std::string("\x02\x00\x03\x04", 4)},
      {{{0, 2}, {3, 5}}, std::string("\x00\x00\x02\x03\x05", 5)},
      // Unsorted input, ties broken by length; lengths differ so L = 0.
      {{{5, 3}, {5, 1}, {2, 1}},
       std::string("\x00\x02\x01\x03\x01\x00\x03", 7)},
      // Zero lengths can never be the common length.
      {{{4, 0}, {6, 0}}, std::string("\x00\x04\x00\x02\x00", 5)},
      {{}, std::string("\x00", 1)},
  };
  for (const PositionCase& c : cases) {
    std::vector<Position> in = c.in;
    std::string out;
    EncodePositions(&in, &out);
    EXPECT_EQ(out, c.encoded);
    std::vector<Position> sorted = c.in;
    std::sort(sorted.begin(), sorted.end());
    std::vector<Position> back;
    EXPECT_EQ(DecodePositions(reinterpret_cast<const uint8_t*>(out.data()),
                              sorted.size(), &back),
              out.size());
    EXPECT_EQ(back, sorted);
    std::vector<uint64_t> starts;
    DecodeStarts(reinterpret_cast<const uint8_t*>(out.data()), sorted.size(),
                 &starts);
    ASSERT_EQ(starts.size(), sorted.size());
    for (size_t i = 0; i < starts.size(); ++i) {
      EXPECT_EQ(starts[i], sorted[i].start);
    }
  }
}

}  // namespace
}  // namespace vrim
