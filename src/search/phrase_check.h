// The phrase factor of scored postings: a clause's bigram phrases checked
// against the positions of one document's field, once per (document,
// field), by both evaluators.
#ifndef VRIM_SEARCH_PHRASE_CHECK_H_
#define VRIM_SEARCH_PHRASE_CHECK_H_

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "index/index.h"
#include "search/search_plan.h"

namespace vrim {

// Phrase occurrences per (document, field), verified once each.
class PhraseChecker {
 public:
  PhraseChecker(const Index& index, const ClausePlan& plan)
      : index_(index), plan_(plan), cache_(plan.phrases.size()) {}

  bool Occurs(uint32_t phrase, uint32_t doc, uint32_t field);

  // The product of 2 over the record's phrases that occur in the field.
  double Factor(const TermRecord& record, uint32_t doc, uint32_t field) {
    return record.phrases.empty() ? 1.0 : PhraseFactor(record, doc, field);
  }

 private:
  double PhraseFactor(const TermRecord& record, uint32_t doc, uint32_t field);
  bool Verify(uint32_t phrase, uint32_t doc, uint32_t field);

  const Index& index_;
  const ClausePlan& plan_;
  std::vector<std::unordered_map<uint64_t, bool>> cache_;
};

}  // namespace vrim

#endif  // VRIM_SEARCH_PHRASE_CHECK_H_
