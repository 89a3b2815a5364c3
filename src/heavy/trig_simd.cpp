// sinf, cosf and tanf over whole registers, giving for every input the bits of the C library
// build this process calls (glibc 2.36 on x86-64: __sinf_fma, __cosf_fma and the generic
// tanf), and the heavy leaf built on them.
//
// Every lane repeats that build's arithmetic operation for operation: the same constants, the
// same reductions, the same polynomials in the same order, one rounding per operation, and a
// fused multiply-add (an intrinsic, since the project compiles with -ffp-contract=off) exactly
// where the library's binary fuses. Branches of the scalar code become masks; a branch no lane
// takes is skipped.
//
//   sinf/cosf  (double precision inside)
//     |y| < 2^-12         sinf: y; cosf: 1
//     |y| < 120           n = round(y * 2/pi), x = y - n*pi/2 (fused), quadrant n
//     |y| < infinity      exact 2/pi product from a 192-bit table with 64-bit integers
//                         (AVX-512 only; the AVX2 variant hands such lanes to the library)
//     else                NaN as (y - y) / (y - y)
//     then a degree-7 sine or degree-8 cosine polynomial by the quadrant's parity, sign by the
//     quadrant; the second table's cosine coefficients are the first's negated, which in
//     round-to-nearest is the same as negating the cosine result.
//   tanf  (single precision kernel, double reduction without fusion)
//     |x| <= pi/4 as is; else the reduction above, split in a high and a low float; then the
//     classic kernel: odd polynomial in x^2 split in two halves, the pi/4 - x reflection for
//     |x| >= 0.6744, and -1/(x + r) computed in two parts for odd quadrants.
//
// Origins. The sinf/cosf algorithm, its reduction and its tables come from Arm's
// optimized-routines library (through glibc, which carries them):
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
// The tanf kernel and its coefficients come from Sun's fdlibm:
//     Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//     Developed at SunPro, a Sun Microsystems, Inc. business.
//     Permission to use, copy, modify, and distribute this
//     software is freely granted, provided that this notice
//     is preserved.
#include <math.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

#include "core/simd.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define ZELTO_TRIG_VECTOR 1
#endif

