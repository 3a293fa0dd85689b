// Constants of the binary index layout shared by the writer and the
// reader. The layout itself is drawn at the top of writer.cc.
#ifndef VRIM_BINARY_FORMAT_H_
#define VRIM_BINARY_FORMAT_H_

#include <cstdint>

namespace vrim {
namespace binary_format {

constexpr char kMagic[4] = {'V', 'R', 'I', 'M'};
constexpr uint16_t kVersion = 1;
constexpr uint16_t kFlagPositions = 1;  // bit 0; every other bit is 0
constexpr uint64_t kHeaderSize = 64;
constexpr uint64_t kTermsPerBlock = 16;
constexpr uint64_t kMaxU32 = 0xFFFFFFFFu;
// Longest position length the reader accepts, in characters.
constexpr uint64_t kMaxPositionLength = 1u << 20;

// Header field offsets.
constexpr int kOffVersion = 4;
constexpr int kOffFlags = 6;
constexpr int kOffStoredDocs = 8;
constexpr int kOffDocumentCount = 12;
constexpr int kOffFieldCount = 16;
constexpr int kOffTermCount = 20;
constexpr int kOffK1 = 24;
constexpr int kOffB = 32;
constexpr int kOffSections = 40;  // six u32: meta, docs, terms, postings,
                                  // positions, end

inline uint64_t BlockCount(uint64_t terms) {
  return (terms + kTermsPerBlock - 1) / kTermsPerBlock;
}

}  // namespace binary_format
}  // namespace vrim

#endif  // VRIM_BINARY_FORMAT_H_
