// Merging indexes: one index from several built with the same settings,
// without analysing any text again. Postings, positions, field lengths and
// document boosts are carried over, so the result is the index one fresh
// build of the surviving documents' texts makes (its bytes included).
#ifndef VRIM_BUILD_MERGE_H_
#define VRIM_BUILD_MERGE_H_

#include <string>
#include <vector>

#include "index/index.h"

namespace vrim {

// The first setting in which `b` differs from `a` (language, pipeline,
// fields, field boosts, k1, b), described for a message, or empty when
// they agree.
std::string SettingsDifference(const Index& a, const Index& b);

// One index of the documents of `indexes`: a reference held by several
// takes the document of the last of them, references in `drop` are left
// out. False with `error` when the settings of an index differ from the
// first one's.
// REQUIRES: `indexes` not empty, none null; `drop` sorted by bytes.
bool MergeIndexes(const std::vector<IndexPtr>& indexes,
                  const std::vector<std::string>& drop, IndexPtr* out,
                  std::string* error);

}  // namespace vrim

#endif  // VRIM_BUILD_MERGE_H_
