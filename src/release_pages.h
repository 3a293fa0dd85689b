// Hands the memory pages of a buffer region back to the system while the
// buffer itself stays allocated, so that a large buffer being copied
// elsewhere piece by piece never has both copies resident in full.
#ifndef VRIM_RELEASE_PAGES_H_
#define VRIM_RELEASE_PAGES_H_

#include <cstddef>

namespace vrim {

// Releases the whole pages inside [data, data + bytes): they read as zeros
// afterwards. Does nothing where the system offers no such call.
// REQUIRES: the region is private memory of this process (heap memory is
// fine) whose contents are no longer needed.
void ReleasePages(void* data, size_t bytes);

// Hands memory the allocator holds free (in any thread's arena) back to the
// system, so that what one build thread freed does not stay resident while
// others still allocate. Does nothing where the allocator offers no such
// call.
void ReleaseFreeMemory();

}  // namespace vrim

#endif  // VRIM_RELEASE_PAGES_H_
