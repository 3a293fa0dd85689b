// The native index builder: declared fields and staged documents in, an
// immutable Index out. Also the incremental path: a builder made from an
// index holds a private copy of it (the base); removals edit the base at
// once and every build applies the staged documents on top of a copy.
//
// Runs on native values only; the binding validates every input first.
#ifndef VRIM_INDEX_BUILDER_H_
#define VRIM_INDEX_BUILDER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/language.h"
#include "build/staged_document.h"
#include "index/index.h"

namespace vrim {

// How Build() spreads its work.
struct BuildOptions {
  // Worker threads analysing the staged documents: 0 uses every core the
  // process may run on (AvailableCores()), 1 keeps the build on the
  // calling thread. The index is the same for every value.
  size_t threads = 1;
  // Each worker gets at least this much text (bytes, plus a small charge
  // per field), so small builds start no threads.
  uint64_t min_bytes_per_thread = 64 * 1024;
};

// What one Build() did besides making the index.
struct BuildStats {
  // Tokens left out for being longer than the builder's maximum.
  uint64_t dropped_tokens = 0;
};

// No maximum token length.
inline constexpr uint64_t kUnlimitedTokenLength = UINT64_MAX;

class IndexBuilder {
 public:
  // A fresh builder. `k1` and `b` are stored as given and sanitised at
  // build time.
  IndexBuilder(LanguagePtr language, double k1, double b);

  // A rehydrated builder whose base is a deep copy of `index`.
  static std::unique_ptr<IndexBuilder> FromIndex(const Index& index);

  IndexBuilder(const IndexBuilder&) = delete;
  IndexBuilder& operator=(const IndexBuilder&) = delete;
  ~IndexBuilder();

  const Language& language() const { return *language_; }
  const LanguagePtr& language_ptr() const { return language_; }
  bool rehydrated() const;

  // Build() leaves out tokens longer than this many characters (of the
  // normalized text); unlimited by default. A match position longer than
  // the binary format's limit cannot be written.
  // REQUIRES: `length` > 0.
  void set_max_token_length(uint64_t length) { max_token_length_ = length; }
  uint64_t max_token_length() const { return max_token_length_; }

  // Declared fields, in order, with their clamped boosts.
  const std::vector<std::string>& field_names() const { return field_names_; }
  const std::vector<double>& field_boosts() const { return field_boosts_; }
  // Field id of `name`, or -1.
  int64_t FindField(std::string_view name) const;

  // Declares a field; an already declared name keeps its first boost.
  // Returns the field's id.
  // REQUIRES: `name` is trimmed and a valid field name (the binding's
  // checks have passed).
  uint32_t DeclareField(std::string name, double boost);

  // Stages a document, replacing in place a staged one with the same ref.
  // Takes over the holders of doc.borrowed, even when it throws: they are
  // released when the document is replaced, removed, cleared or the
  // builder destroyed, on the thread doing so. Build() never releases.
  // REQUIRES: doc.ref is not empty; field ids are declared.
  void Stage(const StagedDocument& doc);
  size_t staged_count() const { return staged_.size(); }
  // The staged document at `i` (staging order), as staged.
  // REQUIRES: i < staged_count().
  StagedDocument staged(size_t i) const { return staged_[i].Unpack(); }

  // Drops staged documents with `ref`; removes it from the base. Returns
  // true when either found something.
  // REQUIRES: rehydrated().
  bool Remove(std::string_view ref);

  // Drops every staged document; the base (with its removals) stays.
  void Clear();

  // Builds a new index. Does not change the builder. Safe to call from
  // several threads at once while nothing mutates the builder. The index
  // (and so its bytes) is the same whatever `options` says. When `stats`
  // is given it is filled in.
  IndexPtr Build(const BuildOptions& options = {},
                 BuildStats* stats = nullptr) const;

 private:
  struct Base;
  class RefTable;  // staged reference -> position in staged_
  // New document ids of the base documents (kDroppedDocument when gone)
  // and of the staged documents in reference order.
  struct DocumentIds {
    std::vector<uint32_t> base;
    std::vector<uint32_t> staged;
  };

  // A contiguous run of the (field, staged document) pairs to analyse,
  // numbered field-major: pair i is field i / S of staged document i % S.
  struct Share {
    size_t begin, end;
    uint64_t text_bytes;
  };

  std::vector<uint32_t> StagedInRefOrder(
      std::vector<std::string_view>* refs) const;
  std::vector<Share> SplitWork(const std::vector<uint32_t>& staged_order,
                               const BuildOptions& options) const;
  DocumentIds MergeDocuments(const std::vector<uint32_t>& staged_order,
                             const std::vector<std::string_view>& refs,
                             IndexData* out) const;

  LanguagePtr language_;
  double k1_;
  double b_;
  uint64_t max_token_length_ = kUnlimitedTokenLength;
  std::vector<std::string> field_names_;
  std::vector<double> field_boosts_;
  std::vector<PackedDocument> staged_;
  std::unique_ptr<RefTable> staged_refs_;
  std::unique_ptr<Base> base_;  // present only when rehydrated
};

}  // namespace vrim

#endif  // VRIM_INDEX_BUILDER_H_
