#include "build/staged_document.h"

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "index/varint.h"

namespace vrim {

namespace {

// A borrowed text's place in the packed bytes: the distance of its
// address from its holder's, as a zigzag varint (a holder such as a str
// keeps its text just after itself, a byte away), then the holder.
struct BorrowedSlot {
  const char* text;
  void* holder;

  uint64_t Distance() const {
    const uint64_t d = reinterpret_cast<uintptr_t>(text) -
                       reinterpret_cast<uintptr_t>(holder);
    return d << 1 ^ (0 - (d >> 63));  // zigzag
  }
  size_t size() const { return VarintLength(Distance()) + sizeof holder; }
};

// Reads a varint at `*p` and moves `*p` past it.
uint64_t ReadVarint(const char** p) {
  const auto* at = reinterpret_cast<const uint8_t*>(*p);
  const uint64_t v = GetVarint64Unchecked(&at);
  *p = reinterpret_cast<const char*>(at);
  return v;
}

size_t ReadSize(const char** p) { return static_cast<size_t>(ReadVarint(p)); }

// Reads the slot at `*p` and moves `*p` past it.
BorrowedSlot ReadSlot(const char** p) {
  const uint64_t zigzag = ReadVarint(p);
  BorrowedSlot slot;
  std::memcpy(&slot.holder, *p, sizeof slot.holder);
  *p += sizeof slot.holder;
  const uint64_t d = zigzag >> 1 ^ (0 - (zigzag & 1));
  slot.text = reinterpret_cast<const char*>(
      reinterpret_cast<uintptr_t>(slot.holder) + d);
  return slot;
}

// Calls `visit(field, text, holder)` for each field of the document whose
// reference's length is at `p`, in staging order, `holder` null for an
// owned text, until `visit` returns true.
template <class Visit>
void ForEachField(const char* p, const Visit& visit) {
  p += ReadSize(&p);  // past the reference
  const size_t count = ReadSize(&p);
  const char* text = p;
  for (size_t i = 0; i < 2 * count; ++i) ReadSize(&text);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t field = static_cast<uint32_t>(ReadSize(&p));
    const size_t size = ReadSize(&p);
    if ((size & 1) == 0) {
      if (visit(field, std::string_view(text, size / 2), nullptr)) return;
      text += size / 2;
    } else {
      const BorrowedSlot slot = ReadSlot(&text);
      if (visit(field, std::string_view(slot.text, size / 2), slot.holder)) {
        return;
      }
    }
  }
}

// The release functions documents are packed with, each kept once: a
// program has few, so a document keeps its function's place, a byte.
class ReleaseFunctions {
 public:
  static constexpr size_t kMax = 256;

  // The place of `f`, added when new; kMax when the list is full.
  static size_t PlaceOf(ReleaseText f) {
    const size_t known = count_.load(std::memory_order_acquire);
    for (size_t i = 0; i < known; ++i) {
      if (functions_[i].load(std::memory_order_relaxed) == f) return i;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t count = count_.load(std::memory_order_relaxed);
    for (size_t i = known; i < count; ++i) {
      if (functions_[i].load(std::memory_order_relaxed) == f) return i;
    }
    if (count == kMax) return kMax;
    functions_[count].store(f, std::memory_order_relaxed);
    count_.store(count + 1, std::memory_order_release);
    return count;
  }

  // REQUIRES: `place` was given by PlaceOf, on any thread that published
  // it to this one.
  static ReleaseText At(size_t place) {
    return functions_[place].load(std::memory_order_relaxed);
  }

 private:
  static inline std::array<std::atomic<ReleaseText>, kMax> functions_{};
  static inline std::atomic<size_t> count_{0};
  static inline std::mutex mutex_;
};

// Appends the varint of `v` at `*w` and moves `*w` past it.
void WriteSize(char** w, uint64_t v) { *w = EncodeVarint64(*w, v); }

void Write(char** w, const void* data, size_t size) {
  if (size > 0) std::memcpy(*w, data, size);
  *w += size;
}

}  // namespace

void ReleaseBorrowed(const StagedDocument& doc) {
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    doc.release(b.holder);
  }
}

PackedDocument::PackedDocument(const StagedDocument& doc) : bytes_(nullptr) {
  try {
    Pack(doc);
  } catch (...) {
    ReleaseBorrowed(doc);
    throw;
  }
}

