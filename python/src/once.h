// Process-wide objects created once, on first use, under the interpreter
// lock. Creation may run interpreter code that lets another thread in, so
// two threads can both create; the first to publish wins and the loser
// drops its copy, so every caller sees the same object.
#ifndef VRIM_PYTHON_ONCE_H_
#define VRIM_PYTHON_ONCE_H_

#include <Python.h>

#include <atomic>

namespace vrim_python {

// Returns the object in `slot`, creating it with `create` (a new reference
// or null with an exception set) when the slot is empty. The slot keeps its
// reference for the life of the process. Returns a borrowed reference.
template <class Create>
PyObject* GetOrCreate(std::atomic<PyObject*>& slot, Create&& create) {
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = create();
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made,
                                    std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return expected;
  }
  return made;
}

}  // namespace vrim_python

#endif  // VRIM_PYTHON_ONCE_H_
