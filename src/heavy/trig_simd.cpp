// sinf, cosf and tanf over whole registers, giving for every input the bits of the C library
// build this process calls (glibc 2.36 on x86-64: __sinf_fma, __cosf_fma and the generic
// tanf), and the heavy leaf built on them.
//
// Every lane repeats that build's arithmetic operation for operation: the same constants, the
// same reductions, the same polynomials in the same order, one rounding per operation, and a
// fused multiply-add (an intrinsic, since the project compiles with -ffp-contract=off) exactly
// where the library's binary fuses. Branches of the scalar code become masks; a branch no lane
// takes is skipped. The same code runs at each instruction set's register width, and the
// AVX-512 variant also at 256 bits, for the few elements at the end of a leaf.
//
//   sinf/cosf  (double precision inside)
//     |y| < 2^-12         sinf: y; cosf: 1
//     |y| < 120           n = round(y * 2/pi), x = y - n*pi/2 (fused), quadrant n
//     |y| < infinity      exact 2/pi product from a 192-bit table with 64-bit integers
//                         (512-bit registers only; 256-bit ones hand such lanes to the library)
//     else                NaN as (y - y) / (y - y)
//     then a degree-7 sine or degree-8 cosine polynomial by the quadrant's parity, sign by the
//     quadrant; the second table's cosine coefficients are the first's negated, which in
//     round-to-nearest is the same as negating the cosine result.
//   tanf  (single precision kernel, double reduction without fusion)
//     |x| <= pi/4 as is; else the reduction above, split in a high and a low float (in closed
//     form when every lane lies within [-1, 1], as the chain's tangents do); then the
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
#include <cstring>
#include <utility>

#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#define ZELTO_TRIG_VECTOR 1
#endif

