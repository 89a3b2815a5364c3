#include "parallel/usable_processors.hpp"

#include <sched.h>

#include <cstdio>
#include <cstdlib>

#include "parallel/thread_count.hpp"

namespace zelto {

std::optional<std::size_t> cpu_quota_processors(const char* cpu_max) noexcept {
  char* end = nullptr;
  const unsigned long long quota = std::strtoull(cpu_max, &end, 10);
  if (end == cpu_max || *end != ' ') return std::nullopt;
  const char* period_text = end + 1;
  const unsigned long long period = std::strtoull(period_text, &end, 10);
  if (end == period_text || period == 0 || quota == 0) return std::nullopt;
  return static_cast<std::size_t>((quota + period - 1) / period);
}

std::size_t usable_processor_count() noexcept {
  // A machine beyond the fixed mask's 1,024 processors makes the call fail: count them all.
  std::size_t count = logical_processor_count();
  cpu_set_t mask;
  if (sched_getaffinity(0, sizeof mask, &mask) == 0 && CPU_COUNT(&mask) >= 1) {
    count = static_cast<std::size_t>(CPU_COUNT(&mask));
  }
  // The quota of the cgroup this process runs in, where the unified hierarchy is mounted at
  // the usual place and the process sees its own cgroup as the root (a container).
  if (std::FILE* file = std::fopen("/sys/fs/cgroup/cpu.max", "re")) {
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (const auto quota = read ? cpu_quota_processors(line) : std::nullopt) {
      if (*quota < count) count = *quota < 1 ? 1 : *quota;
    }
  }
  return count;
}

}  // namespace zelto
