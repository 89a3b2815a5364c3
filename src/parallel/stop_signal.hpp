// How an operation that its caller stops ends its remaining work early.
#pragma once

#include <atomic>

#include "core/interrupt.hpp"

namespace zelto {

// Thrown by a piece or a leaf that sees its operation's stop; the operation's caller rethrows
// what stopped it instead.
struct OperationStopped {};

// Set once when the thread waiting for an operation is told to stop it: pieces not yet started
// are skipped, and leaves that run long look at it between runs of their units. When the
// operation runs on the thread that started it, nobody waits to ask the interrupt check, so the
// leaves' looks ask it instead.
class StopSignal {
 public:
  // Relaxed both ways: work that misses a stop just runs on, and the waiter waits for all of it
  // either way.
  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }
  void request() noexcept { requested_.store(true, std::memory_order_relaxed); }

  // Makes every check() ask interrupt: for an operation whose leaves all run on the thread that
  // started it, set before the first of them runs.
  void ask_at_checks(InterruptCheck interrupt) noexcept { interrupt_ = interrupt; }

  // Throws OperationStopped once the stop is requested; asks the interrupt check, if set by
  // ask_at_checks, whose exception then stops the operation.
  void check() const {
    if (requested()) throw OperationStopped{};
    if (interrupt_ != nullptr) interrupt_();
  }

 private:
  std::atomic<bool> requested_{false};
  InterruptCheck interrupt_ = nullptr;
};

}  // namespace zelto
