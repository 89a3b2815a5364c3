// A one-shot completion signal for a job, set by the thread that ran it.
#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

#include "parallel/futex.hpp"
#include "parallel/sleep_slot.hpp"

namespace zelto::detail {

// Waited for either by a worker (which keeps running other jobs and sleeps in its own
// SleepSlot) or by a thread outside the pool (which blocks on the latch's own word).
// The latch usually lives in the waiter's stack frame and ends as soon as the waiter sees it
// set, so set() reads everything it needs first and touches no latch memory afterwards.
class Latch {
 public:
  // waiter: the sleep slot of the worker that waits, or null for a thread outside the pool.
  explicit Latch(SleepSlot* waiter) noexcept : waiter_(waiter) {}
  Latch(const Latch&) = delete;
  Latch& operator=(const Latch&) = delete;

  // Acquire: everything the job wrote is visible once this returns true. Seq_cst so that a
  // worker's re-check after announcing sleep cannot miss a set that missed its announcement.
  bool is_set() const noexcept { return state_.load(std::memory_order_seq_cst) == kSet; }

  // The job is done; wakes the waiter if it sleeps.
  void set() noexcept {
    SleepSlot* const waiter = waiter_;
    if (waiter != nullptr) {
      state_.store(kSet, std::memory_order_seq_cst);
      waiter->wake(WakeKind::uncounted);
    } else if (state_.exchange(kSet, std::memory_order_acq_rel) == kBlocked) {
      futex_wake(&state_, INT_MAX);
    }
  }

  // Outside thread only: blocks (no spinning) until set.
  void block_until_set() noexcept {
    while (!block_until_set_for(std::chrono::nanoseconds::zero())) {
    }
  }

  // Outside thread only: blocks until set or about timeout has passed (zero: no limit); true
  // when set. Acquire, as is_set.
  bool block_until_set_for(std::chrono::nanoseconds timeout) noexcept {
    std::uint32_t state = state_.load(std::memory_order_acquire);
    if (state == kSet) return true;
    if (state == kUnset &&
        !state_.compare_exchange_strong(state, kBlocked, std::memory_order_acquire)) {
      return state == kSet;
    }
    if (timeout == std::chrono::nanoseconds::zero()) {
      futex_wait(state_, kBlocked);
    } else {
      futex_wait_for(state_, kBlocked, timeout);
    }
    return state_.load(std::memory_order_acquire) == kSet;
  }

 private:
  static constexpr std::uint32_t kUnset = 0;
  static constexpr std::uint32_t kBlocked = 1;
  static constexpr std::uint32_t kSet = 2;

  std::atomic<std::uint32_t> state_{kUnset};
  SleepSlot* const waiter_;
};

}  // namespace zelto::detail
