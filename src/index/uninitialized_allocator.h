// An allocator for vectors that are grown and then filled in place: what
// it makes without a value is left uninitialised, so that resize() does
// not clear memory its caller is about to overwrite.
#ifndef VRIM_UNINITIALIZED_ALLOCATOR_H_
#define VRIM_UNINITIALIZED_ALLOCATOR_H_

#include <memory>
#include <new>
#include <utility>

namespace vrim {

template <typename T>
struct UninitializedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace vrim

#endif  // VRIM_UNINITIALIZED_ALLOCATOR_H_
