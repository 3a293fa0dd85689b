// Accumulates the postings of one build, or of one contiguous share of it:
// one posting per (term, field, document) with its positions already
// encoded, the term kept aside as an interned id, in a stream in the order
// the fields were analysed. Merge() then orders the term dictionary by
// bytes and moves the postings into term order.
//
// A parallel build gives each worker its own accumulator over a contiguous
// run of the fields to analyse; each orders its own terms, and Merge()
// joins the sorted term lists and places every part's postings after the
// earlier parts' within each term. Since every step is a function of the
// text alone, the result is the one a single accumulator over the whole
// run would give.
#ifndef VRIM_POSTING_ACCUMULATOR_H_
#define VRIM_POSTING_ACCUMULATOR_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/language.h"
#include "build/field_analyzer.h"
#include "build/posting_stream.h"
#include "build/staged_posting.h"
#include "build/local_slots.h"
#include "build/term_interner.h"
#include "index/index.h"

namespace vrim {

// The terms of one accumulator, kept where it interned them, and their
// ids in byte order of the terms: what merging the accumulators reads.
struct SortedTerms {
  TermInterner terms;  // its lookup table dropped
  std::vector<uint32_t> ids;

  size_t size() const { return ids.size(); }
  // The i-th term in byte order.
  std::string_view term(size_t i) const { return terms.term(ids[i]); }
};

// A base document that does not survive into the build.
inline constexpr uint32_t kDroppedDocument = UINT32_MAX;

class PostingAccumulator {
 public:
  // Drops tokens longer than `max_token_length` characters.
  // REQUIRES: `language` outlives the accumulator.
  PostingAccumulator(const Language& language, uint64_t max_token_length);

  // Tokens dropped for their length so far.
  uint64_t dropped_tokens() const { return analyzer_.dropped(); }

  // Reserves room for the postings and positions that `text_bytes` of new
  // text plus `base` (if any) are likely to produce, so that the two
  // largest arrays do not pass through doubling copies (which would
  // briefly hold both the old and the new array). The guesses are
  // generous: capacity never written stays virtual and costs no resident
  // memory.
  void Reserve(uint64_t text_bytes, const IndexData* base);

  // Copies the postings of the surviving base documents; `doc_map` gives
  // each base document's new id, or kDroppedDocument.
  // REQUIRES: nothing added yet; doc_map.size() == base.refs.size().
  void AddBasePostings(const IndexData& base,
                       const std::vector<uint32_t>& doc_map);

  // Analyses one field of one document, records its postings and returns
  // the field length (the number of tokens the pipeline kept).
  // REQUIRES: `text` is valid UTF-8; calls come in (field, doc) order.
  uint64_t AddField(std::string_view text, uint32_t field, uint32_t doc);

  // Frees what only AddField needs and puts the terms in byte order for
  // Merge(). Call it on the worker that filled the accumulator.
  void EndFields();

  // Stores the terms of all `parts` in byte order (each once), their
  // postings in (term, field, doc) order and their positions, in part
  // order, into `out`, which already holds its fields and documents.
  // Leaves the parts empty. When `fresh`, each part's postings are counted
  // and put in their places on a thread of their own, never gathered into
  // one array; else they are gathered with the base's and sorted on up to
  // `threads` threads.
  // REQUIRES: EndFields() called on every part; the parts cover
  // consecutive runs of the (field, doc) pairs, in order; `fresh` only
  // when no part holds base postings (so that within every term each
  // part's postings precede those of the parts after it).
  static void Merge(const std::vector<PostingAccumulator*>& parts,
                    IndexData* out, size_t threads, bool fresh);

 private:
  struct Pending {
    uint32_t surface;
    std::string stem;
  };

  // Stores the terms of all `parts` in byte order into `out`; returns for
  // each part the rank of every one of its term ids.
  static std::vector<std::vector<uint32_t>> MergeTerms(
      const std::vector<PostingAccumulator*>& parts, IndexData* out);
  uint32_t TermOf(const HashedKey& key, uint32_t* surface);
  size_t ResolveTerms(const std::vector<KeyedToken>& keys);
  size_t InternWords(const std::vector<KeyedToken>& keys);
  void ResolvePending(size_t kept);
  size_t GroupByTerm(size_t kept);
  void EmitPostings(uint32_t field, uint32_t doc);
  void ForgetSurfaces();
  void FreeFieldScratch();

  const Language& language_;
  const bool keeps_words_;  // language_.keeps_words()
  FieldAnalyzer analyzer_;
  TermInterner terms_;
  SortedTerms sorted_terms_;  // filled by EndFields, replacing terms_
  PostingStream stream_;  // the postings of the fields analysed
  // A build on a base: the base's postings, and at the merge every
  // part's, with their lists.
  StagedPostings postings_;
  std::string positions_;

  // Distinct trimmed token texts and the term each becomes (or none).
  TermInterner surfaces_{"token text"};
  std::vector<uint32_t> surface_term_;
  // Free memory is handed back when the interners hold this many entries.
  size_t trim_at_ = 1 << 13;

  // Per field scratch, reused. Tokens the pipeline kept, in order:
  std::vector<uint32_t> token_term_;     // term id, then local slot
  std::vector<uint32_t> token_surface_;  // text id
  std::vector<Position> grouped_;        // position
  std::vector<Pending> pending_;         // texts first seen in this field
  std::vector<HashedKey> pending_keys_;
  // Distinct terms of the field in order of first occurrence, and where
  // each one's positions begin in scratch_ (grouped by term).
  std::vector<uint32_t> local_terms_;
  std::vector<uint32_t> local_begin_;
  std::vector<uint32_t> cursor_;
  LocalSlots local_slots_;
  std::vector<Position> scratch_;
};

}  // namespace vrim

#endif  // VRIM_POSTING_ACCUMULATOR_H_
