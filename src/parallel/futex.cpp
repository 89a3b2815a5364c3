#include "parallel/futex.hpp"

#include <linux/futex.h>
#include <time.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zelto::detail {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
}

void futex_wait_for(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                    std::chrono::nanoseconds timeout) noexcept {
  const timespec relative{static_cast<time_t>(timeout.count() / 1000000000),
                          static_cast<long>(timeout.count() % 1000000000)};
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            &relative, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

}  // namespace zelto::detail
