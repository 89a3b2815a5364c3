// A worker's sleeping place: one futex word that the worker sleeps on and others wake.
#pragma once

#include <atomic>
#include <cstdint>

#include "parallel/futex.hpp"

namespace zelto::detail {

class SleepSlot {
 public:
  // Announces that the owner is about to sleep. Seq_cst: the owner re-checks for work and for
  // its latch after this store, and wakers read the word after publishing work or a latch;
  // the single total order guarantees one side sees the other.
  void announce() noexcept { word_.store(kSleeping, std::memory_order_seq_cst); }

  // Owner: the re-check found something, so it stays awake.
  void withdraw() noexcept { word_.store(kAwake, std::memory_order_relaxed); }

  // Owner: sleeps until woken.
  void sleep() noexcept {
    while (word_.load(std::memory_order_acquire) == kSleeping) futex_wait(word_, kSleeping);
    word_.store(kAwake, std::memory_order_relaxed);
  }

  // Any thread: wakes the owner if it announced sleep; true when this call woke it.
  bool wake() noexcept {
    if (word_.load(std::memory_order_seq_cst) != kSleeping) return false;
    std::uint32_t expected = kSleeping;
    if (!word_.compare_exchange_strong(expected, kNotified, std::memory_order_seq_cst)) {
      return false;
    }
    futex_wake(&word_, 1);
    return true;
  }

 private:
  static constexpr std::uint32_t kAwake = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kNotified = 2;

  std::atomic<std::uint32_t> word_{kAwake};
};

}  // namespace zelto::detail
