#include "build/parallel_for.h"

#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace vrim {

void ParallelFor(size_t count, const std::function<void(size_t)>& work) {
  std::vector<std::exception_ptr> errors(count);
  auto run = [&work, &errors](size_t i) {
    try {
      work(i);
    } catch (...) {
      errors[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::vector<size_t> inline_pieces;
  threads.reserve(count);
  inline_pieces.reserve(count);
  for (size_t i = 1; i < count; ++i) {
    try {
      threads.emplace_back(run, i);
    } catch (const std::system_error&) {
      inline_pieces.push_back(i);
    }
  }
  if (count > 0) run(0);
  for (const size_t i : inline_pieces) run(i);
  for (std::thread& t : threads) t.join();
  for (const std::exception_ptr& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace vrim
