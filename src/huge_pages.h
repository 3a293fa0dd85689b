// Advice that a large array be backed by huge pages, so that filling it
// once takes a few hundred page faults instead of hundreds of thousands.
#ifndef VRIM_HUGE_PAGES_H_
#define VRIM_HUGE_PAGES_H_

#include <cstddef>

namespace vrim {

// Asks the system to back the whole pages inside [data, data + bytes) with
// huge pages where it can. Contents are unchanged; pages never touched stay
// unallocated, within a huge page's size. Does nothing for regions under a
// few megabytes or where the system offers no such advice.
// REQUIRES: the region is private memory of this process (heap memory is
// fine).
void AdviseHugePages(const void* data, size_t bytes);

}  // namespace vrim

#endif  // VRIM_HUGE_PAGES_H_
