// The best n documents of a query, found document at a time with exact
// dynamic pruning (MaxScore over per-term bounds, refined by block maxima).
//
// The postings lists of a query are walked in document order. Lists whose
// bounds together cannot lift a document above the n-th best score so far
// stop proposing candidates; a candidate's bound is tightened list by list
// and the candidate dropped as soon as it cannot enter; runs of documents
// whose block maxima cannot enter are skipped whole. Survivors are scored
// with the same arithmetic, in the same order, as the exhaustive search,
// so the result is the first n hits of the full ranking, bit for bit.
//
// While several lists propose, the walk goes a window of 2,048 documents
// at a time. The window is partitioned on the lists' block maxima within
// it; each proposing list adds its postings' bounds up per document in
// one tight pass, the following lists (and passive ones not much longer)
// add theirs to the documents proposed, and only documents whose sums may
// enter are looked at with the lists sought to them, in document order.
//
// A filter never lets a document outside it be scored. A sparse filter
// (sorted ids) is walked with the candidates: a candidate outside it moves
// every proposing list straight to the filter's next document, so runs of
// postings without an allowed document are skipped by galloping and the
// filter's own ids drive the search. A dense one (a bitset) is tested per
// candidate before anything else, a candidate outside it only stepped
// past, which costs less than seeking when most runs hold allowed
// documents.
#ifndef VRIM_TOP_DOCS_H_
#define VRIM_TOP_DOCS_H_

#include <cstdint>
#include <vector>

#include "index/doc_set.h"
#include "index/index.h"
#include "search/search_plan.h"

namespace vrim {

struct ScoredDoc {
  uint32_t doc;
  double score;
};

// Ranks `a` before `b`: higher score first, then lower document id.
inline bool RanksBefore(const ScoredDoc& a, const ScoredDoc& b) {
  return a.score > b.score || (a.score == b.score && a.doc < b.doc);
}
// RanksBefore as a type, for the standard algorithms to inline.
struct RanksBeforeOrder {
  bool operator()(const ScoredDoc& a, const ScoredDoc& b) const {
    return RanksBefore(a, b);
  }
};

// Fills `out` with the best `limit` documents (of `filter`, when not
// null), best first, and returns
// true; or returns false, leaving `out` alone, when the query does not
// suit pruning (too many postings lists, or unbounded scores) and should
// be scored exhaustively.
// REQUIRES: limit > 0; `plans` were made against `index` (with its own
// statistics or given ones); some plan is not prohibited; `filter`, when
// not null, is a set of `index`'s documents.
bool TopDocs(const Index& index, const std::vector<ClausePlan>& plans,
             uint64_t limit, const DocSet* filter,
             std::vector<ScoredDoc>* out);

}  // namespace vrim

#endif  // VRIM_TOP_DOCS_H_
