#include "parallel/home_processor.hpp"

namespace zelto::detail {
namespace {

// Whether mask allows exactly the one processor cpu.
bool only(const cpu_set_t& mask, int cpu) noexcept {
  return CPU_COUNT(&mask) == 1 && CPU_ISSET(cpu, &mask);
}

}  // namespace

int home_processor(const cpu_set_t& allowed, std::size_t index, std::size_t threads) noexcept {
  if (threads < 2 || threads > static_cast<std::size_t>(CPU_COUNT(&allowed))) return -1;
  std::size_t seen = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &allowed) && seen++ == index) return cpu;
  }
  return -1;
}

// A machine beyond the fixed mask's 1,024 processors makes the call fail: no home then.
void HomeProcessor::init(std::size_t index, std::size_t threads) noexcept {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    home_ = home_processor(allowed, index, threads);
  }
}

// The mask is read afresh at every sleep, so a pin set from outside while the worker was awake
// is what it returns to; a home outside that mask, or a mask of one processor, means the thread
// was placed from outside, and it stays where it was put. A refused binding (the processor left
// the process's cpuset) leaves the thread as it was too.
HomeProcessor::WhileAsleep::WhileAsleep(const HomeProcessor& home) noexcept : home_(home.home_) {
  if (home_ < 0 || sched_getaffinity(0, sizeof before_, &before_) != 0) return;
  if (!CPU_ISSET(home_, &before_) || only(before_, home_)) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(home_, &one);
  bound_ = sched_setaffinity(0, sizeof one, &one) == 0;
}

// A mask other than the binding was set from outside during the sleep, and is kept. (One set
// between the reads and the writes of these two calls, or one equal to the binding, cannot be
// told apart from the binding and is replaced.)
HomeProcessor::WhileAsleep::~WhileAsleep() {
  if (!bound_) return;
  cpu_set_t now;
  if (sched_getaffinity(0, sizeof now, &now) == 0 && only(now, home_)) {
    sched_setaffinity(0, sizeof before_, &before_);
  }
}

}  // namespace zelto::detail
