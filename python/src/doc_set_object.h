// The interpreter class DocSet: an immutable set of one index's documents,
// with set algebra, made by Index.doc_set() and the columns' selections,
// and accepted wherever a search takes a filter.
#ifndef VRIM_PYTHON_DOC_SET_OBJECT_H_
#define VRIM_PYTHON_DOC_SET_OBJECT_H_

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string_view>

#include "index/doc_set.h"
#include "index/index.h"

namespace vrim_python {

using DocSetPtr = std::shared_ptr<const vrim::DocSet>;

// The DocSet type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* DocSetType();

// A new DocSet object holding `set`, of the Index object `index` (a
// reference to it is taken).
// REQUIRES: `set` is a set of `index`'s documents.
PyObject* WrapDocSet(PyObject* index, vrim::DocSet set);

// The native set of `object` for the Index object `index`: a DocSet of
// the same documents, or any iterable of references (those the index
// lacks are ignored). A DocSet of other documents raises ValueError, or,
// with `translate`, stands for its references. Raises TypeError for a
// str, bytes or non-iterable argument or a reference that is not a str,
// each noted with `param`.
bool ToDocSet(PyObject* index, PyObject* object, const char* param,
              DocSetPtr* out, bool translate = false);

// Index.doc_set(refs).
PyObject* IndexDocSet(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// The document id of `ref` in `index`, or -1.
int64_t FindReference(const vrim::Index& index, std::string_view ref);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_DOC_SET_OBJECT_H_