void PackedDocument::Pack(const StagedDocument& doc) {
  const bool boosted = doc.boost != 1.0;
  const bool borrows = !doc.borrowed.empty();
  const size_t place = borrows ? ReleaseFunctions::PlaceOf(doc.release) : 0;
  const bool placed = place < ReleaseFunctions::kMax;
  const uint8_t flags = static_cast<uint8_t>(
      (boosted ? kHasBoost : 0) |
      (borrows ? (placed ? kHasReleasePlace : kHasRelease) : 0));
  const size_t count = doc.fields.size() + doc.borrowed.size();
  size_t size = HeaderSize(flags) + VarintLength(doc.ref.size()) +
                doc.ref.size() + VarintLength(count);
  for (const auto& [field, text] : doc.fields) {
    size += VarintLength(field) + VarintLength(2 * text.size()) + text.size();
  }
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    size += VarintLength(b.field) + VarintLength(2 * b.text.size() + 1) +
            BorrowedSlot{b.text.data(), b.holder}.size();
  }
  char* w = new char[size];
  bytes_ = w;
  *w++ = static_cast<char>(flags);
  if (boosted) Write(&w, &doc.boost, sizeof doc.boost);
  if (borrows && placed) *w++ = static_cast<char>(place);
  if (borrows && !placed) Write(&w, &doc.release, sizeof doc.release);
  WriteSize(&w, doc.ref.size());
  Write(&w, doc.ref.data(), doc.ref.size());
  WriteSize(&w, count);
  for (const auto& [field, text] : doc.fields) {
    WriteSize(&w, field);
    WriteSize(&w, 2 * text.size());
  }
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    WriteSize(&w, b.field);
    WriteSize(&w, 2 * b.text.size() + 1);
  }
  for (const auto& [field, text] : doc.fields) {
    Write(&w, text.data(), text.size());
  }
  for (const StagedDocument::Borrowed& b : doc.borrowed) {
    const BorrowedSlot slot{b.text.data(), b.holder};
    WriteSize(&w, slot.Distance());
    Write(&w, &slot.holder, sizeof slot.holder);
  }
}

PackedDocument& PackedDocument::operator=(PackedDocument&& other) noexcept {
  if (this != &other) {
    ReleaseHolders();
    bytes_ = std::exchange(other.bytes_, nullptr);
  }
  return *this;
}

PackedDocument::~PackedDocument() { ReleaseHolders(); }

size_t PackedDocument::HeaderSize(uint8_t flags) {
  return 1 + ((flags & kHasBoost) ? sizeof(double) : 0) +
         ((flags & kHasRelease) ? sizeof(ReleaseText) : 0) +
         ((flags & kHasReleasePlace) ? 1 : 0);
}

const char* PackedDocument::RefAt() const {
  return bytes_ + HeaderSize(static_cast<uint8_t>(bytes_[0]));
}

double PackedDocument::boost() const {
  double boost = 1.0;
  if (static_cast<uint8_t>(bytes_[0]) & kHasBoost) {
    std::memcpy(&boost, bytes_ + 1, sizeof boost);
  }
  return boost;
}

ReleaseText PackedDocument::release() const {
  const uint8_t flags = static_cast<uint8_t>(bytes_[0]);
  const char* at = bytes_ + 1 + ((flags & kHasBoost) ? sizeof(double) : 0);
  if (flags & kHasReleasePlace) {
    return ReleaseFunctions::At(static_cast<uint8_t>(*at));
  }
  ReleaseText release = nullptr;
  if (flags & kHasRelease) std::memcpy(&release, at, sizeof release);
  return release;
}

// Releases the borrowed texts' holders and frees the bytes.
void PackedDocument::ReleaseHolders() {
  if (bytes_ == nullptr) return;
  if (const ReleaseText release_text = release()) {
    ForEachField(RefAt(), [release_text](uint32_t, std::string_view,
                                         void* holder) {
      if (holder != nullptr) release_text(holder);
      return false;
    });
  }
  delete[] std::exchange(bytes_, nullptr);
}

std::string_view PackedDocument::ref() const {
  const char* p = RefAt();
  const size_t size = ReadSize(&p);
  return std::string_view(p, size);
}

std::string_view PackedDocument::text(uint32_t field) const {
  std::string_view found;
  ForEachField(RefAt(), [&](uint32_t f, std::string_view text, void*) {
    if (f == field) found = text;
    return f == field;
  });
  return found;
}

void PackedDocument::Texts(std::string_view* texts, size_t count) const {
  ForEachField(RefAt(), [&](uint32_t f, std::string_view text, void*) {
    if (f < count) texts[f] = text;
    return false;
  });
}

StagedDocument PackedDocument::Unpack() const {
  StagedDocument doc;
  doc.ref = std::string(ref());
  doc.boost = boost();
  ForEachField(RefAt(), [&doc](uint32_t f, std::string_view text, void*) {
    doc.fields.emplace_back(f, std::string(text));
    return false;
  });
  return doc;
}

}  // namespace vrim
