#include "core/float_vec.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "core/fatal.hpp"

namespace zelto {
namespace {

constexpr std::size_t kAlignment = 64;
constexpr std::size_t kHugePageThreshold = std::size_t{4} << 20;
constexpr std::size_t kHugePageSize = std::size_t{2} << 20;

// Allocates room for n floats, 64-byte aligned; large blocks ask for transparent huge pages,
// which halves the page-fault cost of filling a big result. madvise needs a page-aligned
// start, so large blocks are aligned to the huge page size (virtual space only).
float* allocate(std::size_t n) {
  if (n > kMaxFloatVecLen) raise_fatal("capacity overflow");
  const std::size_t bytes = (n * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
  const std::size_t alignment = bytes >= kHugePageThreshold ? kHugePageSize : kAlignment;
  void* block = std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
  if (block == nullptr) throw std::bad_alloc();
  if (bytes >= kHugePageThreshold) madvise(block, bytes, MADV_HUGEPAGE);
  return static_cast<float*>(block);
}

}  // namespace

FloatVec::FloatVec(FloatVec&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

FloatVec& FloatVec::operator=(FloatVec&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

FloatVec::~FloatVec() { std::free(data_); }

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
  std::free(data_);
  data_ = block;
  capacity_ = n;
}

}  // namespace zelto
