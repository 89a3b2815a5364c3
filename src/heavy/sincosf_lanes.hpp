// sinf and cosf over a register, as the C library's FMA build computes them (glibc 2.36 on
// x86-64: __sinf_fma, __cosf_fma), in double precision inside:
//
//   |y| < 2^-12     sinf: y; cosf: 1
//   |y| < 120       n = round(y * 2/pi), x = y - n*pi/2 (fused), quadrant n
//   |y| < infinity  the exact large-argument reduction (512-bit registers only)
//   else            NaN as (y - y) / (y - y)
//
// then a degree-7 sine or degree-8 cosine polynomial by the quadrant's parity, sign by the
// quadrant. The library's second table holds the cosine coefficients negated, which in
// round-to-nearest is the same as negating the cosine result. Algorithm and coefficients from
// Arm's optimized-routines library (MIT License, notice in trig_reduction.hpp).
#pragma once

#include <cstddef>

#include "heavy/register_width.hpp"
#include "heavy/trig_reduction.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// The library x86 build's polynomial coefficients.
constexpr double kC0 = 0x1p0;
constexpr double kC1 = -0x1.ffffffd0c621cp-2;
constexpr double kC2 = 0x1.55553e1068f19p-5;
constexpr double kC3 = -0x1.6c087e89a359dp-10;
constexpr double kC4 = 0x1.99343027bf8c3p-16;
constexpr double kS1 = -0x1.555545995a603p-3;
constexpr double kS2 = 0x1.1107605230bc4p-7;
constexpr double kS3 = -0x1.994eb3774cf24p-13;

// sinf (kCos false) or cosf (kCos true) of a half register. Lanes with |y| >= 120 or not
// finite give their values only when kRare (512-bit registers); otherwise unused ones, which
// the caller replaces.
template <std::size_t B, bool kCos, bool kRare>
ZELTO_INLINE typename Width<B>::HalfF sincosf_half(typename Width<B>::HalfF y) noexcept {
  static_assert(!kRare || kRareInRegister<B>);
  using HalfI = typename Width<B>::HalfI;
  using D = typename Width<B>::D;
  const D x = to_double(y);
  HalfI n = nearest_quadrant(x);
  D xr = fused_neg_mul_add(to_double(n), broadcast<D>(kHpi), x);
  HalfI q = n;  // the quadrant that picks the sign and the table
#if ZELTO_VEC_BYTES == 64
  if constexpr (kRare) {
    using HalfU = typename Width<B>::HalfU;
    FarLanes large;
    if (reduce_far_lanes(y, large)) {
      const HalfI sign = reinterpret_cast<HalfI>(reinterpret_cast<HalfU>(y) >> 31);
      xr = sign_extend(large.far) ? large.x : xr;
      n = large.far ? large.n : n;
      q = large.far ? large.n + sign : q;
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
  return round_to_float(negate_where(both(cos_poly, any_bits(q, 2)), r));
}

// sinf or cosf of a register: both halves, then the tiny (and, when kRare, the special)
// results on the whole register.
template <std::size_t B, bool kCos, bool kRare>
ZELTO_INLINE typename Width<B>::F sincosf_lanes(typename Width<B>::F y) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  using U = typename Width<B>::U;
  F result = join<B>(sincosf_half<B, kCos, kRare>(low_half<B>(y)),
                     sincosf_half<B, kCos, kRare>(high_half<B>(y)));
  const I top = reinterpret_cast<I>(reinterpret_cast<U>(y) >> 20) & 0x7ff;
  result = select(compare<Compare::lt>(top, kTopTiny), kCos ? broadcast<F>(1.0f) : y, result);
  if constexpr (kRare) {
    const F d = y - y;
    result = select(compare<Compare::ge>(top, kTopInf), d / d, result);
  }
  return result;
}

}  // namespace
}  // namespace zelto::ZELTO_ISA
