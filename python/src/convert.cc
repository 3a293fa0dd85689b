#include "convert.h"

#include <string>

namespace vrim_python {
namespace {

std::string Plural(Py_ssize_t n, const char* word) {
  std::string s = std::to_string(n) + " " + word;
  if (n != 1) s += "s";
  return s;
}

bool RaiseTooManyPositional(const Signature& sig, Py_ssize_t given) {
  std::string message = sig.function;
  if (sig.max_positional == 0) {
    message += " takes no positional arguments";
  } else {
    message += " takes at most ";
    message += Plural(sig.max_positional, sig.max_positional == sig.count
                                              ? "argument"
                                              : "positional argument");
    message += " (" + std::to_string(given) + " given)";
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// Finds the parameter named `key`; -1 when there is none. Leaves no
// exception set.
int FindParameter(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return -1;
}

bool StoreKeyword(const Signature& sig, PyObject* key, PyObject* value,
                  Py_ssize_t nargs, PyObject** out) {
  int index = FindParameter(sig, key);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%R is an invalid keyword argument for %s",
                 key, sig.function);
    return false;
  }
  if (out[index] != nullptr) {
    if (index < nargs) {
      PyErr_Format(PyExc_TypeError,
                   "argument for %s given by name ('%s') and position (%d)",
                   sig.function, sig.names[index], index + 1);
    } else {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                   sig.function, sig.names[index]);
    }
    return false;
  }
  out[index] = value;
  return true;
}

bool CheckRequired(const Signature& sig, PyObject** out) {
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %d)",
                   sig.function, sig.names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool UnpackArgs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  if (nargs > sig.max_positional) return RaiseTooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (key == nullptr) return false;
      if (!StoreKeyword(sig, key, args[nargs + k], nargs, out)) return false;
    }
  }
  return CheckRequired(sig, out);
}

bool UnpackArgs(const Signature& sig, PyObject* args, PyObject* kwargs,
                PyObject** out) {
  for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
  Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > sig.max_positional) return RaiseTooManyPositional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    out[i] = PyTuple_GetItem(args, i);
    if (out[i] == nullptr) return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!StoreKeyword(sig, key, value, nargs, out)) return false;
    }
  }
  return CheckRequired(sig, out);
}

void AddProcessingNote(const char* param) {
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr) {
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    // Notes exist from 3.11 on; older interpreters simply go without.
    PyObject* add_note = PyObject_GetAttrString(value, "add_note");
    if (add_note == nullptr) {
      PyErr_Clear();
    } else {
      PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
      PyObject* result =
          note == nullptr
              ? nullptr
              : PyObject_CallFunctionObjArgs(add_note, note, nullptr);
      Py_XDECREF(note);
      Py_DECREF(add_note);
      if (result == nullptr) {
        PyErr_Clear();
      } else {
        Py_DECREF(result);
      }
    }
  }
  PyErr_Restore(type, value, traceback);
}

std::string TypeName(PyObject* object) {
  PyObject* name = PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
  std::string result = "?";
  if (name != nullptr && PyUnicode_Check(name)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 != nullptr) result.assign(utf8, static_cast<size_t>(size));
  }
  Py_XDECREF(name);
  if (PyErr_Occurred()) PyErr_Clear();
  return result;
}

void RaiseArgumentType(PyObject* object, const char* param,
                       const char* expected) {
  std::string message = std::string("argument '") + param + "' must be " +
                        expected + ", not " + TypeName(object);
  PyObject* text = NewStr(message);
  if (text == nullptr) return;
  PyErr_SetObject(PyExc_TypeError, text);
  Py_DECREF(text);
}

bool ToUtf8(PyObject* object, const char* param, std::string_view* out) {
  if (!PyUnicode_Check(object)) {
    RaiseArgumentType(object, param, "str");
    AddProcessingNote(param);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) {
    AddProcessingNote(param);
    return false;
  }
  *out = std::string_view(utf8, static_cast<size_t>(size));
  return true;
}

bool CopyUtf8(PyObject* text, std::string* out) {
  PyObject* bytes = PyUnicode_AsUTF8String(text);
  if (bytes == nullptr) return false;
  char* data;
  Py_ssize_t size;
  const bool ok = PyBytes_AsStringAndSize(bytes, &data, &size) == 0;
  if (ok) out->assign(data, static_cast<size_t>(size));
  Py_DECREF(bytes);
  return ok;
}

bool ToDouble(PyObject* object, const char* param, double* out) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    AddProcessingNote(param);
    return false;
  }
  *out = value;
  return true;
}

namespace {

// An integer (anything with __index__ but bool) of at least `minimum`;
// values beyond the native range saturate. Smaller values raise
// ValueError: "<param><too_small>".
bool ToIntAtLeast(PyObject* object, const char* param, long long minimum,
                  const char* too_small, uint64_t* out) {
  if (PyBool_Check(object) || !PyIndex_Check(object)) {
    RaiseArgumentType(object, param, "int");
    AddProcessingNote(param);
    return false;
  }
  PyObject* number = PyNumber_Index(object);
  if (number == nullptr) {
    AddProcessingNote(param);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  Py_DECREF(number);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) {
    AddProcessingNote(param);
    return false;
  }
  if (overflow < 0 || (overflow == 0 && value < minimum)) {
    PyErr_SetString(PyExc_ValueError,
                    (std::string(param) + too_small).c_str());
    AddProcessingNote(param);
    return false;
  }
  *out = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(value);
  return true;
}

}  // namespace

bool ToCount(PyObject* object, const char* param, uint64_t* out) {
  return ToIntAtLeast(object, param, 0, " must not be negative", out);
}

bool ToPositiveCount(PyObject* object, const char* param, uint64_t* out) {
  return ToIntAtLeast(object, param, 1, " must be at least 1", out);
}

bool ToBytes(PyObject* object, const char* param, std::string_view* out) {
  if (!PyBytes_Check(object)) {
    RaiseArgumentType(object, param, "bytes");
    AddProcessingNote(param);
    return false;
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
    AddProcessingNote(param);
    return false;
  }
  *out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

PyObject* NewStr(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(),
                                     static_cast<Py_ssize_t>(utf8.size()));
}

}  // namespace vrim_python
