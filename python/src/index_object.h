// The interpreter class Index: a shared handle to an immutable native
// index, searched and serialised without the interpreter lock. Also the
// module function index_language().
#ifndef VRIM_PYTHON_INDEX_OBJECT_H_
#define VRIM_PYTHON_INDEX_OBJECT_H_

#include <Python.h>

#include "index/index.h"

namespace vrim_python {

// The Index type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* IndexType();

// A new Index object holding `index`. REQUIRES: `index` is not null.
PyObject* WrapIndex(vrim::IndexPtr index);

// The native index of an Index instance (or subclass instance), or null
// when `object` is not one. Sets no exception.
const vrim::IndexPtr* NativeIndexOf(PyObject* object);

extern PyMethodDef kIndexLanguageDef;

}  // namespace vrim_python

#endif  // VRIM_PYTHON_INDEX_OBJECT_H_
