// How many processors this process can keep busy at once: the bound on awake workers. The pool
// size ignores it (it counts the machine's processors), but waking more workers than can run
// only makes them take turns, each turn a time slice in which a preempted piece waits.
#pragma once

#include <cstddef>
#include <optional>

namespace zelto {

// Processors a cgroup v2 "cpu.max" line grants ("200000 100000" -> 2, rounded up), or nullopt
// for "max ..." and anything unreadable.
std::optional<std::size_t> cpu_quota_processors(const char* cpu_max) noexcept;

// The processors in this thread's affinity mask, capped by the process's cgroup CPU quota
// when one is set; at least 1.
std::size_t usable_processor_count() noexcept;

}  // namespace zelto
