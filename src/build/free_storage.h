// Frees the storage of a container by replacing it with an empty one:
// clear() keeps the capacity, and a build's large buffers must go back.
#ifndef VRIM_FREE_STORAGE_H_
#define VRIM_FREE_STORAGE_H_

namespace vrim {

// Replaces `*container` by an empty one, freeing its storage.
template <class T>
void Free(T* container) {
  *container = T();
}

}  // namespace vrim

#endif  // VRIM_FREE_STORAGE_H_
