// The work-stealing pool: T worker threads, each with its own deque of offered jobs, and one
// injection queue through which threads outside the pool submit operations.
//
// Idle workers cost next to nothing, however many there are:
// - A worker thread starts asleep and sleeps whenever it has found nothing for a few tens of
//   microseconds; starting the pool only creates the threads, so it is linear in T.
// - An operation submitted from outside wakes sleepers until as many workers are awake as
//   processors can run them (usable_processor_count). Inside an operation, work is offered to
//   awake workers first: a job a worker offers wakes a sleeper only when no worker is searching
//   for work and fewer workers are awake than that; a searcher that finds a job and was the
//   last one searching wakes a successor. So a pool larger than the machine keeps about one
//   awake worker per processor, instead of time-slicing all of them.
// - Thieves and the sleep re-check look only at awake workers' deques (a bitmap of awake
//   workers): a sleeping worker's deque is empty.
// - A pool no larger than its allowed processors has its workers sleep on processors of
//   their own, so that they wake on separate ones (home_processor.hpp).
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "parallel/deque.hpp"
#include "parallel/home_processor.hpp"
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

  // Offers job to other workers (and wakes a sleeping one if needed); false when the deque is
  // full.
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

  // The worker thread's body: sleep until first woken, then serve jobs until the pool stops.
  void serve() noexcept;
  // Runs jobs from anywhere in the pool, idling when there are none, until done() is true.
  // The worker is counted as searching on entry and on return.
  template <class Done>
  void work_until(Done&& done) noexcept;
  // A job from this worker's deque, an awake worker's deque or the injection queue.
  JobBase* find_job() noexcept;
  // One step of having nothing to do: spin, yield, or sleep until woken. done() ends a sleep.
  template <class Done>
  void idle(IdleState& state, Done&& done) noexcept;
  // Sleeps on the worker's home processor until woken, so that the pool's workers wake on
  // processors of their own.
  WakeKind sleep_at_home() noexcept;
  // After a sleep or a withdrawn one: counts itself back unless its waker did, and shows its
  // deque to thieves again.
  void wake_up(WakeKind kind) noexcept;

  WorkerPool* pool_ = nullptr;
  std::size_t index_ = 0;
  std::uint64_t victim_seed_ = 0;
  HomeProcessor home_;
  SleepSlot sleep_slot_;
  JobDeque deque_;
};

class WorkerPool {
 public:
  // Process-lifetime pools detach their threads once all have started and are never
  // destroyed; scoped pools (tests, benchmarks) join their threads when destroyed.
  enum class Lifetime { kProcess, kScoped };

  // awake_limit 0: as many awake workers as this process has usable processors.
  WorkerPool(std::size_t threads, Lifetime lifetime, std::size_t awake_limit = 0);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts the threads; 0 on success, else the errno of the thread creation that failed, after
  // the threads already started have been stopped and joined.
  int start() noexcept;

  std::size_t threads() const noexcept { return threads_; }
  // How many workers can run at once: the awake limit, at most T.
  std::size_t runnable_threads() const noexcept {
    return awake_limit_ < threads_ ? awake_limit_ : threads_;
  }

  // Submits a job from a thread outside the pool; some worker will run it.
  void inject(JobBase* job) noexcept;
  // After work was published: wakes one sleeping worker unless a searching one will find it
  // or enough workers are awake.
  void notify_work() noexcept;

  // This thread's worker, or null on a thread outside every pool (or in a forked child).
  static Worker* current_worker() noexcept;

  // How many times this process has been forked off its parent so far (counted in the child):
  // a thread that sees it change while it waits is in a child, where no worker of any pool
  // started before the fork exists.
  static unsigned forks() noexcept;

  // Marks this thread, for the marker's lifetime, as running an interrupt check while it waits
  // for an operation on a pool. A signal handler run by the check may start an operation of its
  // own, which then must not queue behind the one the workers are busy with.
  class CheckingWhileWaiting {
   public:
    CheckingWhileWaiting() noexcept;
    ~CheckingWhileWaiting();
    CheckingWhileWaiting(const CheckingWhileWaiting&) = delete;
    CheckingWhileWaiting& operator=(const CheckingWhileWaiting&) = delete;

   private:
    bool outer_;
  };
  // Whether this thread is inside a CheckingWhileWaiting.
  static bool checking_while_waiting() noexcept;

  // Stack reservation of each worker thread.
  static constexpr std::size_t kStackBytes = std::size_t{2} << 20;

 private:
  friend class Worker;

  static void* thread_main(void* worker) noexcept;
  JobBase* take_injected() noexcept;
  // A job stolen from an awake worker other than thief, starting at a random one.
  JobBase* steal_for(Worker& thief) noexcept;
  // Whether the injection queue or an awake worker's deque holds a job (seq_cst: sleep
  // handshake).
  bool has_work() const noexcept;
  // Claims a sleeping worker, counts it as awake and searching, and wakes it; false when every
  // worker is awake.
  bool wake_one() noexcept;
  // A searching worker found work or its latch: the last searcher to stop wakes a successor.
  void stop_searching() noexcept;
  void set_awake_bit(std::size_t index) noexcept;
  void clear_awake_bit(std::size_t index) noexcept;
  // Seq_cst, like Latch::is_set: a worker re-checks it after announcing sleep, and stop() reads
  // the sleep slots after storing it; an acquire load would let both sides miss each other and
  // leave a worker asleep for the join in ~WorkerPool.
  bool stopping() const noexcept { return stop_.load(std::memory_order_seq_cst); }
  // Ends every worker's serve loop, waking the sleeping ones (scoped pools, failed starts).
  void stop() noexcept;
  // Stops and joins the threads started so far.
  void stop_and_join() noexcept;

  const std::size_t threads_;
  const Lifetime lifetime_;
  const std::size_t awake_limit_;
  const std::size_t bit_words_;
  std::unique_ptr<Worker[]> workers_;
  std::unique_ptr<pthread_t[]> handles_;
  // Bit i set while worker i is awake; only awake workers hold jobs in their deques.
  std::unique_ptr<std::atomic<std::uint64_t>[]> awake_bits_;
  std::size_t started_ = 0;

  std::mutex injected_mutex_;
  JobBase* injected_head_ = nullptr;
  JobBase* injected_tail_ = nullptr;
  alignas(64) std::atomic<std::size_t> injected_count_{0};
  // Workers awake, and those of them looking for work rather than running a job. A waker adds
  // its sleeper after claiming it, so the counts may briefly fall short (which only wakes one
  // worker too many), never run over; signed for the moment a woken worker's own decrement
  // comes first.
  alignas(64) std::atomic<std::int64_t> searching_{0};
  std::atomic<std::int64_t> awake_{0};
  alignas(64) std::atomic<std::size_t> wake_cursor_{0};
  std::atomic<bool> stop_{false};
};

}  // namespace zelto::detail