namespace zelto::ZELTO_ISA {

#if defined(ZELTO_TRIG_VECTOR)
namespace {

// The full register holds kLanes floats; the double-precision steps of sinf and cosf run on
// each half of it, kHalf doubles filling one register.
constexpr std::size_t kHalf = kLanes / 2;
typedef std::int32_t VecI __attribute__((vector_size(ZELTO_VEC_BYTES)));
typedef std::uint32_t VecU __attribute__((vector_size(ZELTO_VEC_BYTES)));
typedef float HalfF __attribute__((vector_size(ZELTO_VEC_BYTES / 2)));
typedef std::int32_t HalfI __attribute__((vector_size(ZELTO_VEC_BYTES / 2)));
typedef std::uint32_t HalfU __attribute__((vector_size(ZELTO_VEC_BYTES / 2)));
typedef double VecD __attribute__((vector_size(ZELTO_VEC_BYTES)));
typedef std::int64_t VecL __attribute__((vector_size(ZELTO_VEC_BYTES)));

#define ZELTO_INLINE [[gnu::always_inline]] inline

// The sine/cosine table of the library's x86 build (its second table negates c0..c4).
constexpr double kHpiInv = 0x1.45F306DC9C883p+23;  // 2/pi * 2^24
constexpr double kHpi = 0x1.921FB54442D18p0;       // pi/2
constexpr double kPi63 = 0x1.921FB54442D18p-62;    // 2pi / 2^64
constexpr double kC0 = 0x1p0;
constexpr double kC1 = -0x1.ffffffd0c621cp-2;
constexpr double kC2 = 0x1.55553e1068f19p-5;
constexpr double kC3 = -0x1.6c087e89a359dp-10;
constexpr double kC4 = 0x1.99343027bf8c3p-16;
constexpr double kS1 = -0x1.555545995a603p-3;
constexpr double kS2 = 0x1.1107605230bc4p-7;
constexpr double kS3 = -0x1.994eb3774cf24p-13;

// Float bits >> 20 (sign cleared) of the thresholds the scalar code branches on.
constexpr std::int32_t kTopTiny = 0x398;   // 2^-12
constexpr std::int32_t kTopLarge = 0x42f;  // 120
constexpr std::int32_t kTopInf = 0x7f8;

// Lane mask bits (bit k for lane k) of an integer comparison result.
template <class M>
ZELTO_INLINE unsigned lane_bits(M m) noexcept {
  if constexpr (sizeof(M) == 64) {
    return _mm512_movepi32_mask(reinterpret_cast<__m512i>(m));
  } else if constexpr (sizeof(M) == 32) {
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
  } else {
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
  }
}

// a * b + c and c - a * b, each with one rounding.
ZELTO_INLINE VecD fused_mul_add(VecD a, VecD b, VecD c) noexcept {
#if ZELTO_VEC_BYTES == 64
  return _mm512_fmadd_pd(a, b, c);
#else
  return _mm256_fmadd_pd(a, b, c);
#endif
}

ZELTO_INLINE VecD fused_neg_mul_add(VecD a, VecD b, VecD c) noexcept {
#if ZELTO_VEC_BYTES == 64
  return _mm512_fnmadd_pd(a, b, c);
#else
  return _mm256_fnmadd_pd(a, b, c);
#endif
}

// Conversions between a half register of floats or integers and a register of doubles or
// 64-bit integers, each one instruction (the generic vector conversions split them in two).
ZELTO_INLINE VecD widen(HalfF v) noexcept {
#if ZELTO_VEC_BYTES == 64
  return _mm512_cvtps_pd(reinterpret_cast<__m256>(v));
#else
  return _mm256_cvtps_pd(reinterpret_cast<__m128>(v));
#endif
}

ZELTO_INLINE VecD widen(HalfI v) noexcept {
#if ZELTO_VEC_BYTES == 64
  return _mm512_cvtepi32_pd(reinterpret_cast<__m256i>(v));
#else
  return _mm256_cvtepi32_pd(reinterpret_cast<__m128i>(v));
#endif
}

// 32-bit integers on 64-bit lanes by sign extension, so a lane mask stays a lane mask.
ZELTO_INLINE VecL widen_int(HalfI m) noexcept {
#if ZELTO_VEC_BYTES == 64
  return reinterpret_cast<VecL>(_mm512_cvtepi32_epi64(reinterpret_cast<__m256i>(m)));
#else
  return reinterpret_cast<VecL>(_mm256_cvtepi32_epi64(reinterpret_cast<__m128i>(m)));
#endif
}

// Round to nearest float, and truncate toward zero (INT_MIN when out of range).
ZELTO_INLINE HalfF narrow(VecD v) noexcept {
#if ZELTO_VEC_BYTES == 64
  return reinterpret_cast<HalfF>(_mm512_cvtpd_ps(v));
#else
  return reinterpret_cast<HalfF>(_mm256_cvtpd_ps(v));
#endif
}

ZELTO_INLINE HalfI truncate(VecD v) noexcept {
#if ZELTO_VEC_BYTES == 64
  return reinterpret_cast<HalfI>(_mm512_cvttpd_epi32(v));
#else
  return reinterpret_cast<HalfI>(_mm256_cvttpd_epi32(v));
#endif
}

template <class V, class T>
ZELTO_INLINE V broadcast(T x) noexcept {
  V v;
  for (std::size_t k = 0; k < sizeof(V) / sizeof(T); ++k) v[k] = x;
  return v;
}

template <std::size_t... I>
ZELTO_INLINE HalfF half_of(VecF v, std::size_t first, std::index_sequence<I...>) noexcept {
  return first == 0 ? __builtin_shufflevector(v, v, I...)
                     : __builtin_shufflevector(v, v, (I + kHalf)...);
}

template <std::size_t... I>
ZELTO_INLINE VecF join(HalfF lo, HalfF hi, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(lo, hi, I...);
}

ZELTO_INLINE HalfF low_half(VecF v) noexcept {
  return half_of(v, 0, std::make_index_sequence<kHalf>{});
}
ZELTO_INLINE HalfF high_half(VecF v) noexcept {
  return half_of(v, kHalf, std::make_index_sequence<kHalf>{});
}
ZELTO_INLINE VecF join(HalfF lo, HalfF hi) noexcept {
  return join(lo, hi, std::make_index_sequence<kLanes>{});
}

// |bits| >> 20: enough of the exponent and mantissa for every threshold above.
ZELTO_INLINE HalfI abs_top(HalfF y) noexcept {
  return reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(y) >> 20) & 0x7ff;
}

#if ZELTO_VEC_BYTES == 64
// GCC 12 takes the undefined pass-through operand inside its own 512-bit shift and multiply
// intrinsics for an uninitialised read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// The large-argument reduction of finite |y| >= 120: y * 2/pi from the 192-bit table with
// 64-bit integers (the low bits that decide the remainder are exact), giving the remainder x in
// [-pi/4, pi/4] and the quadrant n in 0..3. Lanes outside that range give unused values.
ZELTO_INLINE void reduce_large(HalfI yi, VecD& x, HalfI& n) noexcept {
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
  n = reinterpret_cast<HalfI>(_mm512_cvtepi64_epi32(quadrant));
}
#endif

// sinf (kCos false) or cosf (kCos true) of kHalf floats. Lanes with |y| >= 120 or not finite
// give their values only when kRare (AVX-512); otherwise unused ones, which the caller replaces.
template <bool kCos, bool kRare>
ZELTO_INLINE HalfF sincos_half(HalfF y) noexcept {
  const VecD x = widen(y);
  // Lanes with |y| >= 120 get unused values here (truncate is defined out of range).
  HalfI n = (truncate(x * kHpiInv) + 0x800000) >> 24;
  VecD xr = fused_neg_mul_add(widen(n), broadcast<VecD>(kHpi), x);
  HalfI q = n;  // the quadrant that picks the sign and the table
#if ZELTO_VEC_BYTES == 64
  if (kRare) {
    const HalfI top = abs_top(y);
    const HalfI far = (top >= kTopLarge) & (top < kTopInf);
    if (lane_bits(far) != 0) {
      const HalfI yi = reinterpret_cast<HalfI>(y);
      VecD x_far;
      HalfI n_far;
      reduce_large(yi, x_far, n_far);
      xr = widen_int(far) ? x_far : xr;
      n = far ? n_far : n;
      q = far ? n_far + reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(yi) >> 31) : q;
    }
  }
#endif
  // Lanes that evaluate the cosine polynomial, and those whose sign flips, tested on 64-bit
  // lanes so each mask is one comparison beside the doubles it selects.
  const VecL nl = widen_int(n);
  const VecL ql = widen_int(q);
  const VecL cos_poly = kCos ? (nl & 1) == 0 : (nl & 1) != 0;
  const VecD x2 = xr * xr;
  const VecD xs = xr * (((ql + 1) & 2) != 0 ? broadcast<VecD>(-1.0) : broadcast<VecD>(1.0));
  // Both polynomials have the shape fma(Q, fma(x2, K4, K3), fma(P, K2, A)) with Q = x2 * P.
  const VecD a = cos_poly ? fused_mul_add(x2, broadcast<VecD>(kC1), broadcast<VecD>(kC0)) : xs;
  const VecD p = x2 * (cos_poly ? x2 : xs);
  const VecD k2 = cos_poly ? broadcast<VecD>(kC2) : broadcast<VecD>(kS1);
  const VecD k3 = cos_poly ? broadcast<VecD>(kC3) : broadcast<VecD>(kS2);
  const VecD k4 = cos_poly ? broadcast<VecD>(kC4) : broadcast<VecD>(kS3);
  const VecD inner = fused_mul_add(x2, k4, k3);
  const VecD q7 = x2 * p;
  const VecD head = fused_mul_add(p, k2, a);
  const VecD r = fused_mul_add(q7, inner, head);
  return narrow((cos_poly & ((ql & 2) != 0)) ? -r : r);
}

