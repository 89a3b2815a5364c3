// The pool runs every unit exactly once, under concurrent submitters and nesting, and carries
// failures back to the caller with the lowest-indexed failing unit's error.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/fatal.hpp"
#include "parallel/home_processor.hpp"
#include "parallel/parallel.hpp"
#include "parallel_support.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using testing_support::kForcePool;

// Counts how often each unit of [0, n) ran on pool; every count must be 1 and the leaf sizes
// must add up to n in the combined result.
void expect_each_unit_once(detail::WorkerPool& pool, std::size_t n, double ns_per_unit) {
  std::vector<std::atomic<int>> runs(n);
  const std::size_t total = run_divided_on<std::size_t>(
      pool, n, ns_per_unit,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) runs[i].fetch_add(1, std::memory_order_relaxed);
        return end - begin;
      },
      [](std::size_t left, std::size_t right) { return left + right; });
  ASSERT_EQ(total, n);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(runs[i].load(), 1) << "unit " << i;
}

class EachUnitOnce
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, double>> {};

INSTANTIATE_TEST_SUITE_P(Sweep, EachUnitOnce,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 8),
                                            ::testing::Values(0, 1, 2, 3, 7, 100, 100000),
                                            ::testing::Values(1.0, kForcePool)));

TEST_P(EachUnitOnce, AcrossPoolAndRangeSizes) {
  const auto [threads, n, ns_per_unit] = GetParam();
  auto pool = testing_support::make_pool(threads);
  for (int repeat = 0; repeat < 3; ++repeat) expect_each_unit_once(*pool, n, ns_per_unit);
}

TEST(EachUnitOnce, ManySubmittersAndNestedOperations) {
  auto pool = testing_support::make_pool(3);
  std::vector<std::thread> submitters;
  std::atomic<int> nested_total{0};
  for (int s = 0; s < 4; ++s) {
    submitters.emplace_back([&, s] {
      for (int round = 0; round < 40; ++round) {
        expect_each_unit_once(*pool, 1000 + 37 * s + round, kForcePool);
        // Each outer unit starts an inner operation on the worker that runs it.
        const int outer = run_divided_on<int>(
            *pool, 8, kForcePool,
            [&](std::size_t begin, std::size_t end) {
              int sum = 0;
              for (std::size_t i = begin; i < end; ++i) {
                sum += run_divided<int>(
                    50, kForcePool, [](std::size_t b, std::size_t e) { return int(e - b); },
                    [](int l, int r) { return l + r; });
              }
              return sum;
            },
            [](int l, int r) { return l + r; });
        nested_total.fetch_add(outer);
      }
    });
  }
  for (auto& thread : submitters) thread.join();
  EXPECT_EQ(nested_total.load(), 4 * 40 * 8 * 50);
}

// Busy for about us microseconds.
void spin_for(std::chrono::microseconds us) {
  const auto end = std::chrono::steady_clock::now() + us;
  while (std::chrono::steady_clock::now() < end) {
  }
}

// A worker waiting for its taken-over right piece spins, then sleeps: right pieces that end at
// every moment of that wait, the moment it goes to sleep included, must all wake it.
TEST(EachUnitOnce, RightPieceEndingAsItsOwnerGoesToSleep) {
  auto pool = testing_support::make_pool(2);
  for (int late = 0; late < 200; ++late) {
    run_divided_on<int>(
        *pool, 2, kForcePool,
        [&](std::size_t begin, std::size_t) {
          spin_for(std::chrono::microseconds(begin == 0 ? 100 : late));
          return 0;
        },
        [](int, int) { return 0; });
  }
}

class Failures : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Threads, Failures, ::testing::Values(1, 2, 3, 8));

// Units 5 and 900 of 1,000 fail: unit 5's exception object reaches the caller, after every
// started leaf has ended, and the workers keep serving afterwards.
TEST_P(Failures, LowestFailingUnitWinsAndPoolSurvives) {
  auto pool = testing_support::make_pool(GetParam());
  for (int repeat = 0; repeat < 20; ++repeat) {
    std::atomic<int> running{0};
    std::atomic<int> after_return{-1};
    try {
      run_divided_on<int>(
          *pool, 1000, kForcePool,
          [&](std::size_t begin, std::size_t end) {
            running.fetch_add(1);
            for (std::size_t i = begin; i < end; ++i) {
              if (i == 5 || i == 900) {
                running.fetch_sub(1);
                throw FatalError("unit " + std::to_string(i));
              }
            }
            running.fetch_sub(1);
            return 0;
          },
          [](int, int) { return 0; });
      FAIL() << "no error reached the caller";
    } catch (const FatalError& error) {
      after_return = running.load();
      EXPECT_EQ(error.message(), "unit 5");
    }
    EXPECT_EQ(after_return.load(), 0);
  }
  expect_each_unit_once(*pool, 10000, kForcePool);
}

