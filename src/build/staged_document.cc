#include "build/staged_document.h"

#include "index/varint.h"

namespace vrim {

namespace {

// Reads a varint at `*p` of `bytes` and moves `*p` past it.
size_t ReadSize(const std::string& bytes, size_t* p) {
  const auto* at = reinterpret_cast<const uint8_t*>(bytes.data()) + *p;
  const auto* begin = at;
  const uint64_t v = GetVarint64Unchecked(&at);
  *p += static_cast<size_t>(at - begin);
  return static_cast<size_t>(v);
}

// Calls `visit(field, text)` for each field of `bytes` in staging order.
template <class Visit>
void ForEachField(const std::string& bytes, const Visit& visit) {
  size_t p = 0;
  p += ReadSize(bytes, &p);  // past the reference
  const size_t count = ReadSize(bytes, &p);
  size_t text = p;
  size_t q = p;
  for (size_t i = 0; i < 2 * count; ++i) ReadSize(bytes, &text);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t field = static_cast<uint32_t>(ReadSize(bytes, &q));
    const size_t size = ReadSize(bytes, &q);
    if (visit(field, std::string_view(bytes).substr(text, size))) return;
    text += size;
  }
}

}  // namespace

PackedDocument::PackedDocument(const StagedDocument& doc)
    : boost_(doc.boost) {
  size_t size = VarintLength(doc.ref.size()) + doc.ref.size() +
                VarintLength(doc.fields.size());
  for (const auto& [field, text] : doc.fields) {
    size += VarintLength(field) + VarintLength(text.size()) + text.size();
  }
  bytes_.reserve(size);
  PutVarint64(&bytes_, doc.ref.size());
  bytes_.append(doc.ref);
  PutVarint64(&bytes_, doc.fields.size());
  for (const auto& [field, text] : doc.fields) {
    PutVarint64(&bytes_, field);
    PutVarint64(&bytes_, text.size());
  }
  for (const auto& [field, text] : doc.fields) bytes_.append(text);
}

std::string_view PackedDocument::ref() const {
  size_t p = 0;
  const size_t size = ReadSize(bytes_, &p);
  return std::string_view(bytes_).substr(p, size);
}

std::string_view PackedDocument::text(uint32_t field) const {
  std::string_view found;
  ForEachField(bytes_, [&](uint32_t f, std::string_view text) {
    if (f == field) found = text;
    return f == field;
  });
  return found;
}

StagedDocument PackedDocument::Unpack() const {
  StagedDocument doc{std::string(ref()), {}, boost_};
  ForEachField(bytes_, [&doc](uint32_t f, std::string_view text) {
    doc.fields.emplace_back(f, std::string(text));
    return false;
  });
  return doc;
}

}  // namespace vrim
