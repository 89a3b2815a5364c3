#include "parallel/global_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/fatal.hpp"
#include "parallel/thread_count.hpp"

namespace zelto::detail {
namespace {

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// Creation is serialised by mutex; the fast path reads pool alone.
struct GlobalState {
  std::mutex mutex;
  std::atomic<WorkerPool*> pool{nullptr};
  std::size_t threads = 0;  // remembered T, so a forked child or a retry builds the same size
};

GlobalState g_state;

// Fork handlers: hold the creation lock across fork() so the child never inherits it locked,
// and forget the parent's pool in the child (its threads were not copied; its queues and
// locks may be in any state, so the child never touches it again).
void lock_for_fork() noexcept { g_state.mutex.lock(); }
void unlock_after_fork() noexcept { g_state.mutex.unlock(); }
void reset_in_child() noexcept {
  g_state.pool.store(nullptr, std::memory_order_relaxed);
  g_state.mutex.unlock();
}

// Registered while the library loads, not on first creation: a fork() already under way when a
// handler is registered does not run it, so a child forked during the first creation would keep
// the parent's pool (whose workers it lacks) or its held creation lock.
[[maybe_unused]] const int g_fork_handlers =
    pthread_atfork(lock_for_fork, unlock_after_fork, reset_in_child);

// The error-kind name that the pool's build-error report gives an errno value.
const char* error_kind(int error) {
  switch (error) {
    case EAGAIN: return "WouldBlock";
    case ENOMEM: return "OutOfMemory";
    case EPERM:
    case EACCES: return "PermissionDenied";
    case EINVAL: return "InvalidInput";
    default: return "Uncategorized";
  }
}

// Builds the pool under the lock: from the environment the first time, with the remembered
// size in a forked child or after a failed attempt. A failed attempt has joined the threads it
// started and leaves nothing behind, so a thread shortage that passes does not disable the
// module: the next operation tries again.
WorkerPool& create_pool() {
  std::lock_guard<std::mutex> lock(g_state.mutex);
  if (WorkerPool* pool = g_state.pool.load(std::memory_order_relaxed)) return *pool;
  if (g_state.threads == 0) g_state.threads = thread_count_from_environment();
  auto pool = std::make_unique<WorkerPool>(g_state.threads, WorkerPool::Lifetime::kProcess);
  if (const int error = pool->start(); error != 0) {
    raise_fatal(std::string(kNotInitialized) + ": ThreadPoolBuildError { kind: IOError(" +
                os_error_debug(error) + ") }");
  }
  // Never destroyed: the workers are detached and use it until the process ends.
  WorkerPool* const published = pool.release();
  g_state.pool.store(published, std::memory_order_release);
  return *published;
}

}  // namespace

std::string os_error_debug(int error) {
  char buffer[256];
  const char* message = strerror_r(error, buffer, sizeof buffer);
  return "Os { code: " + std::to_string(error) + ", kind: " + error_kind(error) +
         ", message: \"" + message + "\" }";
}

WorkerPool& global_pool() {
  if (WorkerPool* pool = g_state.pool.load(std::memory_order_acquire)) return *pool;
  return create_pool();
}

}  // namespace zelto::detail
