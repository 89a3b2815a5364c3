// The argument reduction the C library's sinf, cosf and tanf share: y = n * pi/2 + x with
// |x| <= pi/4 and the quadrant n, from y * 2/pi rounded in double for |y| < 120, and from an
// exact product with 2/pi's bits for larger finite y.
//
// Origins. The algorithm and its constants come from Arm's optimized-routines library (through
// glibc, which carries them); the sine and cosine polynomials in sincosf_lanes.hpp too:
//     Copyright (c) 1999-2018, Arm Limited. MIT License: Permission is hereby granted, free of
//     charge, to any person obtaining a copy of this software and associated documentation
//     files (the "Software"), to deal in the Software without restriction, including without
//     limitation the rights to use, copy, modify, merge, publish, distribute, sublicense,
//     and/or sell copies of the Software, and to permit persons to whom the Software is
//     furnished to do so, subject to the following conditions: The above copyright notice and
//     this permission notice shall be included in all copies or substantial portions of the
//     Software. THE SOFTWARE IS PROVIDED "AS IS", WITHOUT WARRANTY OF ANY KIND, EXPRESS OR
//     IMPLIED, INCLUDING BUT NOT LIMITED TO THE WARRANTIES OF MERCHANTABILITY, FITNESS FOR A
//     PARTICULAR PURPOSE AND NONINFRINGEMENT. IN NO EVENT SHALL THE AUTHORS OR COPYRIGHT
//     HOLDERS BE LIABLE FOR ANY CLAIM, DAMAGES OR OTHER LIABILITY, WHETHER IN AN ACTION OF
//     CONTRACT, TORT OR OTHERWISE, ARISING FROM, OUT OF OR IN CONNECTION WITH THE SOFTWARE OR
//     THE USE OR OTHER DEALINGS IN THE SOFTWARE.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heavy/register_width.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// Only 512-bit registers reduce large arguments themselves (the exact product needs AVX-512's
// 64-bit integer multiplies and permutes); other widths hand such lanes to the library.
template <std::size_t B>
constexpr bool kRareInRegister = B == 64;

constexpr double kHpiInv = 0x1.45F306DC9C883p+23;  // 2/pi * 2^24
constexpr double kHpi = 0x1.921FB54442D18p0;       // pi/2

// Float bits >> 20 (sign cleared) of the thresholds the scalar code branches on.
constexpr std::int32_t kTopTiny = 0x398;   // 2^-12
constexpr std::int32_t kTopLarge = 0x42f;  // 120
constexpr std::int32_t kTopInf = 0x7f8;

// |bits| >> 20: enough of the exponent and mantissa for every threshold above.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::HalfI abs_top(typename Width<B>::HalfF y) noexcept {
  using HalfI = typename Width<B>::HalfI;
  using HalfU = typename Width<B>::HalfU;
  return reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(y) >> 20) & 0x7ff;
}

// The nearest quadrant of |x| < 120: x * 2/pi rounded to an integer through a 24-bit fraction,
// as the library does. Lanes with |x| >= 120 get unused values (the truncation is defined out
// of range).
template <class D>
ZELTO_INLINE auto nearest_quadrant(D x) noexcept {
  return (truncate_to_int(x * kHpiInv) + 0x800000) >> 24;
}

#if ZELTO_VEC_BYTES == 64
// GCC 12 takes the undefined pass-through operand inside its own 512-bit shift and multiply
// intrinsics for an uninitialised read.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

constexpr double kPi63 = 0x1.921FB54442D18p-62;  // 2pi / 2^64

// The large-argument reduction of finite |y| >= 120: y * 2/pi from the 192-bit table with
// 64-bit integers (the low bits that decide the remainder are exact), giving the remainder x in
// [-pi/4, pi/4] of |y| and the quadrant n in 0..3. Lanes outside that range give unused values.
ZELTO_INLINE void reduce_large(W512::HalfI yi, W512::D& x, W512::HalfI& n) noexcept {
  // Bits of 4/pi; entry i holds the 32 bits starting at bit 8 * (i - 3).
  static constexpr std::uint32_t kInvPio4[24] = {
      0xa2,       0xa2f9,     0xa2f983,   0xa2f9836e, 0xf9836e4e, 0x836e4e44,
      0x6e4e4415, 0x4e441529, 0x441529fc, 0x1529fc27, 0x29fc2757, 0xfc2757d1,
      0x2757d1f5, 0x57d1f534, 0xd1f534dd, 0xf534ddc0, 0x34ddc0db, 0xddc0db62,
      0xc0db6295, 0xdb629599, 0x6295993c, 0x95993c43, 0x993c4390, 0x3c439041};
  const auto table = [](int first) {
    return _mm512_setr_epi64(kInvPio4[first], kInvPio4[first + 1], kInvPio4[first + 2],
                             kInvPio4[first + 3], kInvPio4[first + 4], kInvPio4[first + 5],
                             kInvPio4[first + 6], kInvPio4[first + 7]);
  };
  const __m512i bits = _mm512_cvtepu32_epi64(reinterpret_cast<__m256i>(yi));
  const __m512i index = _mm512_and_si512(_mm512_srli_epi64(bits, 26), _mm512_set1_epi64(15));
  const __m512i shift = _mm512_and_si512(_mm512_srli_epi64(bits, 23), _mm512_set1_epi64(7));
  __m512i mantissa = _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi64(0xffffff)),
                                     _mm512_set1_epi64(0x800000));
  mantissa = _mm512_sllv_epi64(mantissa, shift);  // < 2^31
  const __m512i a0 = _mm512_permutex2var_epi64(table(0), index, table(8));
  const __m512i a1 = _mm512_permutex2var_epi64(table(4), index, table(12));
  const __m512i a2 = _mm512_permutex2var_epi64(table(8), index, table(16));
  const __m512i p0 = _mm512_mul_epu32(mantissa, a0);  // only its low 32 bits count
  const __m512i p1 = _mm512_mul_epu32(mantissa, a1);
  const __m512i p2 = _mm512_mul_epu32(mantissa, a2);
  __m512i r = _mm512_or_si512(_mm512_srli_epi64(p2, 32), _mm512_slli_epi64(p0, 32));
  r = _mm512_add_epi64(r, p1);
  const __m512i quadrant =
      _mm512_srli_epi64(_mm512_add_epi64(r, _mm512_set1_epi64(std::int64_t{1} << 61)), 62);
  r = _mm512_sub_epi64(r, _mm512_slli_epi64(quadrant, 62));
  x = _mm512_mul_pd(_mm512_cvtepi64_pd(r), _mm512_set1_pd(kPi63));
  n = reinterpret_cast<W512::HalfI>(_mm512_cvtepi64_epi32(quadrant));
}

// The lanes of a half register that need the large-argument reduction (finite |y| >= 120), as
// all-ones lanes in `far`, and that reduction's remainder of |y| and quadrant.
struct FarLanes {
  W512::HalfI far;
  W512::D x;
  W512::HalfI n;
};

// False when no lane of y is far, which is the common case; otherwise fills out.
ZELTO_INLINE bool reduce_far_lanes(W512::HalfF y, FarLanes& out) noexcept {
  const W512::HalfI top = abs_top<64>(y);
  out.far = (top >= kTopLarge) & (top < kTopInf);
  if (lane_bits(out.far) == 0) return false;
  reduce_large(reinterpret_cast<W512::HalfI>(y), out.x, out.n);
  return true;
}
#endif

}  // namespace
}  // namespace zelto::ZELTO_ISA
