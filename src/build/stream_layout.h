// Puts the postings of a fresh build's parts, each part's held in a
// stream in the order its fields were analysed, into term order.
#ifndef VRIM_STREAM_LAYOUT_H_
#define VRIM_STREAM_LAYOUT_H_

#include <cstdint>
#include <vector>

#include "build/posting_stream.h"
#include "index/index.h"

namespace vrim {

// Stores the postings of `streams` into `out` (postings, term_postings and
// positions) in (term, field, doc) order, the parts' postings of each
// term in part order; empties the streams. `ids[p]` holds part p's term
// ids in byte order, `ranks[p][id]` the place of its term `id` among all
// terms, which are out->terms. Works on a thread per part.
// REQUIRES: the streams cover consecutive runs of the (field, doc) pairs,
// in order; out->terms, the fields and the documents of `out` set.
void LayOutStreams(std::vector<PostingStream*> streams,
                   std::vector<std::vector<uint32_t>> ids,
                   const std::vector<std::vector<uint32_t>>& ranks,
                   IndexData* out);

}  // namespace vrim

#endif  // VRIM_STREAM_LAYOUT_H_