TEST_P(Failures, RightOnlyFailureAndForeignExceptionsArriveUnchanged) {
  auto pool = testing_support::make_pool(GetParam());
  auto run = [&] {
    return run_divided_on<int>(
        *pool, 64, kForcePool,
        [](std::size_t begin, std::size_t end) -> int {
          if (end == 64) throw std::out_of_range("last leaf");
          return static_cast<int>(end - begin);
        },
        [](int l, int r) { return l + r; });
  };
  EXPECT_THROW(run(), std::out_of_range);
}

// The five loops on the process pool, against the plain loops they stand for.
class Loops : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

INSTANTIATE_TEST_SUITE_P(Sweep, Loops,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 7, 100, 100000),
                                            ::testing::Values(1, 3, 64)));

TEST_P(Loops, MatchPlainLoops) {
  const auto [length, chunk] = GetParam();
  FloatVec in = FloatVec::uninitialized(length);
  for (std::size_t i = 0; i < length; ++i) in[i] = static_cast<float>(i % 97) * 0.25f;
  const std::size_t chunks = (length + chunk - 1) / chunk;

  const FloatVec doubled = parallel_map(in, [](float x) { return x * 2.0f; }, kForcePool);
  ASSERT_EQ(doubled.size(), length);
  for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(doubled[i], in[i] * 2.0f);

  const FloatVec firsts = parallel_map_chunks(
      in, chunk, [](const float* c, std::size_t len) { return c[len - 1]; }, kForcePool);
  ASSERT_EQ(firsts.size(), chunks);
  for (std::size_t k = 0; k < chunks; ++k) {
    ASSERT_EQ(firsts[k], in[std::min(length, (k + 1) * chunk) - 1]);
  }

  FloatVec out = FloatVec::zeros(length);
  parallel_for_each_chunk_mut(
      out, chunk,
      [&](std::size_t k, float* c, std::size_t len) {
        ASSERT_EQ(len, std::min(chunk, length - k * chunk));
        for (std::size_t j = 0; j < len; ++j) c[j] += static_cast<float>(k) + 1.0f;
      },
      kForcePool);
  for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(out[i], static_cast<float>(i / chunk + 1));

  const auto indices = parallel_fold_reduce(
      3, 3 + length, [] { return std::size_t{0}; },
      [](std::size_t acc, std::size_t i) { return acc + i; },
      [](std::size_t l, std::size_t r) { return l + r; }, kForcePool);
  EXPECT_EQ(indices, length * 3 + (length == 0 ? 0 : length * (length - 1) / 2));

  const float sum = parallel_map_sum(in, [](float x) { return x; }, kForcePool);
  if (length == 0) {
    EXPECT_TRUE(std::signbit(sum));
  }
  if (length < 100) {
    float plain = -0.0f;
    for (std::size_t i = 0; i < length; ++i) plain += in[i];
    EXPECT_EQ(sum, plain);  // small integers and quarters: every grouping is exact
  }
}

TEST(Loops, ZeroChunkFailsBeforeAnyWork) {
  FloatVec v = FloatVec::zeros(4);
  bool ran = false;
  EXPECT_EQ(testing_support::fatal_message([&] {
              parallel_for_each_chunk_mut(
                  v, 0, [&](std::size_t, float*, std::size_t) { ran = true; }, 1.0);
            }),
            "chunk_size must not be zero");
  EXPECT_FALSE(ran);
}

// A worker sleeps on the index-th allowed processor while the pool has a processor for each.
TEST(HomeProcessor, IsTheIndexthAllowedOneWhileEachWorkerHasOne) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  for (const int cpu : {3, 5, 9}) CPU_SET(cpu, &allowed);
  EXPECT_EQ(detail::home_processor(allowed, 0, 3), 3);
  EXPECT_EQ(detail::home_processor(allowed, 2, 3), 9);
  EXPECT_EQ(detail::home_processor(allowed, 1, 2), 5);
  EXPECT_EQ(detail::home_processor(allowed, 0, 1), -1);  // one worker shares with nobody
  EXPECT_EQ(detail::home_processor(allowed, 0, 4), -1);  // more workers than processors
}

