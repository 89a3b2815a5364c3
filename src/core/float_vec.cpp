#include "core/float_vec.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/block_cache.hpp"
#include "core/mapped_block.hpp"
#include "core/fatal.hpp"

namespace zelto {
namespace {

constexpr std::size_t kAlignment = 64;

// A block of storage and its size in bytes.
struct Block {
  float* data;
  std::size_t bytes;
};

// Room for n floats, 64-byte aligned. Large blocks are the cached block when its size fits
// (which saves the page faults altogether) or a new mapping; small ones come from the C
// allocator.
Block allocate(std::size_t n) {
  if (n > kMaxFloatVecLen) raise_fatal("capacity overflow");
  const std::size_t bytes = (n * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
  if (bytes >= detail::kMappedBlockMin) {
    std::size_t cached_bytes = 0;
    if (void* cached = detail::take_cached_block(bytes, &cached_bytes)) {
      return {static_cast<float*>(cached), cached_bytes};
    }
    return {static_cast<float*>(detail::map_block(bytes)), bytes};
  }
  // malloc's own size classes and per-thread caches, aligned by hand: aligned_alloc splits a
  // chunk for every call, and its fragments cost a small accumulator more than its work.
  // The byte before the data holds the distance back to the chunk's start (16 to 64).
  auto* raw = static_cast<unsigned char*>(std::malloc(bytes + kAlignment));
  if (raw == nullptr) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  auto* data = raw + ((start + kAlignment) & ~std::uintptr_t{kAlignment - 1}) - start;
  data[-1] = static_cast<unsigned char>(data - raw);
  return {reinterpret_cast<float*>(data), bytes};
}

// Returns a block: large ones to the reuse cache or the system, small ones to the allocator.
void release(float* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes < detail::kMappedBlockMin) {
    auto* start = reinterpret_cast<unsigned char*>(data);
    std::free(start - start[-1]);
  } else if (!detail::cache_block(data, bytes)) {
    detail::unmap_block(data, bytes);
  }
}

}  // namespace

FloatVec::FloatVec(FloatVec&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      block_bytes_(std::exchange(other.block_bytes_, 0)) {}

FloatVec& FloatVec::operator=(FloatVec&& other) noexcept {
  if (this != &other) {
    release(data_, block_bytes_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    block_bytes_ = std::exchange(other.block_bytes_, 0);
  }
  return *this;
}

FloatVec::~FloatVec() { release(data_, block_bytes_); }

FloatVec FloatVec::zeros(std::size_t n) {
  FloatVec v = uninitialized(n);
  if (n != 0) std::memset(v.data_, 0, n * sizeof(float));
  return v;
}

FloatVec FloatVec::uninitialized(std::size_t n) {
  FloatVec v;
  if (n != 0) {
    const Block block = allocate(n);
    v.data_ = block.data;
    v.block_bytes_ = block.bytes;
    v.capacity_ = n;
  }
  v.size_ = n;
  return v;
}

FloatVec FloatVec::clone() const {
  FloatVec v = uninitialized(size_);
  if (size_ != 0) std::memcpy(v.data_, data_, size_ * sizeof(float));
  return v;
}

void FloatVec::reserve(std::size_t n) {
  if (n > capacity_) grow_to(n);
}

void FloatVec::push_back(float value) {
  if (size_ == capacity_) {
    // Doubling keeps appends amortised O(1); near the limit only the one needed slot is asked for.
    const std::size_t doubled = capacity_ > kMaxFloatVecLen / 2 ? size_ + 1 : capacity_ * 2;
    grow_to(doubled < 8 ? 8 : doubled);
  }
  data_[size_++] = value;
}

void FloatVec::grow_to(std::size_t n) {
  const Block block = allocate(n);
  if (size_ != 0) std::memcpy(block.data, data_, size_ * sizeof(float));
  release(data_, block_bytes_);
  data_ = block.data;
  block_bytes_ = block.bytes;
  capacity_ = n;
}

}  // namespace zelto
