// A document as the builder stages it, and the compact form the builder
// keeps it in until a build.
#ifndef VRIM_STAGED_DOCUMENT_H_
#define VRIM_STAGED_DOCUMENT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrim {

struct StagedDocument {
  std::string ref;  // non-empty, never trimmed
  // (field id, text) for the fields present when the document was added.
  std::vector<std::pair<uint32_t, std::string>> fields;
  double boost = 1.0;
};

// A StagedDocument in one allocation: the reference, a header of varints
// (the field count, then each field's id and text length) and the texts
// back to back. Collections of short documents are staged by the ten
// thousand: a reference, a vector of fields and a string per text would
// cost about 200 bytes a document besides the text, this costs about 60.
class PackedDocument {
 public:
  explicit PackedDocument(const StagedDocument& doc);

  std::string_view ref() const;
  // The text of `field`, empty when the document has none.
  std::string_view text(uint32_t field) const;
  double boost() const { return boost_; }
  // The document as it was staged.
  StagedDocument Unpack() const;

 private:
  std::string bytes_;
  double boost_;
};

}  // namespace vrim

#endif  // VRIM_STAGED_DOCUMENT_H_
