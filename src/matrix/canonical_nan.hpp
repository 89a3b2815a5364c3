// The canonical NaN (core/canonical_nan.hpp) in the matrix kernels' registers: each output
// element is made canonical once, as it is stored for the last time.
#pragma once

#include "core/canonical_nan.hpp"
#include "core/simd.hpp"

namespace zelto::ZELTO_ISA {

inline constexpr float kCanonicalNaN = __builtin_bit_cast(float, kCanonicalNanBits);

// x, or the canonical NaN where x is a NaN: a compare and a blend in a vector register, as the
// compiler would otherwise move the value through an integer register for a conditional move.
inline float canonical(float x) noexcept {
  typedef float Vec4 __attribute__((vector_size(16)));
  const Vec4 v = {x};
  return (v == v ? v : Vec4{kCanonicalNaN})[0];
}

// The same for every lane: one compare and one blend.
inline VecF canonical(VecF x) noexcept { return x == x ? x : splat(kCanonicalNaN); }

}  // namespace zelto::ZELTO_ISA
