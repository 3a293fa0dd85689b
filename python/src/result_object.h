// The interpreter class Result: one search hit, owning its native Hit (and
// through it the index), so it outlives the Index it came from.
#ifndef VRIM_PYTHON_RESULT_OBJECT_H_
#define VRIM_PYTHON_RESULT_OBJECT_H_

#include <Python.h>

#include <vector>

#include "search/search.h"

namespace vrim_python {

// The Result type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* ResultType();

// A new list of Result objects, one per hit in order; each takes its hit
// by move. On failure returns null and the hits not yet moved are left to
// the caller's vector.
PyObject* WrapHits(std::vector<vrim::Hit>* hits);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_RESULT_OBJECT_H_
