#include "core/block_cache.hpp"

#include <sys/mman.h>

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
#ifdef MADV_FREE
  // The pages stay mapped, so reusing them costs no fault, but the system may reclaim them
  // under memory pressure instead of swapping; a reclaimed page reads as zeros, and a reused
  // block is written in full before it is read. The size word is written afterwards, which
  // keeps its page.
  madvise(block, mapped_size(bytes), MADV_FREE);
#endif
  *static_cast<std::size_t*>(block) = bytes;
  discard(g_slot.exchange(block, std::memory_order_acq_rel));
  return true;
}

}  // namespace zelto::detail