namespace zelto::ZELTO_ISA {

#if defined(ZELTO_TRIG_VECTOR)
namespace {

#define ZELTO_INLINE [[gnu::always_inline]] inline

// The vector types of one register width B (bytes): B / 4 floats or 32-bit integers fill it,
// and the double-precision steps of sinf and cosf run on each half of it, whose B / 8 floats
// widen to a full register of doubles. Every instruction set runs its own width; AVX-512 also
// runs 256-bit registers, for the few elements a short leaf or tail leaves.
template <std::size_t B>
struct Width {
  static constexpr std::size_t kLanes = B / sizeof(float);
  static constexpr std::size_t kHalf = kLanes / 2;
  typedef float F __attribute__((vector_size(B)));
  typedef std::int32_t I __attribute__((vector_size(B)));
  typedef std::uint32_t U __attribute__((vector_size(B)));
  typedef float HalfF __attribute__((vector_size(B / 2)));
  typedef std::int32_t HalfI __attribute__((vector_size(B / 2)));
  typedef std::uint32_t HalfU __attribute__((vector_size(B / 2)));
  typedef double D __attribute__((vector_size(B)));
  typedef std::int64_t L __attribute__((vector_size(B)));
};

// The register this instruction set is built for, and the 256-bit one of AVX2.
constexpr std::size_t kWide = ZELTO_VEC_BYTES;
constexpr std::size_t kNarrow = 32;
static_assert(kWide == kNarrow || kWide == 64);

using W32 = Width<32>;
#if ZELTO_VEC_BYTES == 64
using W64 = Width<64>;
#endif

// Only 512-bit registers compute rare lanes themselves (the large reduction needs AVX-512's
// 64-bit integer multiplies and permutes); other widths hand them to the library.
template <std::size_t B>
constexpr bool kRareInRegister = B == 64;

// The sine/cosine table of the library's x86 build (its second table negates c0..c4).
constexpr double kHpiInv = 0x1.45F306DC9C883p+23;  // 2/pi * 2^24
constexpr double kHpi = 0x1.921FB54442D18p0;       // pi/2
constexpr double kC0 = 0x1p0;
constexpr double kC1 = -0x1.ffffffd0c621cp-2;
constexpr double kC2 = 0x1.55553e1068f19p-5;
constexpr double kC3 = -0x1.6c087e89a359dp-10;
constexpr double kC4 = 0x1.99343027bf8c3p-16;
constexpr double kS1 = -0x1.555545995a603p-3;
constexpr double kS2 = 0x1.1107605230bc4p-7;
constexpr double kS3 = -0x1.994eb3774cf24p-13;

// The tangent's reduction within [-1, 1]: pi/2 to the nearest float, and what the remainder
// x - pi/2 of a positive x in (pi/4, 1] leaves beyond its nearest float x - kTanPio2Hi + 2^-24,
// the same for every such x (both subtractions here are exact in double).
constexpr float kTanPio2Hi = static_cast<float>(kHpi);
constexpr float kTanPio2Rest =
    static_cast<float>(static_cast<double>(kTanPio2Hi) - kHpi - 0x1p-24);

// Float bits >> 20 (sign cleared) of the thresholds the scalar code branches on.
constexpr std::int32_t kTopTiny = 0x398;   // 2^-12
constexpr std::int32_t kTopLarge = 0x42f;  // 120
constexpr std::int32_t kTopInf = 0x7f8;

// Lane mask bits (bit k for lane k) of a vector comparison result of 128 or 256 bits; 512-bit
// registers compare straight into mask registers (compare below).
template <class M>
ZELTO_INLINE unsigned lane_bits(M m) noexcept {
  static_assert(sizeof(M) == 32 || sizeof(M) == 16);
  if constexpr (sizeof(M) == 32) {
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
  } else {
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
  }
}

// Each width's single instructions: a * b + c and c - a * b with one rounding; a half register
// of floats or integers widened to doubles, or 32-bit integers sign-extended to 64-bit lanes
// (so a lane mask stays a lane mask); doubles rounded to the nearest float or truncated toward
// zero (INT_MIN when out of range). The generic vector conversions would split them in two.
ZELTO_INLINE W32::D fused_mul_add(W32::D a, W32::D b, W32::D c) noexcept {
  return _mm256_fmadd_pd(a, b, c);
}
ZELTO_INLINE W32::D fused_neg_mul_add(W32::D a, W32::D b, W32::D c) noexcept {
  return _mm256_fnmadd_pd(a, b, c);
}
ZELTO_INLINE W32::D widen(W32::HalfF v) noexcept {
  return _mm256_cvtps_pd(reinterpret_cast<__m128>(v));
}
ZELTO_INLINE W32::D widen(W32::HalfI v) noexcept {
  return _mm256_cvtepi32_pd(reinterpret_cast<__m128i>(v));
}
ZELTO_INLINE W32::L widen_int(W32::HalfI m) noexcept {
  return reinterpret_cast<W32::L>(_mm256_cvtepi32_epi64(reinterpret_cast<__m128i>(m)));
}
ZELTO_INLINE W32::HalfF narrow(W32::D v) noexcept {
  return reinterpret_cast<W32::HalfF>(_mm256_cvtpd_ps(v));
}
ZELTO_INLINE W32::HalfI truncate(W32::D v) noexcept {
  return reinterpret_cast<W32::HalfI>(_mm256_cvttpd_epi32(v));
}

#if ZELTO_VEC_BYTES == 64
ZELTO_INLINE W64::D fused_mul_add(W64::D a, W64::D b, W64::D c) noexcept {
  return _mm512_fmadd_pd(a, b, c);
}
ZELTO_INLINE W64::D fused_neg_mul_add(W64::D a, W64::D b, W64::D c) noexcept {
  return _mm512_fnmadd_pd(a, b, c);
}
ZELTO_INLINE W64::D widen(W64::HalfF v) noexcept {
  return _mm512_cvtps_pd(reinterpret_cast<__m256>(v));
}
ZELTO_INLINE W64::D widen(W64::HalfI v) noexcept {
  return _mm512_cvtepi32_pd(reinterpret_cast<__m256i>(v));
}
ZELTO_INLINE W64::L widen_int(W64::HalfI m) noexcept {
  return reinterpret_cast<W64::L>(_mm512_cvtepi32_epi64(reinterpret_cast<__m256i>(m)));
}
ZELTO_INLINE W64::HalfF narrow(W64::D v) noexcept {
  return reinterpret_cast<W64::HalfF>(_mm512_cvtpd_ps(v));
}
ZELTO_INLINE W64::HalfI truncate(W64::D v) noexcept {
  return reinterpret_cast<W64::HalfI>(_mm512_cvttpd_epi32(v));
}
#endif

// Lanes of a half register's integers with some of `bits` set, as the mask that selects among
// that half's doubles, and the selection itself: AVX2 widens the integers to 64-bit lanes and
// compares them, AVX-512 tests the 32-bit integers straight into a mask register.
ZELTO_INLINE W32::L any_bits(W32::HalfI v, std::int32_t bits) noexcept {
  return widen_int(v & bits) != 0;
}
ZELTO_INLINE W32::D select(W32::L mask, W32::D a, W32::D b) noexcept { return mask ? a : b; }
ZELTO_INLINE W32::L invert(W32::L mask) noexcept { return ~mask; }
ZELTO_INLINE W32::L both(W32::L m1, W32::L m2) noexcept { return m1 & m2; }
ZELTO_INLINE W32::D negate_where(W32::L mask, W32::D v) noexcept { return mask ? -v : v; }

#if ZELTO_VEC_BYTES == 64
ZELTO_INLINE __mmask8 any_bits(W64::HalfI v, std::int32_t bits) noexcept {
  return _mm256_test_epi32_mask(reinterpret_cast<__m256i>(v), _mm256_set1_epi32(bits));
}
ZELTO_INLINE W64::D select(__mmask8 mask, W64::D a, W64::D b) noexcept {
  return _mm512_mask_blend_pd(mask, b, a);
}
ZELTO_INLINE __mmask8 invert(__mmask8 mask) noexcept { return _knot_mask8(mask); }
ZELTO_INLINE __mmask8 both(__mmask8 m1, __mmask8 m2) noexcept { return _kand_mask8(m1, m2); }
ZELTO_INLINE W64::D negate_where(__mmask8 mask, W64::D v) noexcept {
  return _mm512_mask_xor_pd(v, mask, v, _mm512_set1_pd(-0.0));
}
#endif

// Comparisons of a whole register's 32-bit integers with a constant, giving the lane mask the
// instruction set selects with: a vector of all-ones or zero lanes for AVX2, a mask register
// for AVX-512 (through the generic vector comparison, GCC fills a vector from the mask
// register and tests it back, two more instructions a mask); and the selections and tests.
enum class Compare { eq, ne, lt, le, ge };

template <Compare kOp>
ZELTO_INLINE W32::I compare(W32::I a, std::int32_t b) noexcept {
  if constexpr (kOp == Compare::eq) {
    return a == b;
  } else if constexpr (kOp == Compare::ne) {
    return a != b;
  } else if constexpr (kOp == Compare::lt) {
    return a < b;
  } else if constexpr (kOp == Compare::le) {
    return a <= b;
  } else {
    return a >= b;
  }
}
ZELTO_INLINE W32::F select(W32::I mask, W32::F a, W32::F b) noexcept { return mask ? a : b; }
ZELTO_INLINE W32::I select(W32::I mask, W32::I a, W32::I b) noexcept { return mask ? a : b; }
ZELTO_INLINE W32::I both(W32::I m1, W32::I m2) noexcept { return m1 & m2; }

#if ZELTO_VEC_BYTES == 64
template <Compare kOp>
ZELTO_INLINE __mmask16 compare(W64::I a, std::int32_t b) noexcept {
  constexpr auto kPredicate = kOp == Compare::eq   ? _MM_CMPINT_EQ
                              : kOp == Compare::ne ? _MM_CMPINT_NE
                              : kOp == Compare::lt ? _MM_CMPINT_LT
                              : kOp == Compare::le ? _MM_CMPINT_LE
                                                   : _MM_CMPINT_NLT;
  return _mm512_cmp_epi32_mask(reinterpret_cast<__m512i>(a), _mm512_set1_epi32(b), kPredicate);
}
ZELTO_INLINE W64::F select(__mmask16 mask, W64::F a, W64::F b) noexcept {
  return _mm512_mask_blend_ps(mask, b, a);
}
ZELTO_INLINE W64::I select(__mmask16 mask, W64::I a, W64::I b) noexcept {
  return reinterpret_cast<W64::I>(_mm512_mask_blend_epi32(
      mask, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a)));
}
ZELTO_INLINE __mmask16 both(__mmask16 m1, __mmask16 m2) noexcept { return _kand_mask16(m1, m2); }
ZELTO_INLINE unsigned lane_bits(__mmask16 mask) noexcept { return mask; }
#endif

template <class V, class T>
ZELTO_INLINE V broadcast(T x) noexcept {
  V v;
  for (std::size_t k = 0; k < sizeof(V) / sizeof(T); ++k) v[k] = x;
  return v;
}

// Unaligned load and store of one register (memcpy compiles to one vector move).
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F load_lanes(const float* p) noexcept {
  typename Width<B>::F v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <std::size_t B>
ZELTO_INLINE void store_lanes(float* p, typename Width<B>::F v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

template <std::size_t B, std::size_t... I>
ZELTO_INLINE typename Width<B>::HalfF half_of(typename Width<B>::F v, std::size_t first,
                                              std::index_sequence<I...>) noexcept {
  return first == 0 ? __builtin_shufflevector(v, v, I...)
                    : __builtin_shufflevector(v, v, (I + Width<B>::kHalf)...);
}

template <std::size_t B, std::size_t... I>
ZELTO_INLINE typename Width<B>::F join(typename Width<B>::HalfF lo, typename Width<B>::HalfF hi,
                                       std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(lo, hi, I...);
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::HalfF low_half(typename Width<B>::F v) noexcept {
  return half_of<B>(v, 0, std::make_index_sequence<Width<B>::kHalf>{});
}
template <std::size_t B>
ZELTO_INLINE typename Width<B>::HalfF high_half(typename Width<B>::F v) noexcept {
  return half_of<B>(v, Width<B>::kHalf, std::make_index_sequence<Width<B>::kHalf>{});
}
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F join(typename Width<B>::HalfF lo,
                                       typename Width<B>::HalfF hi) noexcept {
  return join<B>(lo, hi, std::make_index_sequence<Width<B>::kLanes>{});
}

// |bits| >> 20: enough of the exponent and mantissa for every threshold above.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::HalfI abs_top(typename Width<B>::HalfF y) noexcept {
  using HalfI = typename Width<B>::HalfI;
  using HalfU = typename Width<B>::HalfU;
  return reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(y) >> 20) & 0x7ff;
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
// [-pi/4, pi/4] and the quadrant n in 0..3. Lanes outside that range give unused values.
ZELTO_INLINE void reduce_large(W64::HalfI yi, W64::D& x, W64::HalfI& n) noexcept {
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
  n = reinterpret_cast<W64::HalfI>(_mm512_cvtepi64_epi32(quadrant));
}
#endif

// sinf (kCos false) or cosf (kCos true) of a half register. Lanes with |y| >= 120 or not
// finite give their values only when kRare (512-bit registers); otherwise unused ones, which
// the caller replaces.
template <std::size_t B, bool kCos, bool kRare>
ZELTO_INLINE typename Width<B>::HalfF sincos_half(typename Width<B>::HalfF y) noexcept {
  static_assert(!kRare || kRareInRegister<B>);
  using HalfI = typename Width<B>::HalfI;
  using D = typename Width<B>::D;
  const D x = widen(y);
  // Lanes with |y| >= 120 get unused values here (truncate is defined out of range).
  HalfI n = (truncate(x * kHpiInv) + 0x800000) >> 24;
  D xr = fused_neg_mul_add(widen(n), broadcast<D>(kHpi), x);
  HalfI q = n;  // the quadrant that picks the sign and the table
#if ZELTO_VEC_BYTES == 64
  if constexpr (kRare) {
    using HalfU = typename Width<B>::HalfU;
    const HalfI top = abs_top<B>(y);
    const HalfI far = (top >= kTopLarge) & (top < kTopInf);
    if (lane_bits(far) != 0) {
      const HalfI yi = reinterpret_cast<HalfI>(y);
      D x_far;
      HalfI n_far;
      reduce_large(yi, x_far, n_far);
      xr = widen_int(far) ? x_far : xr;
      n = far ? n_far : n;
      q = far ? n_far + reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(yi) >> 31) : q;
    }
  }
#endif
  // Lanes that evaluate the cosine polynomial, and those whose sign flips. Negating is exact,
  // as multiplying by -1 is; lanes whose input is not finite are replaced by the caller.
  const auto odd = any_bits(n, 1);
  const auto cos_poly = kCos ? invert(odd) : odd;
  const D x2 = xr * xr;
  const D xs = negate_where(any_bits(q + 1, 2), xr);
  // Both polynomials have the shape fma(Q, fma(x2, K4, K3), fma(P, K2, A)) with Q = x2 * P.
  const D a = select(cos_poly, fused_mul_add(x2, broadcast<D>(kC1), broadcast<D>(kC0)), xs);
  const D p = x2 * select(cos_poly, x2, xs);
  const D k2 = select(cos_poly, broadcast<D>(kC2), broadcast<D>(kS1));
  const D k3 = select(cos_poly, broadcast<D>(kC3), broadcast<D>(kS2));
  const D k4 = select(cos_poly, broadcast<D>(kC4), broadcast<D>(kS3));
  const D inner = fused_mul_add(x2, k4, k3);
  const D q7 = x2 * p;
  const D head = fused_mul_add(p, k2, a);
  const D r = fused_mul_add(q7, inner, head);
  return narrow(negate_where(both(cos_poly, any_bits(q, 2)), r));
}

// sinf or cosf of a register: both halves, then the tiny (and, when kRare, the special)
// results on the whole register.
template <std::size_t B, bool kCos, bool kRare>
ZELTO_INLINE typename Width<B>::F sincos_lanes(typename Width<B>::F y) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  using U = typename Width<B>::U;
  F result = join<B>(sincos_half<B, kCos, kRare>(low_half<B>(y)),
                     sincos_half<B, kCos, kRare>(high_half<B>(y)));
  const I top = reinterpret_cast<I>(reinterpret_cast<U>(y) >> 20) & 0x7ff;
  result = select(compare<Compare::lt>(top, kTopTiny), kCos ? broadcast<F>(1.0f) : y, result);
  if constexpr (kRare) {
    const F d = y - y;
    result = select(compare<Compare::ge>(top, kTopInf), d / d, result);
  }
  return result;
}

// The tangent's reduction of a half register: the remainder as a high and a low float, and the
// quadrant. Unlike sinf, the generic build subtracts n*pi/2 with two roundings. Without kRare,
// lanes with |y| >= 120 give unused values.
template <std::size_t B, bool kRare>
ZELTO_INLINE void tan_reduce_half(typename Width<B>::HalfF y, typename Width<B>::HalfF& hi,
                                  typename Width<B>::HalfF& lo,
                                  typename Width<B>::HalfI& n) noexcept {
  static_assert(!kRare || kRareInRegister<B>);
  using D = typename Width<B>::D;
  const D x = widen(y);
  n = (truncate(x * kHpiInv) + 0x800000) >> 24;
  D xr = x - widen(n) * kHpi;
#if ZELTO_VEC_BYTES == 64
  if constexpr (kRare) {
    using HalfI = typename Width<B>::HalfI;
    const HalfI top = abs_top<B>(y);
    const HalfI far = (top >= kTopLarge) & (top < kTopInf);
    if (lane_bits(far) != 0) {
      const HalfI yi = reinterpret_cast<HalfI>(y);
      D x_far;
      HalfI n_far;
      reduce_large(yi, x_far, n_far);
      x_far = widen_int(yi < 0) ? -x_far : x_far;
      xr = widen_int(far) ? x_far : xr;
      n = far ? n_far : n;
    }
  }
#endif
  hi = narrow(xr);
  lo = narrow(xr - widen(hi));
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F from_bits(typename Width<B>::I v) noexcept {
  return reinterpret_cast<typename Width<B>::F>(v);
}
template <std::size_t B>
ZELTO_INLINE typename Width<B>::I to_bits(typename Width<B>::F v) noexcept {
  return reinterpret_cast<typename Width<B>::I>(v);
}

// tanf of a register. Lanes with |x| >= 120 or not finite give their values only when kRare
// (512-bit registers); otherwise unused ones, which the caller replaces.
template <std::size_t B, bool kRare>
ZELTO_INLINE typename Width<B>::F tan_lanes(typename Width<B>::F xin) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  using HalfF = typename Width<B>::HalfF;
  using HalfI = typename Width<B>::HalfI;
  constexpr std::size_t kLanes = Width<B>::kLanes;
  const I ix_in = to_bits<B>(xin) & 0x7fffffff;
  const auto near = compare<Compare::le>(ix_in, 0x3f490fda);  // |x| <= pi/4: no reduction
  F x = xin;
  F y = {};
  I iy = broadcast<I>(1);  // +1 for tan, -1 for -1/tan
  constexpr unsigned kAll = (1u << kLanes) - 1;
  if (lane_bits(near) != kAll) {
    if (lane_bits(compare<Compare::le>(ix_in, 0x3f800000)) == kAll) {
      // Every lane within [-1, 1], where the chain's tangents all lie: a lane beyond pi/4 is
      // in quadrant +-1, and |x| - pi/2 is exact in double (the two are within a factor of
      // two), so the reduction's two floats have a closed form. d = |x| - float(pi/2) is exact
      // in float for the same reason and lies in [-0.79, -0.57]; the remainder lies 0.73 of
      // d's last-place unit (2^-24) nearer zero, so its nearest float is d + 2^-24, and what
      // it leaves beyond that is the same for every such lane. Both take x's sign.
      const I sign_bit = to_bits<B>(xin) & static_cast<std::int32_t>(0x80000000u);
      const F hi = (from_bits<B>(ix_in) - kTanPio2Hi) + 0x1p-24f;
      x = select(near, x, from_bits<B>(to_bits<B>(hi) ^ sign_bit));
      y = select(near, y, from_bits<B>(std::bit_cast<std::int32_t>(kTanPio2Rest) ^ sign_bit));
      iy = select(near, iy, broadcast<I>(-1));
    } else {
      HalfF hi0, lo0, hi1, lo1;
      HalfI n0, n1;
      tan_reduce_half<B, kRare>(low_half<B>(xin), hi0, lo0, n0);
      tan_reduce_half<B, kRare>(high_half<B>(xin), hi1, lo1, n1);
      const I n = reinterpret_cast<I>(
          join<B>(reinterpret_cast<HalfF>(n0), reinterpret_cast<HalfF>(n1)));
      x = select(near, x, join<B>(hi0, hi1));
      y = select(near, y, join<B>(lo0, lo1));
      iy = select(near, iy, 1 - ((n & 1) << 1));
    }
  }

  // The kernel on x + y, with hx the bits of x as it enters.
  const I hx = to_bits<B>(x);
  const I ix = hx & 0x7fffffff;
  const auto tiny = compare<Compare::lt>(ix, 0x39000000);     // |x| < 2^-13
  const auto reflect = compare<Compare::ge>(ix, 0x3f2ca140);  // |x| >= 0.6744: pi/4 - |x|
  const F one = broadcast<F>(1.0f);
  auto reflected_tiny = decltype(reflect){};
  if (lane_bits(reflect) != 0) {
    const auto flip = both(reflect, compare<Compare::lt>(hx, 0));
    const F xn = select(flip, -x, x);
    const F yn = select(flip, -y, y);
    const F z = std::bit_cast<float>(0x3f490fdau) - xn;  // pi/4, high part
    const F w = std::bit_cast<float>(0x33222168u) - yn;  // pi/4, low part
    const F xx = z + w;
    x = select(reflect, xx, x);
    y = select(reflect, F{}, y);
    reflected_tiny =
        both(reflect, compare<Compare::lt>(to_bits<B>(xx) & 0x7fffffff, 0x39000000));
  }
  const F z = x * x;
  const F w = z * z;
  // r = T1 + w*(T3 + ... + w*T11), v = z*(T2 + w*(T4 + ... + w*T12)).
  F r = w * std::bit_cast<float>(0xb79bae5fu) + std::bit_cast<float>(0x38a3f445u);
  F v = w * std::bit_cast<float>(0x37d95384u) + std::bit_cast<float>(0x3895c07au);
  for (const std::uint32_t c : {0x3a1a26c8u, 0x3b6b6916u, 0x3cb327a4u, 0x3e088889u}) {
    r = w * r + std::bit_cast<float>(c);
  }
  for (const std::uint32_t c : {0x398137b9u, 0x3abede48u, 0x3c11371fu, 0x3d5d0dd1u}) {
    v = w * v + std::bit_cast<float>(c);
  }
  v = z * v;
  const F s = z * x;
  F rr = y + z * (s * (r + v) + y);
  rr = rr + std::bit_cast<float>(0x3eaaaaabu) * s;  // T0
  const F sum = x + rr;

  // Odd quadrants: -1/sum, with the quotient's error corrected from the split of sum. Only
  // computed when some lane needs it: near the chain's fixed point whole registers are in even
  // quadrants, and the division is among the costliest operations here.
  F result = sum;
  const auto odd_quadrant = compare<Compare::ne>(iy, 1);
  if (lane_bits(odd_quadrant) != 0) {
    const F zt = from_bits<B>(to_bits<B>(sum) & static_cast<std::int32_t>(0xfffff000u));
    const F vt = rr - (zt - x);
    const F a = -1.0f / sum;
    const F t = from_bits<B>(to_bits<B>(a) & static_cast<std::int32_t>(0xfffff000u));
    const F st = 1.0f + t * zt;
    result = select(odd_quadrant, t + a * (st + t * vt), sum);
  }
  if (lane_bits(reflect) != 0) {
    const I sign = 1 - ((hx >> 30) & 2);
    const F fv = __builtin_convertvector(iy, F);
    const F fs = __builtin_convertvector(sign, F);
    result = select(reflect, fs * (fv - 2.0f * (x - (sum * sum / (sum + fv) - rr))), result);
    if (lane_bits(reflected_tiny) != 0) {
      const F two_iy = __builtin_convertvector(iy + iy, F);
      const F signed_iy = __builtin_convertvector(sign * iy, F);
      result = select(reflected_tiny, signed_iy * (one - two_iy * x), result);
    }
  }
  if (lane_bits(tiny) != 0) {
    // x as it entered: tan x = x, or -1/x (1/|x| for a zero) in odd quadrants.
    const F xk = from_bits<B>(hx);
    const F odd = select(compare<Compare::eq>(ix, 0), one / from_bits<B>(ix), -1.0f / xk);
    result = select(tiny, select(compare<Compare::eq>(iy, 1), xk, odd), result);
  }
  if constexpr (kRare) result = select(compare<Compare::ge>(ix_in, 0x7f800000), xin - xin, result);
  return result;
}

// The lanes with |x| >= 120, infinities and NaN: rare, and the only ones that need the
// large-argument reduction or the special-value results.
template <std::size_t B>
ZELTO_INLINE unsigned rare_lanes(typename Width<B>::F x) noexcept {
  using I = typename Width<B>::I;
  using U = typename Width<B>::U;
  const I top = reinterpret_cast<I>(reinterpret_cast<U>(x) >> 20) & 0x7ff;
  return lane_bits(compare<Compare::ge>(top, kTopLarge));
}

// The common path when no lane is rare; otherwise a 512-bit register computes the rare lanes
// too, and narrower ones take them from the library, one call per rare lane.
template <std::size_t B, class Common, class Rare>
ZELTO_INLINE typename Width<B>::F with_rare_lanes(typename Width<B>::F x, Common common,
                                                  Rare rare, float (*f)(float)) noexcept {
  unsigned lanes = rare_lanes<B>(x);
  if (__builtin_expect(lanes == 0, 1)) return common(x);
  if constexpr (kRareInRegister<B>) {
    (void)f;
    return rare(x);
  } else {
    (void)rare;
    typename Width<B>::F out = common(x);
    for (; lanes != 0; lanes &= lanes - 1) {
      const int k = __builtin_ctz(lanes);
      out[k] = f(x[k]);
    }
    return out;
  }
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F sin_lanes(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, sincos_lanes<B, false, false>,
                            sincos_lanes<B, false, kRareInRegister<B>>, ::sinf);
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F cos_lanes(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, sincos_lanes<B, true, false>,
                            sincos_lanes<B, true, kRareInRegister<B>>, ::cosf);
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F tan_library_lanes(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, tan_lanes<B, false>, tan_lanes<B, kRareInRegister<B>>, ::tanf);
}

// kCount elements (at most one register of width B) through fn in a register whose unused
// lanes repeat the first element, so they take no branch a real lane does not take.
template <std::size_t B, class Fn>
ZELTO_INLINE void map_short(const float* in, float* out, std::size_t count, Fn fn) noexcept {
  float buffer[Width<B>::kLanes];
  std::copy_n(in, count, buffer);
  std::fill(buffer + count, buffer + Width<B>::kLanes, in[0]);
  store_lanes<B>(buffer, fn(load_lanes<B>(buffer)));
  std::copy_n(buffer, count, out);
}

// Applies fn_wide to whole registers; the last partial one goes through the 256-bit fn_narrow
// when it fits there, else through a padded register.
template <class FnWide, class FnNarrow>
ZELTO_INLINE void map_values(const float* in, float* out, std::size_t count, FnWide fn_wide,
                             FnNarrow fn_narrow) noexcept {
  constexpr std::size_t kLanes = Width<kWide>::kLanes;
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    store_lanes<kWide>(out + i, fn_wide(load_lanes<kWide>(in + i)));
  }
  if (count - i > Width<kNarrow>::kLanes) {
    map_short<kWide>(in + i, out + i, count - i, fn_wide);
  } else if (i < count) {
    map_short<kNarrow>(in + i, out + i, count - i, fn_narrow);
  }
}

