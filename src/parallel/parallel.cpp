#include "parallel/parallel.hpp"

#include <string>

#include "core/fatal.hpp"
#include "parallel/global_pool.hpp"

namespace zelto {

std::size_t pool_thread_count() { return detail::current_pool().threads(); }

namespace detail {

WorkerPool& current_pool() {
  if (Worker* worker = WorkerPool::current_worker()) return worker->pool();
  return global_pool();
}

void check_write_count(std::size_t expected, std::size_t written) {
  if (expected != written) {
    raise_fatal("expected " + std::to_string(expected) + " total writes, but got " +
                std::to_string(written));
  }
}

}  // namespace detail
}  // namespace zelto
