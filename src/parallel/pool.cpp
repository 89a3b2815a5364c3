#include "parallel/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace zelto::detail {
namespace {

// An idle worker first polls with short pauses, then polls with a processor yield between
// rounds so that a caller or another busy thread sharing its processor can run, and sleeps
// once it has found nothing for kSpinTime. Waking a sleeping worker costs tens of
// microseconds; finding a spinning one costs about one.
constexpr unsigned kPauseRounds = 32;
constexpr unsigned kPausesPerRound = 16;
constexpr std::chrono::microseconds kSpinTime{50};

thread_local Worker* t_worker = nullptr;

// A spin-wait hint: yields the core's pipeline to a sibling hardware thread for a few cycles.
void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// In a forked child the only thread is a copy of the forking one; if that was a worker, its
// pool has no threads in the child, so it must act as an outside thread from now on.
void forget_worker_in_child() noexcept { t_worker = nullptr; }

// Registered while the library loads, for the same reason as the global pool's fork handlers:
// a fork() already under way when a handler is registered does not run it.
[[maybe_unused]] const int g_fork_handler =
    pthread_atfork(nullptr, nullptr, forget_worker_in_child);

}  // namespace

void abort_pool_failure() noexcept {
  static constexpr char kMessage[] = "Rayon: detected unexpected panic; aborting\n";
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::abort();
}

bool Worker::offer(JobBase* job) noexcept {
  if (!deque_.push(job)) return false;
  pool_->notify_work();
  return true;
}

JobBase* Worker::find_job() noexcept {
  if (JobBase* job = deque_.pop()) return job;
  const std::size_t count = pool_->threads_;
  if (count > 1) {
    // xorshift64: a cheap per-worker sequence that spreads thieves over their victims.
    victim_seed_ ^= victim_seed_ << 13;
    victim_seed_ ^= victim_seed_ >> 7;
    victim_seed_ ^= victim_seed_ << 17;
    const std::size_t start = static_cast<std::size_t>(victim_seed_ % count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t victim = (start + k) % count;
      if (victim == index_) continue;
      if (JobBase* job = pool_->workers_[victim].deque_.steal()) return job;
    }
  }
  return pool_->take_injected();
}

template <class Done>
void Worker::idle(IdleState& state, Done&& done) noexcept {
  if (state.rounds == 0) state.since = std::chrono::steady_clock::now();
  ++state.rounds;
  if (state.rounds <= kPauseRounds) {
    for (unsigned i = 0; i < kPausesPerRound; ++i) cpu_relax();
    return;
  }
  if (std::chrono::steady_clock::now() - state.since < kSpinTime) {
    ::sched_yield();
    return;
  }
  // 1. Announce sleep, then count ourselves as a sleeper; wakers read the count after they
  //    publish work and then look for an announced slot.
  // 2. Re-check for work and for done(): whatever was published before a waker read the
  //    count is visible here (all seq_cst), whatever after will find our announcement.
  sleep_slot_.announce();
  pool_->sleepers_.fetch_add(1, std::memory_order_seq_cst);
  if (pool_->has_work() || done()) {
    sleep_slot_.withdraw();
  } else {
    sleep_slot_.sleep();
  }
  pool_->sleepers_.fetch_sub(1, std::memory_order_relaxed);
  state.rounds = 0;
}

template <class Done>
void Worker::work_until(Done&& done) noexcept {
  IdleState state;
  while (!done()) {
    if (JobBase* job = find_job()) {
      job->execute_(job, *this);
      state.rounds = 0;
      continue;
    }
    idle(state, done);
  }
}

void Worker::wait_until(const Latch& latch) noexcept {
  work_until([&] { return latch.is_set(); });
}

void Worker::serve() noexcept {
  work_until([&] { return pool_->stopping(); });
}

WorkerPool::WorkerPool(std::size_t threads, Lifetime lifetime)
    : threads_(threads < 1 ? 1 : threads),
      lifetime_(lifetime),
      workers_(new Worker[threads_]),
      handles_(new pthread_t[threads_]) {
  for (std::size_t i = 0; i < threads_; ++i) {
    workers_[i].pool_ = this;
    workers_[i].index_ = i;
    workers_[i].victim_seed_ = 0x9E3779B97F4A7C15ull * (i + 1);
  }
}

WorkerPool::~WorkerPool() {
  if (lifetime_ != Lifetime::kScoped) return;
  stop();
  for (std::size_t i = 0; i < started_; ++i) pthread_join(handles_[i], nullptr);
}

int WorkerPool::start() noexcept {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  if (lifetime_ == Lifetime::kProcess) {
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  }
  int error = 0;
  for (; started_ < threads_; ++started_) {
    error = pthread_create(&handles_[started_], &attributes, &thread_main, &workers_[started_]);
    if (error != 0) break;
  }
  pthread_attr_destroy(&attributes);
  if (error != 0) stop();
  return error;
}

void* WorkerPool::thread_main(void* worker) noexcept {
  auto* self = static_cast<Worker*>(worker);
  t_worker = self;
  self->serve();
  t_worker = nullptr;
  return nullptr;
}

Worker* WorkerPool::current_worker() noexcept { return t_worker; }

void WorkerPool::inject(JobBase* job) noexcept {
  {
    std::lock_guard<std::mutex> lock(injected_mutex_);
    job->next_ = nullptr;
    if (injected_tail_ != nullptr) {
      injected_tail_->next_ = job;
    } else {
      injected_head_ = job;
    }
    injected_tail_ = job;
    injected_count_.fetch_add(1, std::memory_order_seq_cst);
  }
  notify_work();
}

JobBase* WorkerPool::take_injected() noexcept {
  if (injected_count_.load(std::memory_order_relaxed) == 0) return nullptr;
  std::lock_guard<std::mutex> lock(injected_mutex_);
  JobBase* job = injected_head_;
  if (job == nullptr) return nullptr;
  injected_head_ = job->next_;
  if (injected_head_ == nullptr) injected_tail_ = nullptr;
  injected_count_.fetch_sub(1, std::memory_order_relaxed);
  return job;
}

bool WorkerPool::has_work() const noexcept {
  if (injected_count_.load(std::memory_order_seq_cst) != 0) return true;
  for (std::size_t i = 0; i < threads_; ++i) {
    if (workers_[i].deque_.has_jobs()) return true;
  }
  return false;
}

void WorkerPool::notify_work() noexcept {
  if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
  const std::size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % threads_;
  for (std::size_t k = 0; k < threads_; ++k) {
    if (workers_[(start + k) % threads_].sleep_slot_.wake()) return;
  }
}

void WorkerPool::stop() noexcept {
  stop_.store(true, std::memory_order_seq_cst);
  for (std::size_t i = 0; i < threads_; ++i) workers_[i].sleep_slot_.wake();
}

}  // namespace zelto::detail
