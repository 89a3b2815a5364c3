#include "core/block_cache.hpp"

#include <atomic>

namespace zelto::detail {
namespace {

// One slot, exchanged atomically: no lock, so a fork() in the middle of a release cannot
// leave the child a lock that nobody holds. The block's own first word records its size.
std::atomic<void*> g_slot{nullptr};

std::size_t size_word(void* block) noexcept { return *static_cast<std::size_t*>(block); }

// Unmaps a block taken out of the slot, if any.
void discard(void* block) noexcept {
  if (block != nullptr) unmap_block(block, size_word(block));
}

// Unmaps whatever is still cached when the library unloads or the process exits.
struct SlotDrain {
  ~SlotDrain() { discard(g_slot.exchange(nullptr, std::memory_order_acquire)); }
};
const SlotDrain g_drain;

}  // namespace

void* take_cached_block(std::size_t bytes, std::size_t* cached_bytes) noexcept {
  // Acquire pairs with the release in cache_block: the size word is visible with the block.
  void* block = g_slot.exchange(nullptr, std::memory_order_acquire);
  if (block == nullptr) return nullptr;
  const std::size_t cached = size_word(block);
  if (cached >= bytes && cached / 2 <= bytes) {
    *cached_bytes = cached;
    return block;
  }
  discard(block);
  return nullptr;
}

bool cache_block(void* block, std::size_t bytes) noexcept {
  if (bytes < kCachedBlockMin || bytes > kCachedBlockMax) return false;
  // The pages stay resident: handing them to the system (MADV_FREE) for the wait and dirtying
  // them again costs more than the reuse saves (bench/pool.md).
  *static_cast<std::size_t*>(block) = bytes;
  discard(g_slot.exchange(block, std::memory_order_acq_rel));
  return true;
}

}  // namespace zelto::detail
