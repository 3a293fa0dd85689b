// The validating binary index reader. Never trusts its input: every
// offset, count, length and id is checked before use.
#ifndef VRIM_BINARY_READER_H_
#define VRIM_BINARY_READER_H_

#include <optional>
#include <string>
#include <string_view>

#include "index/index.h"

namespace vrim {

enum class ReadErrorKind {
  kTooShort,
  kBadMagic,
  kBadVersion,
  kSectionOutOfBounds,
  kSectionOrder,
  kTruncated,
  kMalformedVarint,
  kInvalidUtf8,
  kDocumentIdOutOfRange,
  kFieldIdOutOfRange,
  kTermIdOutOfRange,
  kLanguageMismatch,
  kPipelineMismatch,
  kBadFrontCoding,
  kUnsupportedFlags,
};

struct ReadError {
  ReadErrorKind kind;
  std::string message;  // the complete message, e.g. "malformed varint"
};

// Reads the stored language code after validating the header, the meta
// section and the fixed parts; does not materialise the index.
bool ReadIndexLanguage(std::string_view bytes, std::string* language,
                       ReadError* error);

// Reads and materialises a whole index. When `requested_language` is set,
// its members must equal the stored code's members (LanguageMismatch).
bool ReadIndex(std::string_view bytes,
               const std::optional<std::string>& requested_language,
               IndexPtr* out, ReadError* error);

}  // namespace vrim

#endif  // VRIM_BINARY_READER_H_
