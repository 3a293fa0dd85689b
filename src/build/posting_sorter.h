// Orders the postings of a build by (term, field, document) in place.
#ifndef VRIM_POSTING_SORTER_H_
#define VRIM_POSTING_SORTER_H_

#include <cstddef>
#include <cstdint>

#include "build/staged_posting.h"

namespace vrim {

// Sorts the postings by (term, field, doc): an MSD radix sort over digits
// of up to 11 bits of the three ids (most significant first, bits that are
// zero everywhere skipped), with insertion sort for short runs. In place
// matters: the postings are the largest structure of a build. With
// `threads` > 1, the buckets of the first level are sorted on up to that
// many threads.
// REQUIRES: every posting's term < term_count, field < field_count and
// doc < doc_count; (term, field, doc) unique.
void SortPostings(StagedPostings* postings, size_t term_count,
                  size_t field_count, size_t doc_count, size_t threads);

}  // namespace vrim

#endif  // VRIM_POSTING_SORTER_H_
