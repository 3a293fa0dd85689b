// The built index: immutable, shared read-only by every search on it.
//
// Everything is addressed by dense integer ids:
//   field id     position in the declared field list
//   document id  rank of the document's reference in byte order
//   term id      rank of the term in byte order
// so the binary format's numbering and the in-memory numbering coincide,
// and ties broken "by reference bytes" are ties broken by document id.
#ifndef VRIM_INDEX_H_
#define VRIM_INDEX_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "index/positions.h"
#include "index/postings.h"
#include "index/string_table.h"
#include "index/token_set.h"

namespace vrim {

// A structure derived from an index on first use by a layer above this one
// (score bounds for top-n search, for example) and kept with the index.
class DerivedPart {
 public:
  virtual ~DerivedPart() = default;
};

// The slots of the parts an index can carry, one per kind of part.
enum class DerivedSlot : uint8_t {
  kScoreBounds,
  kFingerprint,
  kWordPositions,
  kCount
};

// The stored members of an index; Index adds what is derived from them.
// Builders and the binary reader fill one and hand it to Index::Make.
struct IndexData {
  std::string language;
  std::vector<std::string> pipeline;

  std::vector<std::string> fields;   // declaration order
  std::vector<double> field_boosts;  // parallel to fields, clamped >= 0

  double k1 = 1.2;  // as built; sanitised where used
  double b = 0.75;
  uint64_t document_count = 0;  // the N of BM25

  // Live documents, sorted by reference bytes (document id = position),
  // back to back: at most StringTable::kMaxBytes of references together.
  StringTable refs;
  // Parallel to refs, or empty when every boost is 1.0 (Index::Make drops
  // a vector of nothing but 1.0); read through doc_boost().
  std::vector<double> doc_boosts;
  // refs.size() x fields.size(), document-major; 0 when absent. A field
  // holds at most kMaxFieldLength tokens in one document.
  std::vector<uint32_t> field_lengths;

  std::string_view ref(uint32_t doc) const { return refs[doc]; }
  double doc_boost(uint32_t doc) const {
    return doc_boosts.empty() ? 1.0 : doc_boosts[doc];
  }

  // Terms sorted by bytes (term id = position), each with at least one
  // posting. term_postings has terms.size() + 1 entries: term t owns
  // postings[term_postings[t], term_postings[t + 1]), sorted by
  // (field, doc). 32 bits suffice: Postings holds at most kMaxSize.
  StringTable terms;
  std::vector<uint32_t> term_postings;
  Postings postings;

  // Encoded position lists (positions.h) of the postings with a position
  // count above 0, back to back in postings order: a list's place follows
  // from the counts of the postings before it (Index::PositionList).
  std::string positions;
};

// What the average length of a field is made of: the sum of its lengths
// and the number of documents with a length above 0.
struct FieldTotals {
  uint64_t total_length = 0;
  uint64_t documents = 0;

  // The average, 0.0 without documents.
  double average() const {
    return documents > 0 ? static_cast<double>(total_length) /
                               static_cast<double>(documents)
                         : 0.0;
  }
};

class Index {
 public:
  // Completes `data` with the derived parts every search needs: average
  // field lengths and document frequencies. What only some searches need
  // (the token set, score bounds) is derived on first use.
  // REQUIRES: `data` satisfies the invariants documented on IndexData
  // (sorted unique refs and terms, ids in range, parallel arrays sized;
  // doc_boosts sized as refs or empty).
  static std::shared_ptr<const Index> Make(IndexData data,
                                           LanguagePtr language);

  const IndexData& data() const { return data_; }
  const Language& language() const { return *language_; }
  const LanguagePtr& language_ptr() const { return language_; }

  size_t field_count() const { return data_.fields.size(); }
  size_t doc_count_stored() const { return data_.refs.size(); }
  size_t term_count() const { return data_.terms.size(); }

