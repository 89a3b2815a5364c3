// The chain one element at a time through the C library's scalar calls: the definition every
// leaf kernel reproduces bit for bit, and the sign clearing the library-call leaves share.
#pragma once

#include <math.h>

#include <bit>
#include <cstddef>
#include <cstdint>

// Fast-math lets the C library's headers offer vectorised sinf/cosf/tanf, which round differently.
#if defined(__FAST_MATH__)
#error "the heavy kernel needs the C library's scalar functions: build without -ffast-math"
#endif

namespace zelto::heavy {

// |x| by clearing the sign bit, so a NaN also leaves with its sign clear.
inline float clear_sign(float x) noexcept {
  return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) & 0x7FFFFFFFu);
}

// One repetition for one element: the C library's scalar single-precision functions, never a
// vectorised or constant-folded substitute, since those round differently.
inline float chain_step(float x) noexcept { return clear_sign(::tanf(::cosf(::sinf(x)))); }

// acc + term(in[0]) + ... + term(in[count - 1]) in index order, one element's whole chain at a
// time: the plain loop the faster leaves are tested and measured against.
inline float leaf_sum_plain(const float* in, std::size_t count, std::uint64_t iterations,
                            float acc) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    float x = in[i];
    for (std::uint64_t r = 0; r < iterations; ++r) x = chain_step(x);
    acc = acc + x;
  }
  return acc;
}

}  // namespace zelto::heavy
