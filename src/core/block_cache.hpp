// Reuse of the most recently released large block, so that a loop of big operations does not
// pay the operating system's page faults and zero-filling for every result.
#pragma once

#include <cstddef>

namespace zelto::detail {

// Blocks from this size up are cached (they are also the ones given huge pages)...
inline constexpr std::size_t kCachedBlockMin = std::size_t{4} << 20;
// ...up to this size: the most memory the process keeps for reuse.
inline constexpr std::size_t kCachedBlockMax = std::size_t{64} << 20;

// A cached block of between bytes and twice bytes, or null. A cached block of any other size
// is freed, so the process never holds it while it allocates another.
void* take_cached_block(std::size_t bytes) noexcept;

// Keeps block (bytes long, 2 MiB aligned, from std::aligned_alloc) for reuse; an earlier cached
// block is freed. Returns false, keeping nothing, if bytes is outside the cached range.
bool cache_block(void* block, std::size_t bytes) noexcept;

}  // namespace zelto::detail
