// Stopping an operation from the thread that waits for it: the check's exception reaches the
// caller once no work is in flight, the pieces not yet started are skipped, and the pool serves
// the next operation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "parallel/parallel.hpp"
#include "parallel_support.hpp"

namespace zelto {
namespace {

struct Stop : std::runtime_error {
  Stop() : std::runtime_error("stop") {}
};

std::atomic<int> g_checks{0};

// Lets the first check pass and stops at the second.
void stop_at_second_check() {
  if (g_checks.fetch_add(1) == 1) throw Stop();
}

TEST(Interrupt, StopsAWaitingOperationAndLeavesThePoolUsable) {
  auto pool = testing_support::make_pool(2);
  std::atomic<int> leaves_run{0};
  std::atomic<bool> running{false};
  g_checks = 0;
  // 64 leaves of 10 ms each on two workers: about 320 ms of work, stopped after about 40 ms.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run_divided_on<int>(
                   *pool, 64, testing_support::kForcePool,
                   [&](std::size_t begin, std::size_t end) {
                     running = true;
                     std::this_thread::sleep_for(std::chrono::milliseconds(10) * (end - begin));
                     leaves_run += 1;
                     return 0;
                   },
                   [](int, int) { return 0; }, Units::combined, stop_at_second_check),
               Stop);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(g_checks.load(), 2);
  EXPECT_LT(leaves_run.load(), 64);
  EXPECT_LT(elapsed, std::chrono::milliseconds(250));
  // Nothing of the stopped operation runs any more, and the pool takes the next one.
  const int after_stop = leaves_run.load();
  const std::size_t units = run_divided_on<std::size_t>(
      *pool, 1000, testing_support::kForcePool,
      [](std::size_t begin, std::size_t end) { return end - begin; },
      [](std::size_t l, std::size_t r) { return l + r; });
  EXPECT_EQ(units, 1000u);
  EXPECT_EQ(leaves_run.load(), after_stop);
}

TEST(Interrupt, ACheckThatReturnsChangesNothing) {
  auto pool = testing_support::make_pool(3);
  g_checks = 0;
  const float sum = run_divided_on<float>(
      *pool, 40, testing_support::kForcePool,
      [](std::size_t begin, std::size_t end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3) * (end - begin));
        return static_cast<float>(end - begin);
      },
      [](float l, float r) { return l + r; }, Units::combined, [] { ++g_checks; });
  EXPECT_EQ(sum, 40.0f);
  EXPECT_GE(g_checks.load(), 1);
}

}  // namespace
}  // namespace zelto
