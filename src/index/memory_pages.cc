#include "index/memory_pages.h"

#include <cstdint>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vrim {

namespace {

#if defined(__linux__)
// Gives `advice` for the whole pages inside [data, data + bytes).
void AdviseWholePages(const void* data, size_t bytes, int advice) {
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + page - 1) / page * page;
  const uintptr_t last = (begin + bytes) / page * page;
  if (first < last) {
    madvise(reinterpret_cast<void*>(first), last - first, advice);
  }
}
#endif

}  // namespace

void ReleasePages(void* data, size_t bytes) {
#if defined(__linux__)
  AdviseWholePages(data, bytes, MADV_DONTNEED);
#else
  (void)data;
  (void)bytes;
#endif
}

void AdviseHugePages(const void* data, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  // Two huge pages at least, so that one lies wholly inside.
  constexpr size_t kMinimum = size_t{4} << 20;
  if (bytes >= kMinimum) AdviseWholePages(data, bytes, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

void ReleaseFreeMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

}  // namespace vrim