// `width` elements' chains (at most kChains registers of width B) run their repetitions
// together, unused lanes repeating the first element; the finished terms are added one by one
// in index order, exactly as the plain loop adds them.
template <std::size_t B, std::size_t kChains>
ZELTO_INLINE float chain_block(const float* in, std::size_t width, std::uint64_t iterations,
                               float acc) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  constexpr std::size_t kLanes = Width<B>::kLanes;
  const I sign_clear = broadcast<I>(0x7fffffff);
  float terms[kChains * kLanes];
  std::copy_n(in, width, terms);
  std::fill(terms + width, terms + kChains * kLanes, in[0]);
  F x[kChains];
  for (std::size_t c = 0; c < kChains; ++c) x[c] = load_lanes<B>(terms + c * kLanes);
  for (std::uint64_t r = 0; r < iterations; ++r) {
    for (std::size_t c = 0; c < kChains; ++c) x[c] = sin_lanes<B>(x[c]);
    for (std::size_t c = 0; c < kChains; ++c) x[c] = cos_lanes<B>(x[c]);
    for (std::size_t c = 0; c < kChains; ++c) {
      x[c] = from_bits<B>(to_bits<B>(tan_library_lanes<B>(x[c])) & sign_clear);
    }
  }
  for (std::size_t c = 0; c < kChains; ++c) store_lanes<B>(terms + c * kLanes, x[c]);
  for (std::size_t k = 0; k < width; ++k) acc = acc + terms[k];
  return acc;
}

