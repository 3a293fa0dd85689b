// The interpreter class QueryStats: the statistics one index holds for one
// query (phase one of a search across shards), immutable, summed with `+`
// and pickled by value.
#ifndef VRIM_PYTHON_QUERY_STATS_OBJECT_H_
#define VRIM_PYTHON_QUERY_STATS_OBJECT_H_

#include <Python.h>

#include <memory>

#include "search/query_stats.h"

namespace vrim_python {

using QueryStatsPtr = std::shared_ptr<const vrim::QueryStats>;

// The QueryStats type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* QueryStatsType();

// A new QueryStats object holding `stats`.
PyObject* WrapQueryStats(vrim::QueryStats stats);

// The native statistics of a QueryStats instance, or null when `object` is
// not one. Sets no exception.
const QueryStatsPtr* NativeQueryStatsOf(PyObject* object);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_QUERY_STATS_OBJECT_H_
