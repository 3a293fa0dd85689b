// Query statistics: what BM25 needs of a collection to score one query.
//
// A collection split into shards scores like one index when every shard
// searches with the statistics of the whole instead of its own. Phase one
// asks each shard for its statistics of the query (document count, per
// field the total length and the number of documents with a length, per
// index term the query matches after expansion its document frequency);
// their sum, term by term, is what one index over all the documents would
// hold. Phase two searches every shard with that sum.
#ifndef VRIM_QUERY_STATS_H_
#define VRIM_QUERY_STATS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/doc_set.h"
#include "index/index.h"
#include "search/query_parser.h"

namespace vrim {

// One index's contribution to a sum of statistics: the index's content
// fingerprint (index_fingerprint.h) and a fingerprint of the documents
// left out of its statistics, 0 when none were.
struct StatsSource {
  uint64_t index = 0;
  uint64_t exclusion = 0;

  auto operator<=>(const StatsSource&) const = default;
};

struct QueryStats {
  uint64_t document_count = 0;  // the N of BM25
  std::vector<std::string> fields;        // declaration order
  std::vector<FieldTotals> field_totals;  // parallel to fields
  // Term texts in byte order, each once, with their document frequencies.
  std::vector<std::pair<std::string, uint64_t>> terms;
  // The contributions summed here, sorted; two indexes of equal content
  // (two empty shards) appear twice.
  std::vector<StatsSource> sources;

  // The document frequency of `text`, or null when the term is not listed.
  const uint64_t* FindTerm(std::string_view text) const;
};

// The statistics of `index` for `query`: the terms of its scoring clauses
// (prohibited ones need none). With `exclude`, those of the index without
// its documents: they leave the document count, the field totals and the
// document frequencies, while every term stays listed (a term found only
// in excluded documents with frequency 0).
// REQUIRES: `query` was parsed against `index`'s fields; `exclude`, when
// not null, is a set of `index`'s documents.
QueryStats CollectQueryStats(const Index& index, const Query& query,
                             const DocSet* exclude = nullptr);

// `a` + `b` into `out`: counts, totals and frequencies summed, term lists
// and sources united. False with `error` when the field lists differ or a sum does not
// fit 64 bits.
bool AddQueryStats(const QueryStats& a, const QueryStats& b, QueryStats* out,
                   std::string* error);

// True when `stats` is well formed (parallel lists, terms sorted and
// unique, sources sorted), describes `index`'s fields and includes
// `index`'s own contribution; otherwise false with `error`.
bool CheckQueryStats(const Index& index, const QueryStats& stats,
                     std::string* error);

}  // namespace vrim

#endif  // VRIM_QUERY_STATS_H_
