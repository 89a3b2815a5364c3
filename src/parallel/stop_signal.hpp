// How an operation that its caller stops ends its remaining work early.
#pragma once

#include <atomic>

namespace zelto {

// Thrown by a piece or a leaf that sees its operation's stop; the operation's caller rethrows
// what stopped it instead.
struct OperationStopped {};

// Set once when the thread waiting for an operation is told to stop it: pieces not yet started
// are skipped, and leaves that run long look at it between runs of their units.
class StopSignal {
 public:
  // Relaxed both ways: work that misses a stop just runs on, and the waiter waits for all of it
  // either way.
  bool requested() const noexcept { return requested_.load(std::memory_order_relaxed); }
  void request() noexcept { requested_.store(true, std::memory_order_relaxed); }

  // Throws OperationStopped once the stop is requested.
  void check() const {
    if (requested()) throw OperationStopped{};
  }

 private:
  std::atomic<bool> requested_{false};
};

}  // namespace zelto
