// Stopping an operation from the thread that waits for it: the check's exception reaches the
// caller once no work is in flight, the pieces not yet started are skipped, and the pool serves
// the next operation; what a check may do meanwhile (start an operation, fork) is served.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Work that runs on the calling thread (here a lone unit) asks the check at its leaves' looks at
// the stop, so that a long leaf stops there too.
TEST(Interrupt, IsAskedAtTheLooksOfWorkRunOnTheCallingThread) {
  auto pool = testing_support::make_pool(2);
  g_checks = 0;
  StopSignal stop;
  int looks = 0;
  EXPECT_THROW(run_divided_on<int>(
                   *pool, 1, testing_support::kForcePool,
                   [&](std::size_t, std::size_t) {
                     for (; looks < 1000; ++looks) stop.check();
                     return 0;
                   },
                   [](int, int) { return 0; }, Units::combined, stop_at_second_check, &stop),
               Stop);
  EXPECT_EQ(looks, 1);
}

// An operation started by the check while the caller waits (a signal handler's) runs on the
// calling thread: the workers are busy with leaves that end only once it has run.
TEST(Interrupt, AnOperationStartedByTheCheckDoesNotQueueBehindTheWaitingOne) {
  static detail::WorkerPool* s_pool = nullptr;
  static std::atomic<bool> s_nested_done{false};
  auto pool = testing_support::make_pool(2);
  s_pool = pool.get();
  s_nested_done = false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  run_divided_on<int>(
      *pool, 2, testing_support::kForcePool,
      [&](std::size_t, std::size_t) {
        while (!s_nested_done && std::chrono::steady_clock::now() < give_up) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
      },
      [](int, int) { return 0; }, Units::combined, [] {
        const std::size_t units = run_divided_on<std::size_t>(
            *s_pool, 100, testing_support::kForcePool,
            [](std::size_t begin, std::size_t end) { return end - begin; },
            [](std::size_t l, std::size_t r) { return l + r; });
        s_nested_done = units == 100;
      });
  EXPECT_TRUE(s_nested_done.load());
  EXPECT_LT(std::chrono::steady_clock::now(), give_up);
}

// A check that forks (a signal handler calling fork()) leaves the child without the workers
// running the operation: the child finishes it on its own thread, with the same result.
TEST(Interrupt, AChildForkedByTheCheckFinishesTheOperation) {
  auto pool = testing_support::make_pool(2);
  g_checks = 0;
  const auto run = [&](InterruptCheck check) {
    return run_divided_on<float>(
        *pool, 64, testing_support::kForcePool,
        [](std::size_t begin, std::size_t end) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2) * (end - begin));
          return static_cast<float>(begin) * 0.1f + static_cast<float>(end);
        },
        [](float l, float r) { return l + r; }, Units::combined, check);
  };
  const float expected = run(nullptr);
  static pid_t s_child = -1;
  const float got = run([] {
    if (g_checks++ == 0) s_child = fork();
  });
  if (s_child == 0) _exit(got == expected ? 0 : 1);
  ASSERT_GT(s_child, 0);
  EXPECT_EQ(got, expected);
  int status = 0;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(s_child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > give_up) {
      kill(s_child, SIGKILL);
      waitpid(s_child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace zelto
