// The interpreter class IndexBuilder: reads documents out of interpreter
// mappings (copying their texts, or keeping ASCII strs by reference),
// validates names and boosts at the boundary, and builds without the
// interpreter lock.
#ifndef VRIM_PYTHON_BUILDER_OBJECT_H_
#define VRIM_PYTHON_BUILDER_OBJECT_H_

#include <Python.h>

namespace vrim_python {

// The IndexBuilder type, created once per process. Borrowed; null with an
// exception set if creation failed.
PyObject* IndexBuilderType();

}  // namespace vrim_python

#endif  // VRIM_PYTHON_BUILDER_OBJECT_H_
