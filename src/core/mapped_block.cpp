#include "core/mapped_block.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

namespace zelto::detail {
namespace {

constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

std::size_t mapped_size(std::size_t bytes) noexcept {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

void* map_block(std::size_t bytes) {
  const std::size_t size = mapped_size(bytes);
  // Over-map by one huge page, then unmap the slack before the first 2 MiB boundary and after
  // the block: only virtual space is spent, and none of it stays.
  if (size > SIZE_MAX - kHugePageSize) throw std::bad_alloc();
  const std::size_t span = size + kHugePageSize;
  void* mapping = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + kHugePageSize - 1) & ~(std::uintptr_t{kHugePageSize} - 1);
  if (aligned != start) ::munmap(mapping, aligned - start);
  const std::size_t tail = span - (aligned - start) - size;
  if (tail != 0) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
  void* block = reinterpret_cast<void*>(aligned);
  ::madvise(block, size, MADV_HUGEPAGE);
  return block;
}

void unmap_block(void* block, std::size_t bytes) noexcept { ::munmap(block, mapped_size(bytes)); }

}  // namespace zelto::detail
