// Allocation of interpreter objects that carry C++ members. Every class of
// the module is a heap type from a spec; its instances are allocated by the
// type's allocator and the C++ members are constructed in place.
#ifndef VRIM_PYTHON_OBJECT_MEMORY_H_
#define VRIM_PYTHON_OBJECT_MEMORY_H_

#include <Python.h>

namespace vrim_python {

// Raw storage for one instance of `type` (zeroed; the type's reference
// taken). The caller constructs the C++ members before anything can see
// the object. Null with an exception set on failure.
template <class T>
T* AllocateObject(PyObject* type) {
  PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  return reinterpret_cast<T*>(alloc(tp, 0));
}

// Returns the storage of `self` to its type's allocator and drops the
// instance's reference on the type. The C++ members must be destroyed
// first.
inline void FreeObject(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free(self);
  Py_DECREF(tp);
}

}  // namespace vrim_python

#endif  // VRIM_PYTHON_OBJECT_MEMORY_H_