// sinf or cosf of kLanes floats: both halves, then the tiny (and, when kRare, the special)
// results on the whole register.
template <bool kCos, bool kRare>
ZELTO_INLINE VecF sincos_lanes(VecF y) noexcept {
  VecF result =
      join(sincos_half<kCos, kRare>(low_half(y)), sincos_half<kCos, kRare>(high_half(y)));
  const VecI top = reinterpret_cast<VecI>(reinterpret_cast<VecU>(y) >> 20) & 0x7ff;
  result = top < kTopTiny ? (kCos ? broadcast<VecF>(1.0f) : y) : result;
  if (kRare) {
    const VecF d = y - y;
    result = top >= kTopInf ? d / d : result;
  }
  return result;
}

// The tangent's reduction of kHalf floats: the remainder as a high and a low float, and the
// quadrant. Unlike sinf, the generic build subtracts n*pi/2 with two roundings. On AVX2, lanes
// with |y| >= 120 give unused values.
template <bool kRare>
ZELTO_INLINE void tan_reduce_half(HalfF y, HalfF& hi, HalfF& lo, HalfI& n) noexcept {
  const VecD x = widen(y);
  n = (truncate(x * kHpiInv) + 0x800000) >> 24;
  VecD xr = x - widen(n) * kHpi;
#if ZELTO_VEC_BYTES == 64
  const HalfI top = abs_top(y);
  const HalfI far = (top >= kTopLarge) & (top < kTopInf);
  if (kRare && lane_bits(far) != 0) {
    const HalfI yi = reinterpret_cast<HalfI>(y);
    VecD x_far;
    HalfI n_far;
    reduce_large(yi, x_far, n_far);
    x_far = widen_int(yi < 0) ? -x_far : x_far;
    xr = widen_int(far) ? x_far : xr;
    n = far ? n_far : n;
  }
#endif
  hi = narrow(xr);
  lo = narrow(xr - widen(hi));
}

