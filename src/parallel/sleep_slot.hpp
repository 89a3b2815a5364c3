// A worker's sleeping place: one futex word that the worker sleeps on and others wake.
#pragma once

#include <atomic>
#include <cstdint>

#include "parallel/futex.hpp"

namespace zelto::detail {

// How a sleeping worker was woken: by the pool's waker, which counted it as awake and
// searching before waking it, or by anything else (its latch, a stopping pool), after which
// the worker counts itself.
enum class WakeKind { counted, uncounted };

class SleepSlot {
 public:
  // Announces that the owner is about to sleep. Seq_cst: the owner re-checks for work and for
  // its latch after this store, and wakers read the word after publishing work or a latch;
  // the single total order guarantees one side sees the other.
  void announce() noexcept { word_.store(kSleeping, std::memory_order_seq_cst); }

  // Owner: the re-check found something, so it stays awake. A waker may have claimed the slot
  // meanwhile; the result says whether that waker counted the owner (uncounted when none came).
  // Acquire on either outcome: the owner then reads what a waker published before claiming.
  WakeKind withdraw() noexcept {
    std::uint32_t expected = kSleeping;
    if (word_.compare_exchange_strong(expected, kAwake, std::memory_order_acquire)) {
      return WakeKind::uncounted;
    }
    word_.store(kAwake, std::memory_order_relaxed);
    return expected == kWokenCounted ? WakeKind::counted : WakeKind::uncounted;
  }

  // Owner: sleeps until woken; says how. A worker's slot starts asleep, so a new worker thread
  // sleeps until work wakes it and a waker may claim it before the thread has even run.
  WakeKind sleep() noexcept {
    std::uint32_t word = word_.load(std::memory_order_acquire);
    while (word == kSleeping) {
      futex_wait(word_, kSleeping);
      word = word_.load(std::memory_order_acquire);
    }
    // Relaxed: only the owner reads the word before its next announce, and wakers act on
    // kSleeping alone.
    word_.store(kAwake, std::memory_order_relaxed);
    return word == kWokenCounted ? WakeKind::counted : WakeKind::uncounted;
  }

  // Any thread: claims the slot of an owner that announced sleep; true when this call did, and
  // the caller must then rouse() it. Seq_cst load and claim: the waker's published work or
  // latch precedes them in the single total order, which the owner's re-check after
  // announce() relies on.
  bool claim(WakeKind kind) noexcept {
    if (word_.load(std::memory_order_seq_cst) != kSleeping) return false;
    std::uint32_t expected = kSleeping;
    const std::uint32_t woken = kind == WakeKind::counted ? kWokenCounted : kWoken;
    return word_.compare_exchange_strong(expected, woken, std::memory_order_seq_cst);
  }

  // Wakes the owner after a successful claim (it may already be awake: the futex call then
  // finds nobody).
  void rouse() noexcept { futex_wake(&word_, 1); }

  // Any thread: wakes the owner if it announced sleep; true when this call woke it.
  bool wake(WakeKind kind) noexcept {
    if (!claim(kind)) return false;
    rouse();
    return true;
  }

 private:
  static constexpr std::uint32_t kAwake = 0;
  static constexpr std::uint32_t kSleeping = 1;
  static constexpr std::uint32_t kWoken = 2;
  static constexpr std::uint32_t kWokenCounted = 3;

  std::atomic<std::uint32_t> word_{kSleeping};
};

}  // namespace zelto::detail
