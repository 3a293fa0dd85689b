// Argument unpacking and conversion between interpreter objects and native
// values, shared by every entry point.
//
// Conversion failures raise the interpreter's own error (TypeError for a
// wrong type, UnicodeEncodeError for a str holding lone surrogates, the
// conversion's error for a float) and add the note
// "while processing '{name}'" where exceptions support notes.
#ifndef VRIM_PYTHON_CONVERT_H_
#define VRIM_PYTHON_CONVERT_H_

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vrim_python {

// The parameter list of a callable: names in order; the first
// `max_positional` may be passed by position, the rest only by keyword; the
// first `required` must be given.
struct Signature {
  const char* function;  // as named in messages: "tokenize()"
  const char* const* names;
  int count;
  int max_positional;
  int required;
};

// Unpacks a fast-call (args, nargs, kwnames) into `out[0..count)`, borrowed
// references, null for parameters not given. Raises TypeError in the
// interpreter's usual wording for missing, unknown, duplicate or surplus
// arguments.
bool UnpackArgs(const Signature& signature, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// The same for a classic (tuple, dict) call, as constructors receive.
bool UnpackArgs(const Signature& signature, PyObject* args, PyObject* kwargs,
                PyObject** out);

// str (or subclass) to a view of its UTF-8 form, valid while `object`
// lives.
bool ToUtf8(PyObject* object, const char* param, std::string_view* out);

// Copies the UTF-8 form of a str (or subclass) into `out` without leaving
// a cached copy inside the str, as ToUtf8 does for non-ASCII text: a
// document's text is copied once, and the caller's string stays its size.
// Returns false with the encoder's exception set (UnicodeEncodeError for
// lone surrogates).
// REQUIRES: PyUnicode_Check(text).
bool CopyUtf8(PyObject* text, std::string* out);

// Anything the interpreter converts to a double.
bool ToDouble(PyObject* object, const char* param, double* out);

// An integer (anything with __index__ but bool) that is not negative;
// values beyond the native range saturate. Raises TypeError for other
// types and ValueError "{param} must not be negative".
bool ToCount(PyObject* object, const char* param, uint64_t* out);

// The same for an integer of at least 1: ValueError "{param} must be at
// least 1" below.
bool ToPositiveCount(PyObject* object, const char* param, uint64_t* out);

// bytes (or subclass) to a view of its contents, valid while `object` lives.
bool ToBytes(PyObject* object, const char* param, std::string_view* out);

// Adds "while processing '{param}'" to the exception being raised, keeping
// its type and message.
void AddProcessingNote(const char* param);

// Raises TypeError "argument '{param}' must be {expected}, not {type}".
void RaiseArgumentType(PyObject* object, const char* param,
                       const char* expected);

// The `__name__` of `object`'s type as UTF-8, or "?" when it cannot be
// read. Never leaves an exception set.
std::string TypeName(PyObject* object);

// New str from UTF-8 bytes.
PyObject* NewStr(std::string_view utf8);

// A method table entry's function of any calling convention.
template <class Function>
PyCFunction AsMethod(Function function) {
  return reinterpret_cast<PyCFunction>(
      reinterpret_cast<void (*)()>(function));
}

}  // namespace vrim_python

#endif  // VRIM_PYTHON_CONVERT_H_
