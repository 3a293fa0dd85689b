// A document as the builder stages it, and the compact form the builder
// keeps it in until a build.
#ifndef VRIM_STAGED_DOCUMENT_H_
#define VRIM_STAGED_DOCUMENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrim {

// Lets go of what keeps a borrowed text alive (see StagedDocument).
using ReleaseText = void (*)(void* holder);

struct StagedDocument {
  // A text the builder reads in place instead of copying: it stays valid
  // and unchanged until the staged document is dropped, which hands
  // `holder` to the document's `release`.
  struct Borrowed {
    uint32_t field;
    std::string_view text;
    void* holder;
  };

  std::string ref;  // non-empty, never trimmed
  // (field id, text) for the fields present when the document was added.
  std::vector<std::pair<uint32_t, std::string>> fields;
  double boost = 1.0;
  // More fields, read in place; never the same field as one in `fields`.
  std::vector<Borrowed> borrowed = {};
  // REQUIRES: set when `borrowed` is not empty.
  ReleaseText release = nullptr;
};

// Hands each of doc.borrowed's holders to doc.release: for a document
// that is not staged after all.
void ReleaseBorrowed(const StagedDocument& doc);

// A StagedDocument in one allocation, held by one pointer: a flags byte
// (bit 0: a boost other than 1 follows; bit 1 or 2: the release of
// borrowed texts follows, as its address or as its place, a byte, among
// the release functions seen), those values, the reference with its
// length as a varint, a header of varints (the field count, then each
// field's id and text length, doubled, plus one for a borrowed text) and
// the texts back to back, a borrowed one as its holder and its address
// (kept as the distance from the holder's). Collections of short
// documents are staged by the ten thousand: a reference, a vector of
// fields and a string per text would cost about 200 bytes a document
// besides the text, this costs about 50. Dropping it (destroyed, or
// assigned over) releases the holders of its borrowed texts, on the
// thread that drops it.
class PackedDocument {
 public:
  // Owns doc.fields' texts by copy and takes over the holders of
  // doc.borrowed (fields first, then borrowed ones, in their order); when
  // it throws, it has released them.
  explicit PackedDocument(const StagedDocument& doc);
  PackedDocument(PackedDocument&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)) {}
  PackedDocument& operator=(PackedDocument&& other) noexcept;
  ~PackedDocument();

  std::string_view ref() const;
  // The text of `field`, empty when the document has none.
  std::string_view text(uint32_t field) const;
  // Sets texts[f] to the text of each field f < `count` the document has,
  // leaving the others: one reading of the header for all of them, where
  // text() reads it again for each.
  void Texts(std::string_view* texts, size_t count) const;
  double boost() const;
  // Starts loading the packed bytes that ref() and text() read.
  void Prefetch() const { __builtin_prefetch(bytes_); }
  // The document as it was staged, every text copied into `fields`.
  StagedDocument Unpack() const;

 private:
  static constexpr uint8_t kHasBoost = 1;
  static constexpr uint8_t kHasRelease = 2;       // its address
  static constexpr uint8_t kHasReleasePlace = 4;  // its place, a byte

  void Pack(const StagedDocument& doc);
  // Bytes of the flags byte and the values it announces.
  static size_t HeaderSize(uint8_t flags);
  // Where the reference's length begins.
  const char* RefAt() const;
  ReleaseText release() const;
  void ReleaseHolders();

  char* bytes_;  // null once moved from
};

}  // namespace vrim

#endif  // VRIM_STAGED_DOCUMENT_H_