// The binding lasts only while a worker sleeps: woken, it runs where it was allowed to.
TEST(HomeProcessor, WokenWorkersMayRunOnEveryAllowedProcessor) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "With one processor no worker has a home processor.";
  auto pool = testing_support::make_pool(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both asleep at home
  std::mutex mutex;
  std::vector<cpu_set_t> seen;
  run_divided_on<int>(
      *pool, 64, kForcePool,
      [&](std::size_t, std::size_t) {
        cpu_set_t mask;
        EXPECT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(mask);
        return 0;
      },
      [](int, int) { return 0; });
  ASSERT_FALSE(seen.empty());
  for (const cpu_set_t& mask : seen) EXPECT_TRUE(CPU_EQUAL(&mask, &allowed));
}

// The ids of this process's threads.
std::set<pid_t> thread_ids() {
  std::set<pid_t> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::stol(entry->d_name)));
    }
    closedir(dir);
  }
  return ids;
}

cpu_set_t only_processor(int cpu) {
  cpu_set_t mask;
  CPU_ZERO(&mask);
  CPU_SET(cpu, &mask);
  return mask;
}

// Pins set from outside outlast later sleeps and wake-ups, whether set on a worker asleep at
// home (to another processor: a pin equal to the home binding cannot be told apart from it)
// or on a running worker (to the first processor, home to one of them).
TEST(HomeProcessor, PinsSetFromOutsideSurviveSleepAndWork) {
  cpu_set_t allowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
  if (CPU_COUNT(&allowed) < 2) GTEST_SKIP() << "With one processor no worker has a home processor.";
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  }
  const std::set<pid_t> before = thread_ids();
  auto pool = testing_support::make_pool(2);
  std::vector<pid_t> workers;
  for (const pid_t id : thread_ids()) {
    if (before.count(id) == 0) workers.push_back(id);
  }
  ASSERT_EQ(workers.size(), 2u);
  std::vector<cpu_set_t> pins(2);
  auto expect_pins_kept = [&](const char* when) {
    for (int round = 0; round < 3; ++round) {
      run_divided_on<int>(
          *pool, 64, kForcePool, [](std::size_t, std::size_t) { return 0; },
          [](int, int) { return 0; });
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // asleep again
    }
    for (std::size_t w = 0; w < 2; ++w) {
      cpu_set_t mask;
      ASSERT_EQ(sched_getaffinity(workers[w], sizeof mask, &mask), 0);
      EXPECT_TRUE(CPU_EQUAL(&mask, &pins[w])) << "worker " << w << " pinned " << when;
      ASSERT_EQ(sched_setaffinity(workers[w], sizeof allowed, &allowed), 0);
    }
  };

  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // both asleep at home
  for (std::size_t w = 0; w < 2; ++w) {
    cpu_set_t home;
    ASSERT_EQ(sched_getaffinity(workers[w], sizeof home, &home), 0);
    ASSERT_EQ(CPU_COUNT(&home), 1);
    pins[w] = only_processor(CPU_ISSET(cpus[0], &home) ? cpus[1] : cpus[0]);
    ASSERT_EQ(sched_setaffinity(workers[w], sizeof pins[w], &pins[w]), 0);
  }
  expect_pins_kept("asleep");

  // Both workers hold a leaf until both are pinned.
  std::atomic<int> holding{0};
  std::atomic<bool> pinned{false};
  std::thread submitter([&] {
    run_divided_on<int>(
        *pool, 2, kForcePool,
        [&](std::size_t, std::size_t) {
          holding.fetch_add(1);
          while (!pinned.load()) std::this_thread::yield();
          return 0;
        },
        [](int, int) { return 0; });
  });
  while (holding.load() < 2) std::this_thread::yield();
  for (std::size_t w = 0; w < 2; ++w) {
    pins[w] = only_processor(cpus[0]);
    ASSERT_EQ(sched_setaffinity(workers[w], sizeof pins[w], &pins[w]), 0);
  }
  pinned = true;
  submitter.join();
  expect_pins_kept("running");
}

}  // namespace
}  // namespace zelto
