#include "parallel/pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "core/float_environment.hpp"
#include "parallel/usable_processors.hpp"

namespace zelto::detail {
namespace {

// An idle worker first polls with short pauses, then polls with a processor yield between
// rounds so that a caller or another busy thread sharing its processor can run, and sleeps
// once it has found nothing for kSpinTime. Waking a sleeping worker costs tens of
// microseconds; finding a spinning one costs about one.
constexpr unsigned kPauseRounds = 32;
constexpr unsigned kPausesPerRound = 16;
constexpr std::chrono::microseconds kSpinTime{50};

// The initial-exec model puts the pointer in the static TLS block that glibc allocates with each
// thread's stack, so a thread that cannot have it is never created (pthread_create reports
// the failure). The default model for a shared library allocates the block at the thread's
// first access instead, and glibc ends the process when that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local Worker* t_worker = nullptr;
// Set while this thread runs an interrupt check during a wait (CheckingWhileWaiting).
[[gnu::tls_model("initial-exec")]] thread_local bool t_checking_while_waiting = false;

// Forks this process descends from, counted by the child handler. Relaxed: the handler runs on
// the child's only thread, which is the one that reads it afterwards.
std::atomic<unsigned> g_forks{0};

// A spin-wait hint: yields the core's pipeline to a sibling hardware thread for a few cycles.
void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// In a forked child the only thread is a copy of the forking one; if that was a worker, its
// pool has no threads in the child, so it must act as an outside thread from now on. A thread
// that was waiting for an operation learns from the count that no worker will finish it.
void after_fork_in_child() noexcept {
  t_worker = nullptr;
  g_forks.fetch_add(1, std::memory_order_relaxed);
}

// Registered while the library loads, for the same reason as the global pool's fork handlers:
// a fork() already under way when a handler is registered does not run it.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, after_fork_in_child);

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
  if (pool_->threads_ > 1) {
    if (JobBase* job = pool_->steal_for(*this)) return job;
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
  // 1. Leave the awake set and the counts, then announce sleep. A waker publishes work first
  //    and reads the counts after; a thief or the re-check of another sleeper skips our deque,
  //    which is empty (find_job just failed and only we push to it).
  // 2. Re-check for work and for done(): whatever was published before a waker read the
  //    counts is visible here (all seq_cst); whatever after finds the counts without us and
  //    our slot announced, so the waker wakes a sleeper (or leaves the work to the awake
  //    workers, which all re-check like this before they sleep).
  WorkerPool& pool = *pool_;
  pool.clear_awake_bit(index_);
  pool.searching_.fetch_sub(1, std::memory_order_seq_cst);
  pool.awake_.fetch_sub(1, std::memory_order_seq_cst);
  sleep_slot_.announce();
  wake_up(pool.has_work() || done() ? sleep_slot_.withdraw() : sleep_at_home());
  state.rounds = 0;
}

WakeKind Worker::sleep_at_home() noexcept {
  const HomeProcessor::WhileAsleep asleep(home_);
  return sleep_slot_.sleep();
}

void Worker::wake_up(WakeKind kind) noexcept {
  if (kind == WakeKind::uncounted) {
    // Seq_cst like every access to the counts: wakers decide on them after publishing work.
    pool_->awake_.fetch_add(1, std::memory_order_seq_cst);
    pool_->searching_.fetch_add(1, std::memory_order_seq_cst);
  }
  pool_->set_awake_bit(index_);
}

template <class Done>
void Worker::work_until(Done&& done) noexcept {
  IdleState state;
  while (!done()) {
    if (JobBase* job = find_job()) {
      pool_->stop_searching();
      job->execute_(job, *this);
      pool_->searching_.fetch_add(1, std::memory_order_seq_cst);
      state.rounds = 0;
      continue;
    }
    idle(state, done);
  }
}

void Worker::wait_until(const Latch& latch) noexcept {
  pool_->searching_.fetch_add(1, std::memory_order_seq_cst);
  work_until([&] { return latch.is_set(); });
  pool_->stop_searching();
}

void Worker::serve() noexcept {
  home_.init(index_, pool_->threads());
  wake_up(sleep_at_home());
  work_until([&] { return pool_->stopping(); });
}

WorkerPool::WorkerPool(std::size_t threads, Lifetime lifetime, std::size_t awake_limit)
    : threads_(threads < 1 ? 1 : threads),
      lifetime_(lifetime),
      awake_limit_(awake_limit != 0 ? awake_limit : usable_processor_count()),
      bit_words_((threads_ + 63) / 64),
      workers_(new Worker[threads_]),
      handles_(new pthread_t[threads_]),
      awake_bits_(new std::atomic<std::uint64_t>[bit_words_]) {
  for (std::size_t i = 0; i < threads_; ++i) {
    workers_[i].pool_ = this;
    workers_[i].index_ = i;
    workers_[i].victim_seed_ = 0x9E3779B97F4A7C15ull * (i + 1);
  }
  for (std::size_t w = 0; w < bit_words_; ++w) awake_bits_[w].store(0, std::memory_order_relaxed);
}

WorkerPool::~WorkerPool() {
  if (lifetime_ == Lifetime::kScoped) stop_and_join();
}

int WorkerPool::start() noexcept {
  // Joinable until all have started: a failed start joins the ones it made, so a failure
  // leaves no thread behind.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kStackBytes);
  int error = 0;
  for (; started_ < threads_; ++started_) {
    error = pthread_create(&handles_[started_], &attributes, &thread_main, &workers_[started_]);
    if (error != 0) break;
  }
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    stop_and_join();
    return error;
  }
  if (lifetime_ == Lifetime::kProcess) {
    for (std::size_t i = 0; i < started_; ++i) pthread_detach(handles_[i]);
  }
  return 0;
}

void* WorkerPool::thread_main(void* worker) noexcept {
  auto* self = static_cast<Worker*>(worker);
  // The thread has its creator's floating-point environment; it only ever runs kernels.
  set_kernel_float_environment();
  t_worker = self;
  self->serve();
  t_worker = nullptr;
  return nullptr;
}

Worker* WorkerPool::current_worker() noexcept { return t_worker; }

unsigned WorkerPool::forks() noexcept { return g_forks.load(std::memory_order_relaxed); }

WorkerPool::CheckingWhileWaiting::CheckingWhileWaiting() noexcept
    : outer_(t_checking_while_waiting) {
  t_checking_while_waiting = true;
}

WorkerPool::CheckingWhileWaiting::~CheckingWhileWaiting() { t_checking_while_waiting = outer_; }

bool WorkerPool::checking_while_waiting() noexcept { return t_checking_while_waiting; }

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
  // The submitter wakes every worker that can run at once, instead of one that wakes the next
  // when it first splits, so the others start their first pieces sooner (bench/pool.md).
  // Seq_cst reads of the count, as in notify_work.
  const auto runnable = static_cast<std::int64_t>(runnable_threads());
  while (awake_.load(std::memory_order_seq_cst) < runnable && wake_one()) {
  }
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

JobBase* WorkerPool::steal_for(Worker& thief) noexcept {
  // xorshift64: a cheap per-worker sequence that spreads thieves over their victims.
  std::uint64_t& seed = thief.victim_seed_;
  seed ^= seed << 13;
  seed ^= seed >> 7;
  seed ^= seed << 17;
  const std::size_t first_word = static_cast<std::size_t>(seed % bit_words_);
  const unsigned rotation = static_cast<unsigned>(seed >> 58);
  for (std::size_t k = 0; k < bit_words_; ++k) {
    const std::size_t word = (first_word + k) % bit_words_;
    // Relaxed: a stale bit costs one missed or one empty steal; the deque's own seq_cst
    // accesses order the job itself, and the sleep re-check reads the bits with seq_cst.
    std::uint64_t bits = awake_bits_[word].load(std::memory_order_relaxed);
    // Start within the word at a random bit too, so thieves of a small pool spread out.
    bits = rotation == 0 ? bits : (bits >> rotation) | (bits << (64 - rotation));
    while (bits != 0) {
      const unsigned bit = static_cast<unsigned>(__builtin_ctzll(bits));
      bits &= bits - 1;
      const std::size_t victim = word * 64 + ((bit + rotation) & 63);
      if (victim == thief.index_ || victim >= threads_) continue;
      if (JobBase* job = workers_[victim].deque_.steal()) return job;
    }
  }
  return nullptr;
}

bool WorkerPool::has_work() const noexcept {
  if (injected_count_.load(std::memory_order_seq_cst) != 0) return true;
  for (std::size_t word = 0; word < bit_words_; ++word) {
    std::uint64_t bits = awake_bits_[word].load(std::memory_order_seq_cst);
    while (bits != 0) {
      const std::size_t victim = word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
      bits &= bits - 1;
      if (workers_[victim].deque_.has_jobs()) return true;
    }
  }
  return false;
}

void WorkerPool::notify_work() noexcept {
  // Seq_cst, after the work was published with seq_cst: a worker that leaves the counts and
  // then re-checks either sees the work or is missing from these counts (see Worker::idle).
  if (searching_.load(std::memory_order_seq_cst) > 0) return;
  if (awake_.load(std::memory_order_seq_cst) >= static_cast<std::int64_t>(awake_limit_)) return;
  wake_one();
}

bool WorkerPool::wake_one() noexcept {
  // Mostly asleep when this runs (fewer awake than processors), so the scan ends early.
  const std::size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed) % threads_;
  for (std::size_t k = 0; k < threads_; ++k) {
    SleepSlot& slot = workers_[(start + k) % threads_].sleep_slot_;
    if (slot.claim(WakeKind::counted)) {
      awake_.fetch_add(1, std::memory_order_seq_cst);
      searching_.fetch_add(1, std::memory_order_seq_cst);
      slot.rouse();
      return true;
    }
  }
  return false;
}

void WorkerPool::stop_searching() noexcept {
  // The last searcher leaving may leave work behind that a waker saw it searching for.
  if (searching_.fetch_sub(1, std::memory_order_seq_cst) <= 1) notify_work();
}

void WorkerPool::set_awake_bit(std::size_t index) noexcept {
  // Seq_cst: before this worker's first push, in the order the sleep re-check reads them.
  awake_bits_[index / 64].fetch_or(std::uint64_t{1} << (index % 64), std::memory_order_seq_cst);
}

void WorkerPool::clear_awake_bit(std::size_t index) noexcept {
  awake_bits_[index / 64].fetch_and(~(std::uint64_t{1} << (index % 64)),
                                    std::memory_order_seq_cst);
}

void WorkerPool::stop() noexcept {
  stop_.store(true, std::memory_order_seq_cst);
  for (std::size_t i = 0; i < threads_; ++i) workers_[i].sleep_slot_.wake(WakeKind::uncounted);
}

void WorkerPool::stop_and_join() noexcept {
  stop();
  for (std::size_t i = 0; i < started_; ++i) pthread_join(handles_[i], nullptr);
  started_ = 0;
}

}  // namespace zelto::detail
