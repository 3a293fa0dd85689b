#include "class_factory.h"

#include <cstring>

namespace vrim_python {

PyObject* CreateType(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
  const char* dot = std::strrchr(spec->name, '.');
  if (dot != nullptr) {
    PyObject* name = PyUnicode_FromString(dot + 1);
    if (name == nullptr ||
        PyObject_SetAttrString(type, "__name__", name) < 0) {
      Py_XDECREF(name);
      Py_DECREF(type);
      return nullptr;
    }
    Py_DECREF(name);
  }
  return type;
}

}  // namespace vrim_python
