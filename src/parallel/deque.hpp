// A worker's queue of offered jobs: a Chase-Lev deque with a fixed ring of slots. The owner
// pushes and pops at the bottom (newest); other workers steal at the top (oldest).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "parallel/job.hpp"

namespace zelto::detail {

class JobDeque {
 public:
  // Fork-join keeps at most one entry per open join of this worker, and a range of fewer than
  // 2^64 units nests at most 64 joins, so 256 slots cover four nested operations of any size.
  // A full deque refuses the push and the owner runs that piece itself, which is a valid (not
  // taken over) division.
  static constexpr std::int64_t kCapacity = 256;

  // Owner only. Offers job to thieves; false when the ring is full.
  bool push(JobBase* job) noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);
    // Acquire pairs with a thief's CAS on top_: once we see the slot freed, its read is done.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    if (b - t >= kCapacity) return false;
    slots_[index(b)].store(job, std::memory_order_relaxed);
    // Seq_cst rather than release: besides publishing the slot to thieves (who read bottom_
    // with seq_cst), the store must precede the pool's read of its worker counts in the single
    // total order, so a worker that left them and then re-checks the deques sees the job.
    bottom_.store(b + 1, std::memory_order_seq_cst);
    return true;
  }

  // Owner only. The newest job, or null when empty or when a thief took the last one.
  JobBase* pop() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
    // 1. Reserve slot b by lowering bottom_. Seq_cst orders this store before the load of top_
    //    below (a store-load pair that release/acquire would let the processor reorder), so a
    //    thief and the owner cannot both miss each other's claim on the last job.
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    if (t > b) {
      // 2. Empty: restore bottom_. Relaxed: no thief acts on bottom_ without checking top_.
      bottom_.store(b + 1, std::memory_order_relaxed);
      return nullptr;
    }
    JobBase* job = slots_[index(b)].load(std::memory_order_relaxed);
    if (t == b) {
      // 3. The last job: thieves may race for it, and whoever moves top_ first owns it.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        job = nullptr;
      }
      bottom_.store(b + 1, std::memory_order_relaxed);
    }
    return job;
  }

  // Any thread. The oldest job, or null when empty or when another thread won the race.
  JobBase* steal() noexcept {
    // 1. Read top_ before bottom_, both seq_cst: pairs with pop's store-then-load so that a
    //    thief never takes a slot the owner has already reserved.
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return nullptr;
    // 2. The slot was published by push's store of bottom_ that we just read. The read may see
    //    a newer job if the owner wrapped around meanwhile; then the CAS below fails.
    JobBase* job = slots_[index(t)].load(std::memory_order_relaxed);
    // 3. Claim it by moving top_; seq_cst keeps the claim in the order pop's check relies on.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
      return nullptr;
    }
    return job;
  }

  // Any thread. Whether a steal might find something (seq_cst: used in the sleep handshake).
  bool has_jobs() const noexcept {
    const std::int64_t t = top_.load(std::memory_order_seq_cst);
    return t < bottom_.load(std::memory_order_seq_cst);
  }

 private:
  static std::size_t index(std::int64_t position) noexcept {
    return static_cast<std::size_t>(position) & static_cast<std::size_t>(kCapacity - 1);
  }

  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  alignas(64) std::array<std::atomic<JobBase*>, kCapacity> slots_{};
};

}  // namespace zelto::detail
