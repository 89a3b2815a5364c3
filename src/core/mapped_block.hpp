// Large blocks straight from the operating system: mapped on allocation and unmapped on
// release, so that freeing a big result gives its pages back at once instead of leaving them
// in the allocator's heap.
#pragma once

#include <cstddef>

namespace zelto::detail {

// Blocks from this size up are mapped directly; smaller ones come from the C allocator.
inline constexpr std::size_t kMappedBlockMin = std::size_t{1} << 20;

// bytes rounded up to whole pages: what a mapped block of bytes occupies.
std::size_t mapped_size(std::size_t bytes) noexcept;

// A new mapping of mapped_size(bytes), zero-filled by the system, starting on a 2 MiB boundary
// so that its whole 2 MiB stretches can be transparent huge pages (which halves the cost of
// faulting a big result in). Throws std::bad_alloc when the system refuses.
void* map_block(std::size_t bytes);

// Unmaps a block from map_block of the same bytes.
void unmap_block(void* block, std::size_t bytes) noexcept;

}  // namespace zelto::detail
