// The module's exception types and the conversion of native failures into
// interpreter exceptions.
//
// No C++ exception may unwind into the interpreter: every entry point runs
// its body through Guarded(), and native work done without the interpreter
// lock goes through RunWithoutGil(), which records a fault instead of
// throwing.
#ifndef VRIM_PYTHON_ERRORS_H_
#define VRIM_PYTHON_ERRORS_H_

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

namespace vrim_python {

// The process-wide exception types, created on first use (by the module's
// execution step or the first raise). Borrowed references; null with an
// exception set if creation failed.
PyObject* QueryErrorType();
PyObject* FormatErrorType();

// Sets `type` with a message that may hold any bytes of valid UTF-8,
// NUL included. Always returns null, for `return SetError(...)`.
std::nullptr_t SetError(PyObject* type, std::string_view message);

// FormatError "not a Vrim index: {}" with the reader's message; a message
// that already carries the prefix is used unchanged.
std::nullptr_t RaiseReaderError(std::string_view reader_message);

// QueryError "{} in query {}" with `start`, `end` and `query` set on the
// instance before it is raised.
std::nullptr_t RaiseQueryError(std::string_view parser_message,
                               uint64_t start, uint64_t end,
                               std::string_view query_utf8,
                               PyObject* query);

// Turns the C++ exception being handled into an interpreter exception:
// std::bad_alloc becomes MemoryError, anything else RuntimeError carrying
// the fault's message. An interpreter exception already set is kept.
// REQUIRES: called from inside a catch block, with the lock held.
void SetErrorFromCurrentException();

// The value an entry point returns to signal an error: null for pointers,
// -1 for integers.
template <class T>
T ErrorReturn() {
  if constexpr (std::is_pointer_v<T>) {
    return nullptr;
  } else {
    return static_cast<T>(-1);
  }
}

// Runs an entry point's body, reporting any C++ exception it throws as an
// interpreter exception.
template <class F>
auto Guarded(F&& body) noexcept -> decltype(body()) {
  using Result = decltype(body());
  try {
    return body();
  } catch (...) {
    SetErrorFromCurrentException();
    return ErrorReturn<Result>();
  }
}

// A failure caught while the interpreter lock was released, raised later
// once it is held again.
struct NativeFault {
  enum class Kind { kNone, kNoMemory, kOther };
  Kind kind = Kind::kNone;
  std::string message;

  bool ok() const { return kind == Kind::kNone; }
  // Sets the matching interpreter exception. REQUIRES: !ok(), lock held.
  std::nullptr_t Raise() const;
};

// Releases the interpreter lock, runs `work`, and takes the lock back.
// `work` must not touch any interpreter object.
template <class F>
NativeFault RunWithoutGil(F&& work) noexcept {
  NativeFault fault;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (const std::bad_alloc&) {
    fault.kind = NativeFault::Kind::kNoMemory;
  } catch (const std::exception& e) {
    fault.kind = NativeFault::Kind::kOther;
    try {
      fault.message = e.what();
    } catch (...) {
    }
  } catch (...) {
    fault.kind = NativeFault::Kind::kOther;
  }
  Py_END_ALLOW_THREADS
  return fault;
}

}  // namespace vrim_python

#endif  // VRIM_PYTHON_ERRORS_H_