// Registers advanced together in the chain: each repetition is a long serial dependency, so
// independent registers fill the pipelines while one waits. Measured on Zen 4, ns per element
// and repetition (AVX-512 / AVX2): one register 6.5 / 9.6, two 3.8 / 5.2, four 3.9 / 9.3 (AVX2
// runs out of its 16 registers).
constexpr std::size_t kChains = 2;

}  // namespace

void sinf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, sin_lanes<kWide>, sin_lanes<kNarrow>);
}

void cosf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, cos_lanes<kWide>, cos_lanes<kNarrow>);
}

void tanf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, tan_library_lanes<kWide>, tan_library_lanes<kNarrow>);
}

// Up to this many elements, the library's own calls advanced in lockstep beat a vector block:
// a repetition of a block costs about its chain's latency however few lanes are used. Measured
// on Zen 4 (bench heavy_bench short), ns per call of 5 repetitions, lockstep / one 256-bit
// register: 1 element 214 / 356, 2: 271 / 374, 3: 305 / 393, 4: 455 / 426.
constexpr std::size_t kLibraryMax = 3;

// Blocks of kChains full registers while more than two 256-bit registers' worth remains; the
// rest, which is all of a short leaf, in the narrowest block that holds it: two or one 256-bit
// registers, or the library's calls for the last few elements. Each element gets the same
// operations in every block, so the split changes no bit. On Zen 4 a leaf of 5 elements takes
// 400 ns for 5 repetitions this way, 800 ns in a padded 32-lane block.
float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,
                     float acc) noexcept {
  constexpr std::size_t kBlock = kChains * Width<kWide>::kLanes;
  constexpr std::size_t kNarrowLanes = Width<kNarrow>::kLanes;
  std::size_t rest = count;
  for (; rest > kChains * kNarrowLanes; in += kBlock, rest -= std::min(kBlock, rest)) {
    acc = chain_block<kWide, kChains>(in, std::min(kBlock, rest), iterations, acc);
  }
  if (rest > kNarrowLanes) return chain_block<kNarrow, 2>(in, rest, iterations, acc);
  if (rest > kLibraryMax) return chain_block<kNarrow, 1>(in, rest, iterations, acc);
  return heavy::leaf_sum_lockstep(in, rest, iterations, acc);
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