ZELTO_INLINE VecF from_bits(VecI v) noexcept { return reinterpret_cast<VecF>(v); }
ZELTO_INLINE VecI to_bits(VecF v) noexcept { return reinterpret_cast<VecI>(v); }

// tanf of kLanes floats. Lanes with |x| >= 120 or not finite give their values only when
// kRare (AVX-512); otherwise unused ones, which the caller replaces.
template <bool kRare>
ZELTO_INLINE VecF tan_lanes(VecF xin) noexcept {
  const VecI ix_in = to_bits(xin) & 0x7fffffff;
  const VecI near = ix_in <= 0x3f490fda;  // |x| <= pi/4: no reduction
  VecF x = xin;
  VecF y = {};
  VecI iy = broadcast<VecI>(1);  // +1 for tan, -1 for -1/tan
  if (lane_bits(near) != (1u << kLanes) - 1) {
    HalfF hi0, lo0, hi1, lo1;
    HalfI n0, n1;
    tan_reduce_half<kRare>(low_half(xin), hi0, lo0, n0);
    tan_reduce_half<kRare>(high_half(xin), hi1, lo1, n1);
    const VecI n = reinterpret_cast<VecI>(join(reinterpret_cast<HalfF>(n0),
                                               reinterpret_cast<HalfF>(n1)));
    x = near ? x : join(hi0, hi1);
    y = near ? y : join(lo0, lo1);
    iy = near ? iy : 1 - ((n & 1) << 1);
  }

  // The kernel on x + y, with hx the bits of x as it enters.
  const VecI hx = to_bits(x);
  const VecI ix = hx & 0x7fffffff;
  const VecI tiny = ix < 0x39000000;      // |x| < 2^-13
  const VecI reflect = ix >= 0x3f2ca140;  // |x| >= 0.6744: use pi/4 - |x|
  const VecI sign = 1 - ((hx >> 30) & 2);
  const VecF one = broadcast<VecF>(1.0f);
  VecI reflected_tiny = {};
  if (lane_bits(reflect) != 0) {
    const VecI flip = reflect & (hx < 0);
    const VecF xn = flip ? -x : x;
    const VecF yn = flip ? -y : y;
    const VecF z = std::bit_cast<float>(0x3f490fdau) - xn;  // pi/4, high part
    const VecF w = std::bit_cast<float>(0x33222168u) - yn;  // pi/4, low part
    const VecF xx = z + w;
    x = reflect ? xx : x;
    y = reflect ? VecF{} : y;
    reflected_tiny = reflect & ((to_bits(xx) & 0x7fffffff) < 0x39000000);
  }
  const VecF z = x * x;
  const VecF w = z * z;
  // r = T1 + w*(T3 + ... + w*T11), v = z*(T2 + w*(T4 + ... + w*T12)).
  VecF r = w * std::bit_cast<float>(0xb79bae5fu) + std::bit_cast<float>(0x38a3f445u);
  VecF v = w * std::bit_cast<float>(0x37d95384u) + std::bit_cast<float>(0x3895c07au);
  for (const std::uint32_t c : {0x3a1a26c8u, 0x3b6b6916u, 0x3cb327a4u, 0x3e088889u}) {
    r = w * r + std::bit_cast<float>(c);
  }
  for (const std::uint32_t c : {0x398137b9u, 0x3abede48u, 0x3c11371fu, 0x3d5d0dd1u}) {
    v = w * v + std::bit_cast<float>(c);
  }
  v = z * v;
  const VecF s = z * x;
  VecF rr = y + z * (s * (r + v) + y);
  rr = rr + std::bit_cast<float>(0x3eaaaaabu) * s;  // T0
  const VecF sum = x + rr;

  // Odd quadrants: -1/sum, with the quotient's error corrected from the split of sum.
  const VecF zt = from_bits(to_bits(sum) & static_cast<std::int32_t>(0xfffff000u));
  const VecF vt = rr - (zt - x);
  const VecF a = -1.0f / sum;
  const VecF t = from_bits(to_bits(a) & static_cast<std::int32_t>(0xfffff000u));
  const VecF st = 1.0f + t * zt;
  VecF result = iy == 1 ? sum : t + a * (st + t * vt);
  if (lane_bits(reflect) != 0) {
    const VecF fv = __builtin_convertvector(iy, VecF);
    const VecF fs = __builtin_convertvector(sign, VecF);
    result = reflect ? fs * (fv - 2.0f * (x - (sum * sum / (sum + fv) - rr))) : result;
    if (lane_bits(reflected_tiny) != 0) {
      const VecF two_iy = __builtin_convertvector(iy + iy, VecF);
      const VecF signed_iy = __builtin_convertvector(sign * iy, VecF);
      result = reflected_tiny ? signed_iy * (one - two_iy * x) : result;
    }
  }
  if (lane_bits(tiny) != 0) {
    // x as it entered: tan x = x, or -1/x (1/|x| for a zero) in odd quadrants.
    const VecF xk = from_bits(hx);
    const VecF odd = ix == 0 ? one / from_bits(ix) : -1.0f / xk;
    result = tiny ? (iy == 1 ? xk : odd) : result;
  }
  if (kRare) result = ix_in >= 0x7f800000 ? xin - xin : result;
  return result;
}

