// One repetition of the per-element chain, shared by the lockstep and the plain kernels.
#pragma once

#include <math.h>

#include <bit>
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

}  // namespace zelto::heavy
