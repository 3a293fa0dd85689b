// The validating reader up to, but not including, Index::Make: all of
// ReadIndex's checks, leaving the stored members in an IndexData. Lets
// callers (tests, tools) inspect exactly what a file holds.
#ifndef VRIM_BINARY_DATA_READER_H_
#define VRIM_BINARY_DATA_READER_H_

#include <optional>
#include <string>
#include <string_view>

#include "analysis/language.h"
#include "format/reader.h"
#include "index/index.h"

namespace vrim {

// How position lists and postings are decoded. kFast recognises the
// common shapes a word at a time; kGeneral decodes every varint on its own.
// Both give the same data, or the same error, for every input: kGeneral is
// there for tests to compare against.
enum class ReadPath { kFast, kGeneral };

// On success fills `*data` (satisfying every IndexData invariant) and
// `*language` (the stored code resolved).
bool ReadIndexData(std::string_view bytes,
                   const std::optional<std::string>& requested_language,
                   IndexData* data, LanguagePtr* language, ReadError* error,
                   ReadPath path = ReadPath::kFast);

}  // namespace vrim

#endif  // VRIM_BINARY_DATA_READER_H_
