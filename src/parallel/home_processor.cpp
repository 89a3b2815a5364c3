#include "parallel/home_processor.hpp"

namespace zelto::detail {

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
  if (sched_getaffinity(0, sizeof allowed_, &allowed_) == 0) {
    home_ = home_processor(allowed_, index, threads);
  }
}

// A refused binding (the processor left the process's cpuset) leaves the thread as it was.
HomeProcessor::WhileAsleep::WhileAsleep(const HomeProcessor& home) noexcept : home_(home) {
  if (home_.home_ < 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(home_.home_, &one);
  bound_ = sched_setaffinity(0, sizeof one, &one) == 0;
}

HomeProcessor::WhileAsleep::~WhileAsleep() {
  if (bound_) sched_setaffinity(0, sizeof home_.allowed_, &home_.allowed_);
}

}  // namespace zelto::detail