// Lanes with |x| >= 120, infinities and NaN: rare, and the only ones that need the
// large-argument reduction or the special-value results.
ZELTO_INLINE unsigned rare_lanes(VecF x) noexcept {
  const VecI top = reinterpret_cast<VecI>(reinterpret_cast<VecU>(x) >> 20) & 0x7ff;
  return lane_bits(top >= kTopLarge);
}

// Replaces the lanes named in `lanes` by the library function's value.
ZELTO_INLINE VecF from_library(VecF x, VecF out, unsigned lanes, float (*f)(float)) noexcept {
  for (; lanes != 0; lanes &= lanes - 1) {
    const int k = __builtin_ctz(lanes);
    out[k] = f(x[k]);
  }
  return out;
}

// The common path when no lane is rare; otherwise AVX-512 computes the rare lanes too and
// AVX2 takes them from the library.
template <class Common, class Rare>
ZELTO_INLINE VecF with_rare_lanes(VecF x, Common common, Rare rare, float (*f)(float)) noexcept {
  const unsigned lanes = rare_lanes(x);
  if (__builtin_expect(lanes == 0, 1)) return common(x);
#if ZELTO_VEC_BYTES == 64
  (void)f;
  return rare(x);
#else
  (void)rare;
  return from_library(x, common(x), lanes, f);
#endif
}

