// The content fingerprint of an index: a 64-bit hash of what its scores
// are made of (settings, references, document boosts, field lengths,
// terms and postings; not the encoded positions, which no score reads).
// Statistics name the indexes they were gathered from by it, so that a
// shard can tell whether a sum includes its own contribution. Equal
// contents give equal fingerprints, whether built or read from bytes.
#ifndef VRIM_INDEX_FINGERPRINT_H_
#define VRIM_INDEX_FINGERPRINT_H_

#include <cstdint>
#include <string>

#include "index/index.h"

namespace vrim {

class IndexFingerprint : public DerivedPart {
 public:
  static IndexFingerprint Derive(const Index& index);

  // The fingerprint of `index`, computed on first use and kept with it.
  static uint64_t Of(const Index& index) {
    return index.Derived<IndexFingerprint>(DerivedSlot::kFingerprint).value_;
  }

 private:
  explicit IndexFingerprint(uint64_t value) : value_(value) {}
  uint64_t value_;
};

// A fingerprint as 16 lowercase hex digits, as shown to users.
std::string FingerprintText(uint64_t fingerprint);

}  // namespace vrim

#endif  // VRIM_INDEX_FINGERPRINT_H_
