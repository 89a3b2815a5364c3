// Helpers shared by the pool tests: scoped pools of a given size and leaf recording.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "parallel/parallel.hpp"
#include "parallel/pool.hpp"
#include "per_unit_loops.hpp"

namespace zelto::testing_support {

using Leaves = std::vector<std::pair<std::size_t, std::size_t>>;

// Large enough per unit that every operation goes through the pool, never the inline path.
inline constexpr double kForcePool = 1e9;

// A started pool of exactly threads workers, joined when the test ends. All of them may be
// awake at once, whatever the machine, so that tests see every interleaving they can.
inline std::unique_ptr<detail::WorkerPool> make_pool(std::size_t threads) {
  auto pool = std::make_unique<detail::WorkerPool>(threads, detail::WorkerPool::Lifetime::kScoped,
                                                   threads);
  EXPECT_EQ(pool->start(), 0);
  return pool;
}

// Runs one operation of n units on pool and returns its leaves in range order.
inline Leaves record_leaves(detail::WorkerPool& pool, std::size_t n, double ns_per_unit,
                            Units units = Units::combined) {
  std::mutex mutex;
  Leaves leaves;
  run_divided_on<int>(
      pool, n, ns_per_unit,
      [&](std::size_t begin, std::size_t end) {
        std::lock_guard<std::mutex> lock(mutex);
        leaves.emplace_back(begin, end);
        return 0;
      },
      [](int, int) { return 0; }, units);
  std::sort(leaves.begin(), leaves.end());
  return leaves;
}

}  // namespace zelto::testing_support
