// The one NaN the matrix operations store. Which operand's payload an IEEE addition or
// multiplication passes on is not fixed by C++ (compilers commute such operations), and
// processors differ in the NaN they create (x86-64 0xffc00000, ARM 0x7fc00000): every NaN that
// add, mul and matmul compute is stored as the quiet NaN 0x7fc00000, so that the bits are the
// same on every variant, path and processor. Each output element is made canonical once, as it
// is stored for the last time.
#pragma once

#include "core/simd.hpp"

namespace zelto::ZELTO_ISA {

inline constexpr float kCanonicalNaN = __builtin_bit_cast(float, 0x7fc00000u);

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