  uint32_t field_length(uint32_t doc, uint32_t field) const {
    return data_.field_lengths[static_cast<size_t>(doc) * field_count() +
                               field];
  }
  // Average over documents whose length for the field is above 0; 0.0 when
  // there are none.
  double average_field_length(uint32_t field) const {
    return average_field_lengths_[field];
  }
  const FieldTotals& field_totals(uint32_t field) const {
    return field_totals_[field];
  }
  // Distinct documents containing the term in any field.
  uint32_t document_frequency(uint32_t term) const {
    return document_frequency_[term];
  }
  // Field id of `name`, or -1.
  int64_t FindField(std::string_view name) const;
  // Whether an earlier field has the same name (a file may repeat a name):
  // names resolve to the first field, so a shadowed field is never searched.
  bool field_shadowed(uint32_t field) const { return field_shadowed_[field]; }
  // Term id of `term`, or -1. The first call hashes every term into a
  // table kept with the index (safe from several threads at once); a
  // lookup then costs a hash and a comparison or two.
  int64_t FindTerm(std::string_view term) const;

  const Posting* postings_begin(uint32_t term) const {
    return data_.postings.data() + data_.term_postings[term];
  }
  const Posting* postings_end(uint32_t term) const {
    return data_.postings.data() + data_.term_postings[term + 1];
  }

  // The encoded position list of the posting at `p`.
  // REQUIRES: `p` points into data().postings and its position count is
  // above 0.
  const uint8_t* PositionList(const Posting* p) const;

  // The values of a posting of data().postings.
  uint32_t field(const Posting& p) const { return data_.postings.field(p); }
  uint32_t tf(const Posting& p) const { return data_.postings.tf(p); }
  uint32_t position_count(const Posting& p) const {
    return data_.postings.position_count(p);
  }

  // Decoded positions of posting `p` (none when its count is 0), appended
  // to `out`.
  // REQUIRES: `p` is an element of data().postings.
  void AppendPositions(const Posting& p, std::vector<Position>* out) const;

  // The token set of the terms, built on first use; safe to call from
  // several threads at once.
  const TokenSet& token_set() const;

  // The part in `slot`, made by `T::Derive(*this)` on the first call; safe
  // to call from several threads at once.
  // REQUIRES: T derives from DerivedPart, and every call with the same
  // slot names the same T.
  template <typename T>
  const T& Derived(DerivedSlot slot) const {
    DerivedEntry& entry = derived_[static_cast<size_t>(slot)];
    std::call_once(entry.once, [&] {
      entry.part = std::make_unique<T>(T::Derive(*this));
    });
    return static_cast<const T&>(*entry.part);
  }

 private:
  Index() = default;

  IndexData data_;
  std::vector<bool> field_shadowed_;
  LanguagePtr language_;
  std::vector<FieldTotals> field_totals_;
  std::vector<double> average_field_lengths_;
  std::vector<uint32_t> document_frequency_;
  mutable std::once_flag token_set_once_;
  mutable TokenSet token_set_;
  // Term ids by the hash of their text, open addressing with linear
  // probing; a power of two of slots, at most half of them used.
  static constexpr uint32_t kNoTermSlot = UINT32_MAX;
  mutable std::once_flag term_slots_once_;
  mutable std::vector<uint32_t> term_slots_;
  // Offset of the position list of every kPositionMarkStride-th posting,
  // found by one pass over the lists on first use.
  static constexpr uint64_t kPositionMarkStride = 32;
  mutable std::once_flag position_marks_once_;
  mutable std::vector<uint64_t> position_marks_;
  struct DerivedEntry {
    std::once_flag once;
    std::unique_ptr<DerivedPart> part;
  };
  mutable DerivedEntry derived_[static_cast<size_t>(DerivedSlot::kCount)];
};

using IndexPtr = std::shared_ptr<const Index>;

// k1 finite and not negative is kept, otherwise 1.2.
double SanitizeK1(double k1);
// b finite is clamped into [0, 1], otherwise 0.75.
double SanitizeB(double b);
// Field boost clamping at declaration: finite > 0 stays, other finite
// values (including -0.0) become 0.0, NaN and infinities become 1.0.
double ClampFieldBoost(double boost);
// Why an index cannot hold its references: they do not fit one
// StringTable.
inline constexpr const char* kTooManyReferenceBytes =
    "the document references of one index total at most 4294967295 bytes";

// The most tokens one field of one document may hold.
inline constexpr uint64_t kMaxFieldLength = UINT32_MAX;
// `tokens` as a field length. Throws std::length_error above
// kMaxFieldLength rather than wrapping.
uint32_t FieldLengthOf(uint64_t tokens);
// A document boost as indexed: finite values below 0 become 0.0, NaN and
// infinities 1.0 (the rule shared by builders and the reader).
double SanitizeDocumentBoost(double boost);

}  // namespace vrim

#endif  // VRIM_INDEX_H_
