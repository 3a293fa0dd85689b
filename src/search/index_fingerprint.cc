#include "search/index_fingerprint.h"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

namespace vrim {

namespace {

// Word-at-a-time multiply-xorshift hashing: not cryptographic, enough to
// tell indexes apart.
class Hasher {
 public:
  void Word(uint64_t word) {
    state_ = (state_ ^ word) * 0x9E3779B97F4A7C15ull;
    state_ ^= state_ >> 29;
  }
  void Double(double value) { Word(std::bit_cast<uint64_t>(value)); }
  void Bytes(std::string_view text) {
    Word(text.size());
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      Word(word);
    }
    uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    Word(tail);
  }
  template <class List>
  void Strings(const List& list) {
    Word(list.size());
    for (std::string_view text : list) Bytes(text);
  }
  uint64_t Finish() const {
    uint64_t h = state_ * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 31);
  }

 private:
  uint64_t state_ = 0x243F6A8885A308D3ull;
};

}  // namespace

IndexFingerprint IndexFingerprint::Derive(const Index& index) {
  const IndexData& data = index.data();
  Hasher h;
  h.Bytes(data.language);
  h.Strings(data.pipeline);
  h.Strings(data.fields);
  for (double boost : data.field_boosts) h.Double(boost);
  h.Double(data.k1);
  h.Double(data.b);
  h.Word(data.document_count);
  h.Strings(data.refs);
  // Every document's boost, held or not: equal indexes hash alike.
  for (uint32_t doc = 0; doc < data.refs.size(); ++doc) {
    h.Double(data.doc_boost(doc));
  }
  for (uint32_t length : data.field_lengths) h.Word(length);
  h.Strings(data.terms);
  for (uint64_t start : data.term_postings) h.Word(start);
  for (const Posting& p : data.postings) {
    h.Word((static_cast<uint64_t>(data.postings.field(p)) << 32) | p.doc);
    h.Word(data.postings.tf(p));
  }
  return IndexFingerprint(h.Finish());
}

std::string FingerprintText(uint64_t fingerprint) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, fingerprint >>= 4) {
    text[i] = kDigits[fingerprint & 15];
  }
  return text;
}

}  // namespace vrim
