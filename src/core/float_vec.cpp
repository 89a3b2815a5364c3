#include "core/float_vec.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/block_cache.hpp"
#include "core/fatal.hpp"

namespace zelto {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Bytes of the block that holds n floats: a multiple of 64, and of the huge page size for
// large blocks, so that a block's size follows from its capacity alone.
std::size_t block_bytes(std::size_t n) noexcept {
  const std::size_t bytes = (n * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
  if (bytes < detail::kCachedBlockMin) return bytes;
  return (bytes + kHugePageSize - 1) / kHugePageSize * kHugePageSize;
}

// Allocates room for n floats, 64-byte aligned; large blocks ask for transparent huge pages,
// which halves the page-fault cost of filling a big result. madvise needs a page-aligned
// start, so large blocks are aligned to the huge page size (virtual space only). A large
// block released earlier is reused when its size fits, which saves the faults altogether.
float* allocate(std::size_t n) {
  if (n > kMaxFloatVecLen) raise_fatal("capacity overflow");
  const std::size_t bytes = block_bytes(n);
  const bool large = bytes >= detail::kCachedBlockMin;
  if (large) {
    if (void* cached = detail::take_cached_block(bytes)) return static_cast<float*>(cached);
  }
  void* block = std::aligned_alloc(large ? kHugePageSize : kAlignment, bytes);
  if (block == nullptr) throw std::bad_alloc();
  if (large) madvise(block, bytes, MADV_HUGEPAGE);
  return static_cast<float*>(block);
}

// Returns the storage of capacity floats: large blocks go to the reuse cache.
void release(float* data, std::size_t capacity) noexcept {
  if (data == nullptr) return;
  if (!detail::cache_block(data, block_bytes(capacity))) std::free(data);
}

}  // namespace

FloatVec::FloatVec(FloatVec&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FloatVec& FloatVec::operator=(FloatVec&& other) noexcept {
  if (this != &other) {
    release(data_, capacity_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

FloatVec::~FloatVec() { release(data_, capacity_); }

FloatVec FloatVec::zeros(std::size_t n) {
  FloatVec v = uninitialized(n);
  if (n != 0) std::memset(v.data_, 0, n * sizeof(float));
  return v;
}

FloatVec FloatVec::uninitialized(std::size_t n) {
  FloatVec v;
  if (n != 0) {
    v.data_ = allocate(n);
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
  float* block = allocate(n);
  if (size_ != 0) std::memcpy(block, data_, size_ * sizeof(float));
  release(data_, capacity_);
  data_ = block;
  capacity_ = n;
}

}  // namespace zelto
