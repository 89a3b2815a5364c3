// Blocking wait and wake on a 32-bit atomic word (Linux futex, process-private).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace zelto::detail {

// Sleeps while word still holds expected; may return early (callers re-check in a loop).
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;

// As futex_wait, returning after at most about timeout.
void futex_wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept;

// Wakes up to count threads sleeping on word. Takes the address only: it is safe to call just
// after the object holding the word has ended, since the kernel never reads the memory.
void futex_wake(std::atomic<std::uint32_t>* word, int count) noexcept;

}  // namespace zelto::detail
