// libFuzzer target for the binary index reader. Any input must either be
// rejected with a message or load into an index that writes back to bytes
// which load again and write to the very same bytes.
//
// Seeds: tests/fuzz/seeds (kept in step by tests/cpp/binary_seeds_test.cc).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/reader.h"
#include "format/writer.h"
#include "index/index.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string WriteOrDie(const vrim::Index& index, bool positions) {
  std::string out, overflow;
  Check(vrim::WriteIndex(index, positions, &out, &overflow));
  return out;
}

vrim::IndexPtr ReadOrDie(std::string_view bytes) {
  vrim::IndexPtr index;
  vrim::ReadError error;
  Check(vrim::ReadIndex(bytes, std::nullopt, &index, &error));
  return index;
}

// Touches everything a search could: positions, terms, lengths.
void Walk(const vrim::Index& index) {
  std::vector<vrim::Position> positions;
  for (uint32_t t = 0; t < index.term_count(); ++t) {
    Check(index.token_set().Find(index.data().terms[t]) == t);
    Check(index.FindTerm(index.data().terms[t]) == t);
    for (const vrim::Posting* p = index.postings_begin(t);
         p != index.postings_end(t); ++p) {
      Check(index.field(*p) < index.field_count() &&
            p->doc < index.doc_count_stored());
      positions.clear();
      index.AppendPositions(*p, &positions);
      Check(positions.size() == index.position_count(*p));
      (void)index.field_length(p->doc, index.field(*p));
    }
    (void)index.document_frequency(t);
  }
  for (uint32_t f = 0; f < index.field_count(); ++f) {
    (void)index.average_field_length(f);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string language;
  vrim::ReadError error;
  const bool language_ok = vrim::ReadIndexLanguage(bytes, &language, &error);
  vrim::IndexPtr index;
  if (!vrim::ReadIndex(bytes, std::nullopt, &index, &error)) {
    Check(!error.message.empty());
    return 0;
  }
  Check(language_ok && language == index->data().language);
  Walk(*index);

  // Loading canonicalises; from then on a write/read cycle is exact.
  std::string once = WriteOrDie(*index, true);
  vrim::IndexPtr again = ReadOrDie(once);
  Check(WriteOrDie(*again, true) == once);

  std::string bare = WriteOrDie(*index, false);
  vrim::IndexPtr bare_index = ReadOrDie(bare);
  Walk(*bare_index);
  Check(WriteOrDie(*bare_index, false) == bare);

  vrim::IndexPtr same_language;
  Check(vrim::ReadIndex(bytes, index->data().language, &same_language, &error));
  return 0;
}
