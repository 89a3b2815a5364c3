// Where a sleeping worker waits. A woken thread runs where the operating system places it,
// and on some kernels (a 2-processor VM guest here) the wake-ups of a small pool's workers
// often land on one processor while another stays idle, most of all after the calling thread
// has been busy: the workers then share that processor for much of an operation. So a worker
// of a pool no larger than its allowed processors sleeps bound to a processor of its own, and
// is unbound again as soon as it wakes, which leaves the scheduler free to move it while it
// works (bench/heavy_leaves.md has the measurements).
//
// A mask set on a worker's thread from outside (taskset, os.sched_setaffinity, a container's
// CPU manager) wins over the binding: a worker whose mask excludes its home or allows one
// processor only is not bound, and one whose mask changed while it slept keeps the new mask.
#pragma once

#include <sched.h>

#include <cstddef>

namespace zelto::detail {

// The index-th processor of `allowed` for a pool of `threads` workers, or -1 when the pool
// has one worker or more workers than `allowed` has processors, where sharing is the plan.
int home_processor(const cpu_set_t& allowed, std::size_t index, std::size_t threads) noexcept;

// One worker's home processor, chosen among those its thread may use when it starts.
class HomeProcessor {
 public:
  // Reads the calling thread's affinity; when it cannot, the worker has no home.
  void init(std::size_t index, std::size_t threads) noexcept;

  // Binds the calling thread to its home for the guard's life, then gives it back the mask it
  // had just before; does nothing for a worker without a home or whose mask excludes it.
  class WhileAsleep {
   public:
    explicit WhileAsleep(const HomeProcessor& home) noexcept;
    ~WhileAsleep();
    WhileAsleep(const WhileAsleep&) = delete;
    WhileAsleep& operator=(const WhileAsleep&) = delete;

   private:
    const int home_;
    cpu_set_t before_{};
    bool bound_ = false;
  };

 private:
  int home_ = -1;
};

}  // namespace zelto::detail
