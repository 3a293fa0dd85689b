// Phrase clauses: a quoted run of words, planned against one index into
// the (field, document) pairs where it occurs with the number of its
// occurrences there. The evaluators score those like the postings of one
// term whose IDF is the sum of the words' IDFs, so a phrase is scored,
// pruned and filtered like any clause.
//
// The words are the query's tokens after the language's pipeline, tokens
// sharing a start being spellings of one word. An occurrence is a run of
// word positions p0 < p1 < ... in a field, word i at p_i in any of its
// spellings, with at most `slop` extra words between them in all; each
// position of the first word starts at most one occurrence, the one that
// takes the earliest position of every following word.
#ifndef VRIM_SEARCH_PHRASE_QUERY_H_
#define VRIM_SEARCH_PHRASE_QUERY_H_

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/language.h"
#include "index/index.h"
#include "search/hit.h"
#include "search/query_parser.h"
#include "search/search_plan.h"

namespace vrim {

// The words of a phrase: per word its spellings (term texts), in order.
std::vector<std::vector<std::string>> PhraseWords(const Language& language,
                                                  const std::string& text);

// The word positions of one word of a phrase in one field: ascending,
// possibly repeated.
struct WordList {
  const uint32_t* begin;
  const uint32_t* end;
};

// The number of occurrences of a phrase, given per word its positions;
// with `chains`, each occurrence's positions, one per word, are appended
// to it.
// REQUIRES: positions.size() >= 2.
uint32_t CountPhraseOccurrences(const std::vector<WordList>& positions,
                                uint32_t slop, std::vector<uint32_t>* chains);

// A phrase clause planned against one index.
struct PhraseQuery {
  // Per word, the index terms of its spellings, ascending.
  std::vector<std::vector<uint32_t>> words;
  uint32_t slop = 0;
  // The pairs where the phrase occurs, sorted by (field, document), tf the
  // number of occurrences; without positions.
  Postings postings;
  // Upper bounds of the postings' unit scores (as score_bounds.h), each
  // and per block of ScoreBounds::kBlockSize from the first.
  std::vector<float> units;
  std::vector<double> block_units;
};

// Plans a phrase clause of two words or more into `plan` (one record over
// the phrase's postings in each field of `fields` that the clause
// searches) and returns true; returns false, leaving `plan` alone, for a
// phrase of fewer words, which is planned as a term.
// `fields`: the named fields, or every searchable field for a clause over
// all of them (then only those where the phrase occurs are kept).
// REQUIRES: clause.phrase; WordPositions::Available(index).
bool PlanPhraseClause(const Index& index, const Clause& clause,
                      const ScoringStats& stats, std::vector<uint32_t> fields,
                      ClausePlan* plan);

// Whether a phrase clause of `query` needs word positions that `index`
// lacks (it was written without positions).
bool PhrasesNeedPositions(const Index& index, const Query& query);

// Adds to `hit` the matches of the phrase clauses of `plans`: the
// positions of the phrase occurrences in its document, selected where no
// other clause matched the whole posting.
// REQUIRES: hit->matches is normalized.
void AddPhraseMatches(const std::vector<ClausePlan>& plans, Hit* hit);

}  // namespace vrim

#endif  // VRIM_SEARCH_PHRASE_QUERY_H_
