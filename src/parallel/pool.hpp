// The work-stealing pool: T worker threads, each with its own deque of offered jobs, and one
// injection queue through which threads outside the pool submit operations.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "parallel/deque.hpp"
#include "parallel/job.hpp"
#include "parallel/latch.hpp"
#include "parallel/sleep_slot.hpp"

namespace zelto::detail {

class WorkerPool;

// One worker thread's state. Aligned so that two workers' hot fields never share a line.
class alignas(128) Worker {
 public:
  WorkerPool& pool() const noexcept { return *pool_; }
  SleepSlot& sleep_slot() noexcept { return sleep_slot_; }

  // Offers job to other workers (and wakes a sleeping one); false when the deque is full.
  bool offer(JobBase* job) noexcept;
  // Takes back the newest offered job, or null if a thief took it.
  JobBase* take_back() noexcept { return deque_.pop(); }
  // Runs other jobs until latch is set; sleeps when there is nothing to do.
  void wait_until(const Latch& latch) noexcept;

 private:
  friend class WorkerPool;

  // How long this worker has had nothing to do.
  struct IdleState {
    unsigned rounds = 0;
    std::chrono::steady_clock::time_point since{};
  };

  // The worker thread's body: serve jobs until the pool stops.
  void serve() noexcept;
  // Runs jobs from anywhere in the pool, idling when there are none, until done() is true.
  template <class Done>
  void work_until(Done&& done) noexcept;
  // A job from this worker's deque, another worker's deque or the injection queue.
  JobBase* find_job() noexcept;
  // One step of having nothing to do: spin, yield, or sleep until woken. done() ends a sleep.
  template <class Done>
  void idle(IdleState& state, Done&& done) noexcept;

  WorkerPool* pool_ = nullptr;
  std::size_t index_ = 0;
  std::uint64_t victim_seed_ = 0;
  SleepSlot sleep_slot_;
  JobDeque deque_;
};

class WorkerPool {
 public:
  // Process-lifetime pools start detached threads and are never destroyed; scoped pools (tests,
  // benchmarks) join their threads when destroyed.
  enum class Lifetime { kProcess, kScoped };

  WorkerPool(std::size_t threads, Lifetime lifetime);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts the threads; 0 on success, else the errno of the thread creation that failed (the
  // threads already started are then stopped).
  int start() noexcept;

  std::size_t threads() const noexcept { return threads_; }

  // Submits a job from a thread outside the pool; some worker will run it.
  void inject(JobBase* job) noexcept;
  // Wakes one sleeping worker, if any, after work was published.
  void notify_work() noexcept;

  // This thread's worker, or null on a thread outside every pool (or in a forked child).
  static Worker* current_worker() noexcept;

  // Stack reservation of each worker thread.
  static constexpr std::size_t kStackBytes = std::size_t{2} << 20;

 private:
  friend class Worker;

  static void* thread_main(void* worker) noexcept;
  JobBase* take_injected() noexcept;
  // Whether any deque or the injection queue holds a job (seq_cst: sleep handshake).
  bool has_work() const noexcept;
  // Seq_cst, like Latch::is_set: a worker re-checks it after announcing sleep, and stop() reads
  // the sleep slots after storing it; an acquire load would let both sides miss each other and
  // leave a worker asleep for the join in ~WorkerPool.
  bool stopping() const noexcept { return stop_.load(std::memory_order_seq_cst); }
  // Ends every worker's serve loop, waking the sleeping ones (scoped pools, failed starts).
  void stop() noexcept;

  const std::size_t threads_;
  const Lifetime lifetime_;
  std::unique_ptr<Worker[]> workers_;
  std::unique_ptr<pthread_t[]> handles_;
  std::size_t started_ = 0;

  std::mutex injected_mutex_;
  JobBase* injected_head_ = nullptr;
  JobBase* injected_tail_ = nullptr;
  alignas(64) std::atomic<std::size_t> injected_count_{0};
  alignas(64) std::atomic<std::size_t> sleepers_{0};
  std::atomic<std::size_t> wake_cursor_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace zelto::detail
