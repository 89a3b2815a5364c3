#include "parallel/parallel.hpp"

#include <string>

#include "core/fatal.hpp"
#include "parallel/global_pool.hpp"

namespace zelto {

std::size_t pool_thread_count() { return detail::current_pool().threads(); }

std::vector<std::pair<std::size_t, std::size_t>> no_steal_leaves(std::size_t n,
                                                                  std::size_t threads) {
  std::vector<std::pair<std::size_t, std::size_t>> leaves;
  auto leaf = [&](std::size_t begin, std::size_t end) {
    leaves.emplace_back(begin, end);
    return 0;
  };
  auto combine = [](int, int) { return 0; };
  detail::Division<decltype(leaf), decltype(combine)> division{leaf, combine, threads};
  detail::run_piece_here<int>(division, 0, n, threads, false, true);
  return leaves;
}

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
