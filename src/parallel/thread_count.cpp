#include "parallel/thread_count.hpp"

#include <unistd.h>

#include <cstdlib>
#include <limits>

namespace zelto {

std::optional<std::uint64_t> parse_thread_count(const char* text) noexcept {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(*text - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t requested_thread_count(const char* num_threads, const char* rs_num_cpus) noexcept {
  if (const auto value = parse_thread_count(num_threads)) return *value;
  if (const auto value = parse_thread_count(rs_num_cpus); value && *value >= 1) return *value;
  return 0;
}

std::size_t pool_size_for(std::uint64_t requested, std::size_t logical_cpus) noexcept {
  const std::uint64_t count = requested == 0 ? logical_cpus : requested;
  return count < kMaxPoolThreads ? static_cast<std::size_t>(count) : kMaxPoolThreads;
}

std::size_t logical_processor_count() noexcept {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online >= 1 ? static_cast<std::size_t>(online) : 1;
}

std::size_t thread_count_from_environment() noexcept {
  const std::uint64_t requested = requested_thread_count(std::getenv("RAYON_NUM_THREADS"),
                                                         std::getenv("RAYON_RS_NUM_CPUS"));
  return pool_size_for(requested, logical_processor_count());
}

}  // namespace zelto
