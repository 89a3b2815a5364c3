// Reuse of the most recently released large block, so that a loop of big operations does not
// pay the operating system's page faults and zero-filling for every result. At most one block
// (of at most kCachedBlockMax bytes) is kept.
#pragma once

#include <cstddef>

#include "core/mapped_block.hpp"

namespace zelto::detail {

// Mapped blocks from this size up are cached...
inline constexpr std::size_t kCachedBlockMin = kMappedBlockMin;
// ...up to this size: the most memory the process keeps for reuse.
inline constexpr std::size_t kCachedBlockMax = std::size_t{64} << 20;

// A cached block of between bytes and twice bytes, and its size in *cached_bytes; or null. A
// cached block of any other size is unmapped, so the process never holds it while it maps
// another.
void* take_cached_block(std::size_t bytes, std::size_t* cached_bytes) noexcept;

// Keeps block (from map_block, bytes long) for reuse; an earlier cached block is unmapped.
// Returns false, keeping nothing, if bytes is outside the cached range.
bool cache_block(void* block, std::size_t bytes) noexcept;

}  // namespace zelto::detail
