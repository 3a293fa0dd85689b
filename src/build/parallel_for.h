// Runs the pieces of a job on threads of their own, for the parallel
// build. No pool: a build starts its workers once and joins them.
#ifndef VRIM_PARALLEL_FOR_H_
#define VRIM_PARALLEL_FOR_H_

#include <cstddef>
#include <functional>

namespace vrim {

// Calls work(i) once for every i in [0, count): piece 0 on the calling
// thread, every other piece on a new thread (on the calling thread, after
// piece 0, when a thread cannot be started). Returns when all are done. An
// exception thrown by a piece is rethrown here once every piece has
// finished (the first one, in piece order, when several throw).
// REQUIRES: pieces touch disjoint data, or synchronise themselves.
void ParallelFor(size_t count, const std::function<void(size_t)>& work);

}  // namespace vrim

#endif  // VRIM_PARALLEL_FOR_H_
