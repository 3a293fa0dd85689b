#include "build/staged_document.h"

#include <cstring>

#include "index/varint.h"

namespace vrim {

namespace {

// A borrowed text's place in the packed bytes: where it lies and who
// keeps it there.
struct BorrowedSlot {
  const char* text;
  void* holder;
};

// Reads a varint at `*p` of `bytes` and moves `*p` past it.
size_t ReadSize(const std::string& bytes, size_t* p) {
  const auto* at = reinterpret_cast<const uint8_t*>(bytes.data()) + *p;
  const auto* begin = at;
  const uint64_t v = GetVarint64Unchecked(&at);
  *p += static_cast<size_t>(at - begin);
  return static_cast<size_t>(v);
}

BorrowedSlot ReadSlot(const std::string& bytes, size_t at) {
  BorrowedSlot slot;
  std::memcpy(&slot, bytes.data() + at, sizeof slot);
  return slot;
}

// Calls `visit(field, text, holder)` for each field of `bytes` in staging
// order, `holder` null for an owned text, until `visit` returns true.
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
    if ((size & 1) == 0) {
      if (visit(field, std::string_view(bytes).substr(text, size / 2),
                nullptr)) {
        return;
      }
      text += size / 2;
    } else {
      const BorrowedSlot slot = ReadSlot(bytes, text);
      if (visit(field, std::string_view(slot.text, size / 2), slot.holder)) {
        return;
      }
      text += sizeof slot;
    }
  }
}

}  // namespace

void ReleaseBorrowed(const StagedDocument& doc) {
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    doc.release(b.holder);
  }
}

PackedDocument::PackedDocument(const StagedDocument& doc)
    : boost_(doc.boost),
      release_(doc.borrowed.empty() ? nullptr : doc.release) {
  try {
    Pack(doc);
  } catch (...) {
    ReleaseBorrowed(doc);
    throw;
  }
}

void PackedDocument::Pack(const StagedDocument& doc) {
  const size_t count = doc.fields.size() + doc.borrowed.size();
  size_t size = VarintLength(doc.ref.size()) + doc.ref.size() +
                VarintLength(count);
  for (const auto& [field, text] : doc.fields) {
    size += VarintLength(field) + VarintLength(2 * text.size()) + text.size();
  }
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    size += VarintLength(b.field) + VarintLength(2 * b.text.size() + 1) +
            sizeof(BorrowedSlot);
  }
  bytes_.reserve(size);
  PutVarint64(&bytes_, doc.ref.size());
  bytes_.append(doc.ref);
  PutVarint64(&bytes_, count);
  for (const auto& [field, text] : doc.fields) {
    PutVarint64(&bytes_, field);
    PutVarint64(&bytes_, 2 * text.size());
  }
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    PutVarint64(&bytes_, b.field);
    PutVarint64(&bytes_, 2 * b.text.size() + 1);
  }
  for (const auto& [field, text] : doc.fields) bytes_.append(text);
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    const BorrowedSlot slot{b.text.data(), b.holder};
    bytes_.append(reinterpret_cast<const char*>(&slot), sizeof slot);
  }
}

PackedDocument::PackedDocument(PackedDocument&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      boost_(other.boost_),
      release_(std::exchange(other.release_, nullptr)) {}

PackedDocument& PackedDocument::operator=(PackedDocument&& other) noexcept {
  if (this != &other) {
    ReleaseHolders();
    bytes_ = std::move(other.bytes_);
    boost_ = other.boost_;
    release_ = std::exchange(other.release_, nullptr);
  }
  return *this;
}

PackedDocument::~PackedDocument() { ReleaseHolders(); }

void PackedDocument::ReleaseHolders() {
  if (release_ == nullptr) return;
  ForEachField(bytes_, [this](uint32_t, std::string_view, void* holder) {
    if (holder != nullptr) release_(holder);
    return false;
  });
  release_ = nullptr;
}

std::string_view PackedDocument::ref() const {
  size_t p = 0;
  const size_t size = ReadSize(bytes_, &p);
  return std::string_view(bytes_).substr(p, size);
}

std::string_view PackedDocument::text(uint32_t field) const {
  std::string_view found;
  ForEachField(bytes_, [&](uint32_t f, std::string_view text, void*) {
    if (f == field) found = text;
    return f == field;
  });
  return found;
}

void PackedDocument::Texts(std::string_view* texts, size_t count) const {
  ForEachField(bytes_, [&](uint32_t f, std::string_view text, void*) {
    if (f < count) texts[f] = text;
    return false;
  });
}

StagedDocument PackedDocument::Unpack() const {
  StagedDocument doc;
  doc.ref = std::string(ref());
  doc.boost = boost_;
  ForEachField(bytes_, [&doc](uint32_t f, std::string_view text, void*) {
    doc.fields.emplace_back(f, std::string(text));
    return false;
  });
  return doc;
}

}  // namespace vrim
