// The interpreter class Column: one optional value (str, int or float) per
// document of an index, held natively; selects DocSets and feeds facets.
#ifndef VRIM_PYTHON_COLUMN_OBJECT_H_
#define VRIM_PYTHON_COLUMN_OBJECT_H_

#include <Python.h>

#include <memory>

#include "index/column.h"

namespace vrim_python {

using ColumnPtr = std::shared_ptr<const vrim::Column>;

// The Column type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* ColumnType();

// Index.column(values).
PyObject* IndexColumn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames);

// The column of `object` and the Index object it belongs to (borrowed), or
// false when `object` is not a Column. Sets no exception.
bool NativeColumnOf(PyObject* object, ColumnPtr* column, PyObject** index);

// A value of a column as a new interpreter object.
PyObject* ColumnValueObject(const vrim::ColumnValue& value);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_COLUMN_OBJECT_H_
