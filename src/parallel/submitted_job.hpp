// An operation handed to the pool by a thread outside it: one worker forks its two halves, and
// the submitter blocks until the whole division has run.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "core/interrupt.hpp"
#include "parallel/division.hpp"
#include "parallel/job.hpp"
#include "parallel/latch.hpp"
#include "parallel/pool.hpp"

namespace zelto::detail {

// Lives in the submitter's frame; the worker's last touch of it is setting the latch.
// How often a waiting submitter asks its interrupt check: about every 20 ms, far more often
// than anyone presses Ctrl-C, and a wake-up of the waiting thread costs microseconds.
inline constexpr std::chrono::milliseconds kInterruptPoll{20};

template <class R, class D>
class SubmittedJob : public JobBase {
 public:
  SubmittedJob(D& division, std::size_t units) noexcept
      : JobBase(&execute), division_(division), units_(units), latch_(nullptr) {}

  // Blocks the submitting thread until the operation has finished and returns its result, or
  // rethrows its failure. With an interrupt check, asks it every kInterruptPoll meanwhile: when
  // it throws, the pieces not yet started are skipped, and its exception is rethrown once the
  // running ones have ended. Empty when a signal handler run by the check forked the process
  // and this is the child, where none of the workers running the operation exist.
  std::optional<R> wait(InterruptCheck interrupt) {
    if (interrupt == nullptr) {
      latch_.block_until_set();
      return result_.take();
    }
    while (!latch_.block_until_set_for(kInterruptPoll)) {
      const unsigned forks = WorkerPool::forks();
      try {
        const WorkerPool::CheckingWhileWaiting checking;
        interrupt();
      } catch (...) {
        if (WorkerPool::forks() == forks) {
          division_.stop.request();
          latch_.block_until_set();
        }
        throw;
      }
      if (WorkerPool::forks() != forks) return std::nullopt;
    }
    return result_.take();
  }

 private:
  // Both halves of the top piece count as moved: the submitter is not a worker.
  static void execute(JobBase* base, Worker& worker) noexcept {
    auto* self = static_cast<SubmittedJob*>(base);
    self->result_.capture([&] {
      return run_piece<R>(worker, self->division_, 0, self->units_, self->division_.threads,
                          false, true);
    });
    self->latch_.set();
  }

  D& division_;
  std::size_t units_;
  Latch latch_;
  JobResult<R> result_;
};

}  // namespace zelto::detail
