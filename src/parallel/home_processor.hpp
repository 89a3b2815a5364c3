// Where a sleeping worker waits. A woken thread runs where the operating system places it,
// and on some kernels (a 2-processor VM guest here) the wake-ups of a small pool's workers
// often land on one processor while another stays idle, most of all after the calling thread
// has been busy: the workers then share that processor for much of an operation. So a worker
// of a pool no larger than its allowed processors sleeps bound to a processor of its own, and
// is unbound again as soon as it wakes, which leaves the scheduler free to move it while it
// works (alternating 10^4-element heavy calls with numpy's, calls slower than 2.1 ms went
// from 46-64 of 150 to 3-5).
#pragma once

#include <sched.h>

#include <cstddef>

namespace zelto::detail {

// The index-th processor of `allowed` for a pool of `threads` workers, or -1 when the pool
// has one worker or more workers than `allowed` has processors, where sharing is the plan.
int home_processor(const cpu_set_t& allowed, std::size_t index, std::size_t threads) noexcept;

// One worker's placement: the processors its thread may use, read when the thread starts, and
// its home among them.
class HomeProcessor {
 public:
  // Reads the calling thread's affinity; when it cannot, the worker has no home.
  void init(std::size_t index, std::size_t threads) noexcept;

  // Binds the calling thread to its home for the guard's life, then gives it back its allowed
  // processors; does nothing for a worker without a home.
  class WhileAsleep {
   public:
    explicit WhileAsleep(const HomeProcessor& home) noexcept;
    ~WhileAsleep();
    WhileAsleep(const WhileAsleep&) = delete;
    WhileAsleep& operator=(const WhileAsleep&) = delete;

   private:
    const HomeProcessor& home_;
    bool bound_ = false;
  };

 private:
  cpu_set_t allowed_{};
  int home_ = -1;
};

}  // namespace zelto::detail
