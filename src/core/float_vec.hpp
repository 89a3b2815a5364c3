// The owned, contiguous vector of 32-bit floats that every matrix, weight set and list argument uses.
#pragma once

#include <cstddef>

namespace zelto {

// Largest element count a float vector may hold: 2^61 - 1 (byte size at most 2^63 - 1).
inline constexpr std::size_t kMaxFloatVecLen = (std::size_t{1} << 61) - 1;

// Move-only owner of a 64-byte aligned float array. A request of 2^61 or more elements is the
// fatal error "capacity overflow"; an allocation the system refuses throws std::bad_alloc.
// Blocks of 1 MiB and more are mapped from the system and unmapped when released (or kept as
// the one cached block), so that freeing a big vector gives its memory back.
class FloatVec {
 public:
  FloatVec() noexcept = default;
  FloatVec(FloatVec&& other) noexcept;
  FloatVec& operator=(FloatVec&& other) noexcept;
  FloatVec(const FloatVec&) = delete;
  FloatVec& operator=(const FloatVec&) = delete;
  ~FloatVec();

  // n elements, all +0.0.
  static FloatVec zeros(std::size_t n);
  // n elements whose values the caller writes before reading them.
  static FloatVec uninitialized(std::size_t n);
  // An element-for-element copy.
  FloatVec clone() const;

  // Makes room for at least n elements in total.
  void reserve(std::size_t n);
  // Appends one element, growing the storage by doubling.
  void push_back(float value);

  float* data() noexcept { return data_; }
  const float* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  float& operator[](std::size_t i) noexcept { return data_[i]; }
  float operator[](std::size_t i) const noexcept { return data_[i]; }
  float* begin() noexcept { return data_; }
  float* end() noexcept { return data_ + size_; }
  const float* begin() const noexcept { return data_; }
  const float* end() const noexcept { return data_ + size_; }

 private:
  // Moves the elements into new storage of exactly n elements.
  void grow_to(std::size_t n);

  float* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  // Bytes of the block data_ points into: a reused cached block can be larger than capacity_
  // needs, and it is released (and cached again) as the block it is.
  std::size_t block_bytes_ = 0;
};

}  // namespace zelto