ZELTO_INLINE VecF sin_lanes(VecF x) noexcept {
  return with_rare_lanes(x, sincos_lanes<false, false>, sincos_lanes<false, true>, ::sinf);
}

ZELTO_INLINE VecF cos_lanes(VecF x) noexcept {
  return with_rare_lanes(x, sincos_lanes<true, false>, sincos_lanes<true, true>, ::cosf);
}

ZELTO_INLINE VecF tan_library_lanes(VecF x) noexcept {
  return with_rare_lanes(x, tan_lanes<false>, tan_lanes<true>, ::tanf);
}

// Applies lanes_fn to whole registers; the last partial one is padded with zeros.
template <class LanesFn>
ZELTO_INLINE void map_values(const float* in, float* out, std::size_t count,
                             LanesFn lanes_fn) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) store(out + i, lanes_fn(load(in + i)));
  if (i < count) {
    float buffer[kLanes] = {};
    std::copy_n(in + i, count - i, buffer);
    store(buffer, lanes_fn(load(buffer)));
    std::copy_n(buffer, count - i, out + i);
  }
}

// Registers advanced together in the chain: each repetition is a long serial dependency, so
// independent registers fill the pipelines while one waits. Measured on Zen 4, ns per element
// and repetition (AVX-512 / AVX2): one register 6.5 / 9.6, two 3.8 / 5.2, four 3.9 / 9.3 (AVX2
// runs out of its 16 registers).
constexpr std::size_t kChains = 2;

}  // namespace

void sinf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, sin_lanes);
}

void cosf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, cos_lanes);
}

void tanf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, tan_library_lanes);
}

// Blocks of kChains registers run their repetitions together; the finished terms are added
// one by one in index order, exactly as the plain loop adds them. Padding lanes of the last
// block compute unused terms.
float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,
                     float acc) noexcept {
  constexpr std::size_t kBlock = kChains * kLanes;
  const VecI sign_clear = broadcast<VecI>(0x7fffffff);
  for (std::size_t first = 0; first < count; first += kBlock) {
    const std::size_t width = std::min(kBlock, count - first);
    float terms[kBlock] = {};
    std::copy_n(in + first, width, terms);
    VecF x[kChains];
    for (std::size_t c = 0; c < kChains; ++c) x[c] = load(terms + c * kLanes);
    for (std::uint64_t r = 0; r < iterations; ++r) {
      for (std::size_t c = 0; c < kChains; ++c) x[c] = sin_lanes(x[c]);
      for (std::size_t c = 0; c < kChains; ++c) x[c] = cos_lanes(x[c]);
      for (std::size_t c = 0; c < kChains; ++c) {
        x[c] = from_bits(to_bits(tan_library_lanes(x[c])) & sign_clear);
      }
    }
    for (std::size_t c = 0; c < kChains; ++c) store(terms + c * kLanes, x[c]);
    for (std::size_t k = 0; k < width; ++k) acc = acc + terms[k];
  }
  return acc;
}

#else  // no vector variant: the library's own calls

void sinf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::sinf(in[i]);
}

void cosf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::cosf(in[i]);
}

void tanf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::tanf(in[i]);
}

float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,
                     float acc) noexcept {
  return heavy::leaf_sum_lockstep(in, count, iterations, acc);
}

#endif

}  // namespace zelto::ZELTO_ISA
