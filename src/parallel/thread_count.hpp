// How many workers the process-wide pool gets: the environment's request, or one per logical
// processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zelto {

// The largest pool the module builds, whatever the environment asks for.
inline constexpr std::size_t kMaxPoolThreads = 65535;

// A count as the environment writes it: an optional single '+' and one or more ASCII digits,
// with a value below 2^64. Anything else (empty, signs, spaces, letters, overflow) is nullopt.
std::optional<std::uint64_t> parse_thread_count(const char* text) noexcept;

// The request made by RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null when unset); 0 asks for the
// default. An unparsable first variable counts as unset; a zero first variable settles it.
std::uint64_t requested_thread_count(const char* num_threads, const char* rs_num_cpus) noexcept;

// T for a request: the request, or the processor count for 0, capped at kMaxPoolThreads.
std::size_t pool_size_for(std::uint64_t requested, std::size_t logical_cpus) noexcept;

// Logical processors the operating system reports for the machine (affinity is ignored), >= 1.
std::size_t logical_processor_count() noexcept;

// T as the environment of this process asks for it.
std::size_t thread_count_from_environment() noexcept;

}  // namespace zelto
