// Pool sizing from the environment, pool creation and its failure, and fork() during and after
// pool creation. The pool is made once per process, so end-to-end cases run in child processes.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/fatal.hpp"
#include "parallel/global_pool.hpp"
#include "parallel/parallel.hpp"
#include "parallel/thread_count.hpp"
#include "parallel/usable_processors.hpp"
#include "parallel_support.hpp"
#include "test_support.hpp"

// The sanitizer this build runs under: GCC says so with macros, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define ZELTO_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELTO_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define ZELTO_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZELTO_TEST_TSAN 1
#endif
#endif

namespace zelto {
namespace {

using testing_support::kForcePool;

struct ParseCase {
  const char* text;
  std::optional<std::uint64_t> value;
};

class ParseCount : public ::testing::TestWithParam<ParseCase> {};

INSTANTIATE_TEST_SUITE_P(
    Table, ParseCount,
    ::testing::Values(ParseCase{"3", 3}, ParseCase{"+4", 4}, ParseCase{"0", 0},
                      ParseCase{"007", 7}, ParseCase{"18446744073709551615", UINT64_MAX},
                      ParseCase{"18446744073709551616", std::nullopt},
                      ParseCase{"", std::nullopt}, ParseCase{"+", std::nullopt},
                      ParseCase{"-", std::nullopt}, ParseCase{"-1", std::nullopt},
                      ParseCase{"++1", std::nullopt}, ParseCase{" 3", std::nullopt},
                      ParseCase{"3 ", std::nullopt}, ParseCase{"abc", std::nullopt},
                      ParseCase{"4x", std::nullopt}, ParseCase{nullptr, std::nullopt}));

TEST_P(ParseCount, AcceptsOnlyPlusAndDigits) {
  EXPECT_EQ(parse_thread_count(GetParam().text), GetParam().value);
}

struct RequestCase {
  const char* num_threads;
  const char* rs_num_cpus;
  std::uint64_t requested;  // 0: the processor count
};

class Request : public ::testing::TestWithParam<RequestCase> {};

INSTANTIATE_TEST_SUITE_P(
    Table, Request,
    ::testing::Values(RequestCase{"3", nullptr, 3}, RequestCase{"0", "2", 0},
                      RequestCase{"abc", "2", 2}, RequestCase{"abc", nullptr, 0},
                      RequestCase{nullptr, "2", 2}, RequestCase{nullptr, "0", 0},
                      RequestCase{" 3", nullptr, 0}, RequestCase{"5", "2", 5},
                      RequestCase{nullptr, nullptr, 0}, RequestCase{"-1", "x", 0}));

TEST_P(Request, FollowsTheFallThroughRules) {
  const auto& c = GetParam();
  EXPECT_EQ(requested_thread_count(c.num_threads, c.rs_num_cpus), c.requested);
}

TEST(PoolSize, DefaultAndCap) {
  EXPECT_EQ(pool_size_for(0, 6), 6u);
  EXPECT_EQ(pool_size_for(3, 6), 3u);
  EXPECT_EQ(pool_size_for(70000, 6), kMaxPoolThreads);
  EXPECT_EQ(pool_size_for(UINT64_MAX, 6), kMaxPoolThreads);
  EXPECT_EQ(pool_size_for(0, 100000), kMaxPoolThreads);
}

// A container's CPU quota bounds the awake workers: quota / period, rounded up; no quota, no bound.
TEST(UsableProcessors, CpuQuotaRoundsUp) {
  EXPECT_EQ(cpu_quota_processors("200000 100000\n"), 2u);
  EXPECT_EQ(cpu_quota_processors("150000 100000\n"), 2u);
  EXPECT_EQ(cpu_quota_processors("50000 100000\n"), 1u);
  EXPECT_EQ(cpu_quota_processors("max 100000\n"), std::nullopt);
  EXPECT_EQ(cpu_quota_processors(""), std::nullopt);
  EXPECT_GE(usable_processor_count(), 1u);
}

std::size_t thread_count_of_process() {
  std::size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

// Runs in a child started by EnvironmentTable: the first operation makes exactly the expected
// pool, with all its workers started at once.
TEST(EnvironmentChild, PoolHasExpectedSize) {
  const char* expected = std::getenv("ZELTO_EXPECT_THREADS");
  if (expected == nullptr) {
    GTEST_SKIP() << "Runs only in the children that EnvironmentTable starts.";
  }
  const std::size_t threads = std::stoul(expected);
  const std::size_t before = thread_count_of_process();
  ASSERT_EQ(pool_thread_count(), threads);
#if defined(ZELTO_TEST_TSAN)
  const std::size_t sanitizer_threads = 1;  // its background thread starts with the first worker
#else
  const std::size_t sanitizer_threads = 0;
#endif
  EXPECT_EQ(thread_count_of_process(), before + threads + sanitizer_threads);
  ::setenv("RAYON_NUM_THREADS", "1", 1);
  EXPECT_EQ(pool_thread_count(), threads);  // read once per process
}

struct EnvCase {
  const char* num_threads;
  const char* rs_num_cpus;
  long expected;  // -1: the processor count
};

class EnvironmentTable : public ::testing::TestWithParam<EnvCase> {};

INSTANTIATE_TEST_SUITE_P(
    Table, EnvironmentTable,
    ::testing::Values(EnvCase{"3", nullptr, 3}, EnvCase{"0", nullptr, -1},
                      EnvCase{"abc", nullptr, -1}, EnvCase{"+4", nullptr, 4},
                      EnvCase{" 3", nullptr, -1}, EnvCase{"3 ", nullptr, -1},
                      EnvCase{"0", "2", -1}, EnvCase{"abc", "2", 2}, EnvCase{nullptr, "2", 2},
                      EnvCase{nullptr, "0", -1}, EnvCase{nullptr, nullptr, -1}));

// Set by scripts/stage-aarch64, which runs these tests under qemu's user-mode emulation.
bool under_emulation() { return std::getenv("ZELTO_UNDER_EMULATION") != nullptr; }

// Re-runs this test binary as a fresh process, filtered to one child test, with the two pool
// variables replaced by the given ones and extra set; expects it to pass.
void expect_fresh_child_passes(const char* test, const char* num_threads, const char* rs_num_cpus,
                               const char* extra_name, const std::string& extra_value) {
  if (under_emulation()) {
    GTEST_SKIP() << "Starting the test binary again under user-mode emulation needs binfmt_misc.";
  }
  testing_support::CapturedStderr output;  // the child's, and its expected fatal-error reports
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::unsetenv("RAYON_NUM_THREADS");
    ::unsetenv("RAYON_RS_NUM_CPUS");
    if (num_threads != nullptr) ::setenv("RAYON_NUM_THREADS", num_threads, 1);
    if (rs_num_cpus != nullptr) ::setenv("RAYON_RS_NUM_CPUS", rs_num_cpus, 1);
    ::setenv(extra_name, extra_value.c_str(), 1);
    dup2(STDERR_FILENO, STDOUT_FILENO);  // keep the child's summary out of the parent's
    const std::string filter = std::string("--gtest_filter=EnvironmentChild.") + test;
    execl("/proc/self/exe", "zelto_cpp_tests", filter.c_str(), "--gtest_brief=1",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << ", output:\n" << output.take();
}

TEST_P(EnvironmentTable, ChildProcessGetsThePool) {
  const auto& c = GetParam();
  const long expected = c.expected < 0 ? static_cast<long>(logical_processor_count()) : c.expected;
  expect_fresh_child_passes("PoolHasExpectedSize", c.num_threads, c.rs_num_cpus,
                            "ZELTO_EXPECT_THREADS", std::to_string(expected));
}

// Runs in a child started by CreationFailure: with address space for two 2 MiB stacks but not
// four, creation fails with the operating system's error and joins the threads it started;
// once the space is back, the next operation builds the pool.
TEST(EnvironmentChild, CreationFailureIsReportedThenRetried) {
  if (std::getenv("ZELTO_EXPECT_CREATION_FAILURE") == nullptr) {
    GTEST_SKIP() << "Runs only in the child that CreationFailure starts.";
  }
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_AS, &limit), 0);
  const rlim_t usual = limit.rlim_cur;
  limit.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (5u << 20);
  ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  try {
    pool_thread_count();
    FAIL() << "the pool was created";
  } catch (const FatalError& error) {
    EXPECT_EQ(error.message(),
              "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: "
              "IOError(" + detail::os_error_debug(EAGAIN) + ") }");
  }
  EXPECT_EQ(thread_count_of_process(), 1u);
  limit.rlim_cur = usual;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
  EXPECT_EQ(pool_thread_count(), 4u);
  EXPECT_EQ(thread_count_of_process(), 5u);
}

TEST(CreationFailure, ReportedThenRetried) {
#if defined(ZELTO_TEST_TSAN) || defined(ZELTO_TEST_ASAN)
  GTEST_SKIP() << "Sanitizers reserve address space beyond any small limit.";
#endif
  expect_fresh_child_passes("CreationFailureIsReportedThenRetried", "4", nullptr,
                            "ZELTO_EXPECT_CREATION_FAILURE", "1");
}

// Runs body in a forked child of this (possibly multi-threaded) process and expects exit 0;
// a child that hangs is killed by its alarm.
template <class Body>
void expect_child_succeeds(Body&& body) {
#if defined(ZELTO_TEST_TSAN)
  GTEST_SKIP() << "ThreadSanitizer does not support threads after a multi-threaded fork.";
#endif
  testing_support::CapturedStderr output;  // the child's expected fatal-error reports
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    _exit(body() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << ", output:\n" << output.take();
}

TEST(Fork, ChildBuildsAFreshPoolOfTheSameSize) {
  if (under_emulation()) {
    GTEST_SKIP() << "The emulator (qemu-user 7.2) crashes when a child forked from a threaded "
                    "process starts threads.";
  }
  const std::size_t threads = pool_thread_count();
  expect_child_succeeds([&] {
    const std::size_t units = run_divided<std::size_t>(
        100000, kForcePool, [](std::size_t b, std::size_t e) { return e - b; },
        [](std::size_t l, std::size_t r) { return l + r; });
    return units == 100000 && pool_thread_count() == threads;
  });
}

TEST(Fork, ZeroChunkIsRefusedBeforeThePoolExists) {
  expect_child_succeeds([] {
    const std::size_t before = thread_count_of_process();
    FloatVec v = FloatVec::zeros(8);
    try {
      parallel_for_each_chunk_mut(v, 0, [](std::size_t, float*, std::size_t) {}, 1.0);
      return false;
    } catch (const FatalError&) {
    }
    return thread_count_of_process() == before;
  });
}

// Runs in a child started by ForkDuringFirstCreation. Another thread forks while this one
// creates the pool: a prepare handler of the test holds that fork open while the creation runs.
// The forked child, which has none of the parent's workers, must still complete an operation.
TEST(EnvironmentChild, ForkDuringFirstCreation) {
  if (std::getenv("ZELTO_EXPECT_FORK_RACE") == nullptr) {
    GTEST_SKIP() << "Runs only in the child that ForkDuringFirstCreation starts.";
  }
  static std::atomic<bool> forking{false};
  ASSERT_EQ(pthread_atfork(
                [] {
                  forking = true;
                  std::this_thread::sleep_for(std::chrono::milliseconds(200));
                },
                nullptr, nullptr),
            0);
  int status = -1;
  std::thread forker([&] {
    const pid_t child = fork();
    if (child == 0) {
      alarm(10);
      const std::size_t units = run_divided<std::size_t>(
          1000, kForcePool, [](std::size_t b, std::size_t e) { return e - b; },
          [](std::size_t l, std::size_t r) { return l + r; });
      _exit(units == 1000 ? 0 : 1);
    }
    waitpid(child, &status, 0);
  });
  while (!forking) std::this_thread::yield();
  EXPECT_EQ(pool_thread_count(), 2u);
  forker.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(ForkDuringFirstCreation, ChildGetsAWorkingPool) {
#if defined(ZELTO_TEST_TSAN)
  GTEST_SKIP() << "ThreadSanitizer does not support threads after a multi-threaded fork.";
#endif
  expect_fresh_child_passes("ForkDuringFirstCreation", "2", nullptr, "ZELTO_EXPECT_FORK_RACE", "1");
}

TEST(OsErrorDebug, RustStyleForm) {
  EXPECT_EQ(detail::os_error_debug(EAGAIN),
            "Os { code: 11, kind: WouldBlock, message: \"Resource temporarily unavailable\" }");
}

}  // namespace
}  // namespace zelto
