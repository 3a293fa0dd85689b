// Hints to the system about the memory pages behind large buffers: hand
// pages back while a buffer stays allocated, so that a large buffer being
// copied elsewhere piece by piece never has both copies resident in full;
// ask for huge pages, so that filling a large array once takes a few
// hundred page faults instead of hundreds of thousands.
#ifndef VRIM_MEMORY_PAGES_H_
#define VRIM_MEMORY_PAGES_H_

#include <cstddef>

namespace vrim {

// Releases the whole pages inside [data, data + bytes): they read as zeros
// afterwards. Does nothing where the system offers no such call.
// REQUIRES: the region is private memory of this process (heap memory is
// fine) whose contents are no longer needed.
void ReleasePages(void* data, size_t bytes);

// Asks the system to back the whole pages inside [data, data + bytes) with
// huge pages where it can. Contents are unchanged; pages never touched stay
// unallocated, within a huge page's size. Does nothing for regions under a
// few megabytes or where the system offers no such advice.
// REQUIRES: the region is private memory of this process (heap memory is
// fine).
void AdviseHugePages(const void* data, size_t bytes);

// Hands memory the allocator holds free (in any thread's arena) back to the
// system, so that what one build thread freed does not stay resident while
// others still allocate. Does nothing where the allocator offers no such
// call.
void ReleaseFreeMemory();

}  // namespace vrim

#endif  // VRIM_MEMORY_PAGES_H_
