// Claims on an object for the duration of a call: many shared claims, or
// one exclusive claim. A conflicting claim fails at once with RuntimeError
// rather than waiting, so a call that re-enters the object (a document's
// __getitem__ calling back into its builder) or a mutation from another
// thread while a build runs without the interpreter lock is refused
// instead of deadlocking or racing.
#ifndef VRIM_PYTHON_BORROW_H_
#define VRIM_PYTHON_BORROW_H_

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace vrim_python {

class BorrowFlag {
 public:
  // False, with RuntimeError "Already mutably borrowed" set, while an
  // exclusive claim is held.
  bool TryShared() {
    int64_t state = state_.load(std::memory_order_relaxed);
    do {
      if (state == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
    } while (!state_.compare_exchange_weak(state, state + 1,
                                           std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void ReleaseShared() { state_.fetch_sub(1, std::memory_order_release); }

  // False, with RuntimeError "Already borrowed" set, while any claim is
  // held.
  bool TryExclusive() {
    int64_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kExclusive,
                                        std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return false;
    }
    return true;
  }
  void ReleaseExclusive() { state_.store(0, std::memory_order_release); }

 private:
  static constexpr int64_t kExclusive = -1;
  std::atomic<int64_t> state_{0};
};

// Scoped claims; check held() right after construction.
class SharedClaim {
 public:
  explicit SharedClaim(BorrowFlag& flag) : flag_(flag), held_(flag.TryShared()) {}
  ~SharedClaim() {
    if (held_) flag_.ReleaseShared();
  }
  SharedClaim(const SharedClaim&) = delete;
  SharedClaim& operator=(const SharedClaim&) = delete;
  bool held() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

class ExclusiveClaim {
 public:
  explicit ExclusiveClaim(BorrowFlag& flag)
      : flag_(flag), held_(flag.TryExclusive()) {}
  ~ExclusiveClaim() {
    if (held_) flag_.ReleaseExclusive();
  }
  ExclusiveClaim(const ExclusiveClaim&) = delete;
  ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
  bool held() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_;
};

}  // namespace vrim_python

#endif  // VRIM_PYTHON_BORROW_H_
