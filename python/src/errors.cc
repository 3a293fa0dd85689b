#include "errors.h"

#include <atomic>

#include "analysis/quote.h"
#include "once.h"

namespace vrim_python {
namespace {

constexpr std::string_view kReaderPrefix = "not a Vrim index: ";

std::atomic<PyObject*> query_error_type{nullptr};
std::atomic<PyObject*> format_error_type{nullptr};

PyObject* NewString(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(),
                                     static_cast<Py_ssize_t>(text.size()));
}

// Sets an attribute on `object` from a new reference, consuming it.
bool SetOwnedAttr(PyObject* object, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  int status = PyObject_SetAttrString(object, name, value);
  Py_DECREF(value);
  return status == 0;
}

}  // namespace

PyObject* QueryErrorType() {
  return GetOrCreate(query_error_type, [] {
    return PyErr_NewExceptionWithDoc(
        "_vrim.QueryError",
        "Raised when a query string cannot be parsed.\n\n"
        "Carries `query`, plus `start` and `end` offsets into it.",
        PyExc_ValueError, nullptr);
  });
}

PyObject* FormatErrorType() {
  return GetOrCreate(format_error_type, [] {
    return PyErr_NewExceptionWithDoc(
        "_vrim.FormatError",
        "Raised when bytes are not a valid Vrim binary index.",
        PyExc_ValueError, nullptr);
  });
}

std::nullptr_t SetError(PyObject* type, std::string_view message) {
  if (type == nullptr) return nullptr;  // creating the type failed
  PyObject* text = NewString(message);
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}

std::nullptr_t RaiseReaderError(std::string_view reader_message) {
  PyObject* type = FormatErrorType();
  if (type == nullptr) return nullptr;
  if (reader_message.substr(0, kReaderPrefix.size()) == kReaderPrefix) {
    return SetError(type, reader_message);
  }
  std::string message(kReaderPrefix);
  message.append(reader_message);
  return SetError(type, message);
}

std::nullptr_t RaiseQueryError(std::string_view parser_message,
                               uint64_t start, uint64_t end,
                               std::string_view query_utf8,
                               PyObject* query) {
  PyObject* type = QueryErrorType();
  if (type == nullptr) return nullptr;
  std::string message(parser_message);
  message.append(" in query ");
  message.append(vrim::Quote(query_utf8));
  PyObject* text = NewString(message);
  if (text == nullptr) return nullptr;
  PyObject* error = PyObject_CallFunctionObjArgs(type, text, nullptr);
  Py_DECREF(text);
  if (error == nullptr) return nullptr;
  Py_INCREF(query);
  if (!SetOwnedAttr(error, "start", PyLong_FromUnsignedLongLong(start)) ||
      !SetOwnedAttr(error, "end", PyLong_FromUnsignedLongLong(end)) ||
      !SetOwnedAttr(error, "query", query)) {
    // An internal fault, not the user's: report what went wrong instead.
    Py_DECREF(error);
    return nullptr;
  }
  PyErr_SetObject(type, error);
  Py_DECREF(error);
  return nullptr;
}

void SetErrorFromCurrentException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    if (!PyErr_Occurred()) SetError(PyExc_RuntimeError, e.what());
  } catch (...) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_RuntimeError, "unknown native fault");
    }
  }
}

std::nullptr_t NativeFault::Raise() const {
  if (kind == Kind::kNoMemory) {
    PyErr_NoMemory();
  } else {
    SetError(PyExc_RuntimeError,
             message.empty() ? std::string_view("unknown native fault")
                             : std::string_view(message));
  }
  return nullptr;
}

}  // namespace vrim_python
