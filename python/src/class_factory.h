// Creating the module's classes from PyType_Spec descriptions.
#ifndef VRIM_PYTHON_CLASS_FACTORY_H_
#define VRIM_PYTHON_CLASS_FACTORY_H_

#include <Python.h>

namespace vrim_python {

// Creates a class whose type name is the plain class name (the part of
// `spec->name` after "_vrim.") and whose __module__ is "_vrim".
//
// The PyType_Spec name carries the module prefix so that the interpreter
// finds __module__ there; a name without a dot makes it issue a
// DeprecationWarning at creation, which an import under "-W error" would
// turn into a failure. The prefix is then dropped from the type name.
// New reference, or null with an exception set.
PyObject* CreateType(PyType_Spec* spec);

}  // namespace vrim_python

#endif  // VRIM_PYTHON_CLASS_FACTORY_H_
