// tanf over a register, as the C library's generic build computes it (glibc 2.36 on x86-64):
//
//   |x| <= pi/4     as is
//   else            the shared reduction, its remainder split in a high and a low float
//                   (without fusion, unlike sinf), or in closed form when every lane lies
//                   within [-1, 1], as the chain's tangents do
//
// then the single-precision kernel: an odd polynomial in x^2 split in two halves, the
// pi/4 - x reflection for |x| >= 0.6744, and -1/(x + r) computed in two parts in odd quadrants.
//
// The kernel and its coefficients come from Sun's fdlibm:
//     Copyright (C) 1993 by Sun Microsystems, Inc. All rights reserved.
//     Developed at SunPro, a Sun Microsystems, Inc. business.
//     Permission to use, copy, modify, and distribute this
//     software is freely granted, provided that this notice
//     is preserved.
#pragma once

#include <cstddef>
#include <cstdint>

#include "heavy/register_width.hpp"
#include "heavy/trig_reduction.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// The reduced argument x + y, |x| <= pi/4 and y the low part, and iy: +1 in even quadrants,
// where tanf is tan(x + y), and -1 in odd ones, where it is -1/tan(x + y).
template <std::size_t B>
struct TanfArgument {
  typename Width<B>::F x;
  typename Width<B>::F y;
  typename Width<B>::I iy;
};

// The tangent's reduction within [-1, 1]: pi/2 to the nearest float, and what the remainder
// x - pi/2 of a positive x in (pi/4, 1] leaves beyond its nearest float x - kTanPio2Hi + 2^-24,
// the same for every such x (both subtractions here are exact in double).
constexpr float kTanPio2Hi = static_cast<float>(kHpi);
constexpr float kTanPio2Rest =
    static_cast<float>(static_cast<double>(kTanPio2Hi) - kHpi - 0x1p-24);

// The reduction of a half register: the remainder as a high and a low float, and the quadrant.
// Unlike sinf, the generic build subtracts n*pi/2 with two roundings. Without kRare, lanes with
// |y| >= 120 give unused values.
template <std::size_t B, bool kRare>
ZELTO_INLINE void tanf_reduce_half(typename Width<B>::HalfF y, typename Width<B>::HalfF& hi,
                                   typename Width<B>::HalfF& lo,
                                   typename Width<B>::HalfI& n) noexcept {
  static_assert(!kRare || kRareInRegister<B>);
  using D = typename Width<B>::D;
  const D x = to_double(y);
  n = nearest_quadrant(x);
  D xr = x - to_double(n) * kHpi;
#if ZELTO_VEC_BYTES == 64
  if constexpr (kRare) {
    using HalfI = typename Width<B>::HalfI;
    FarLanes large;
    if (reduce_far_lanes(y, large)) {
      const D x_far = sign_extend(reinterpret_cast<HalfI>(y) < 0) ? -large.x : large.x;
      xr = sign_extend(large.far) ? x_far : xr;
      n = large.far ? large.n : n;
    }
  }
#endif
  hi = round_to_float(xr);
  lo = round_to_float(xr - to_double(hi));
}

// The argument of xin, whose bits without the sign are ix_in. Lanes with |x| >= 120 or not
// finite are reduced only when kRare (512-bit registers).
template <std::size_t B, bool kRare>
ZELTO_INLINE TanfArgument<B> tanf_reduce(typename Width<B>::F xin,
                                         typename Width<B>::I ix_in) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  using HalfF = typename Width<B>::HalfF;
  using HalfI = typename Width<B>::HalfI;
  constexpr unsigned kAll = (1u << Width<B>::kLanes) - 1;
  const auto near = compare<Compare::le>(ix_in, 0x3f490fda);  // |x| <= pi/4: no reduction
  TanfArgument<B> arg{xin, F{}, broadcast<I>(1)};
  if (lane_bits(near) == kAll) return arg;
  if (lane_bits(compare<Compare::le>(ix_in, 0x3f800000)) == kAll) {
    // Every lane within [-1, 1]: a lane beyond pi/4 is in quadrant +-1, and |x| - pi/2 is exact
    // in double (the two are within a factor of two), so the reduction's two floats have a
    // closed form. d = |x| - float(pi/2) is exact in float for the same reason and lies in
    // [-0.79, -0.57]; the remainder lies 0.73 of d's last-place unit (2^-24) nearer zero, so
    // its nearest float is d + 2^-24, and what it leaves beyond that is the same for every such
    // lane. Both take x's sign.
    const I sign_bit = to_bits<B>(xin) & static_cast<std::int32_t>(0x80000000u);
    const F hi = (from_bits<B>(ix_in) - kTanPio2Hi) + 0x1p-24f;
    arg.x = select(near, arg.x, from_bits<B>(to_bits<B>(hi) ^ sign_bit));
    arg.y = select(near, arg.y, from_bits<B>(bits_of(kTanPio2Rest) ^ sign_bit));
    arg.iy = select(near, arg.iy, broadcast<I>(-1));
  } else {
    HalfF hi0, lo0, hi1, lo1;
    HalfI n0, n1;
    tanf_reduce_half<B, kRare>(low_half<B>(xin), hi0, lo0, n0);
    tanf_reduce_half<B, kRare>(high_half<B>(xin), hi1, lo1, n1);
    const I n = reinterpret_cast<I>(
        join<B>(reinterpret_cast<HalfF>(n0), reinterpret_cast<HalfF>(n1)));
    arg.x = select(near, arg.x, join<B>(hi0, hi1));
    arg.y = select(near, arg.y, join<B>(lo0, lo1));
    arg.iy = select(near, arg.iy, 1 - ((n & 1) << 1));
  }
  return arg;
}

// The kernel's coefficients T0 .. T12, by their bits.
constexpr float kT[13] = {
    float_of(0x3eaaaaabu), float_of(0x3e088889u), float_of(0x3d5d0dd1u), float_of(0x3cb327a4u),
    float_of(0x3c11371fu), float_of(0x3b6b6916u), float_of(0x3abede48u), float_of(0x3a1a26c8u),
    float_of(0x398137b9u), float_of(0x38a3f445u), float_of(0x3895c07au), float_of(0xb79bae5fu),
    float_of(0x37d95384u)};

// pi/4 as a high and a low float.
constexpr float kPio4Hi = float_of(0x3f490fdau);
constexpr float kPio4Lo = float_of(0x33222168u);

// Lanes with |x| >= 0.6744 (reflect) take x + y to pi/4 - |x + y|, as one float in x with y
// zero; the sign stays in the caller's bits of x. Gives the reflected lanes whose new x is
// below 2^-13.
template <std::size_t B, class Mask>
ZELTO_INLINE Mask tanf_reflect(typename Width<B>::F& x, typename Width<B>::F& y,
                               typename Width<B>::I hx, Mask reflect) noexcept {
  using F = typename Width<B>::F;
  const auto flip = both(reflect, compare<Compare::lt>(hx, 0));
  const F xn = select(flip, -x, x);
  const F yn = select(flip, -y, y);
  const F xx = (kPio4Hi - xn) + (kPio4Lo - yn);
  x = select(reflect, xx, x);
  y = select(reflect, F{}, y);
  return both(reflect, compare<Compare::lt>(to_bits<B>(xx) & 0x7fffffff, 0x39000000));
}

// The odd series of x + y: sum = x + rr, near tan(x + y), with rr what x lacks of it.
template <std::size_t B>
struct TanfSeries {
  typename Width<B>::F sum;
  typename Width<B>::F rr;
};

template <std::size_t B>
ZELTO_INLINE TanfSeries<B> tanf_series(typename Width<B>::F x, typename Width<B>::F y) noexcept {
  using F = typename Width<B>::F;
  const F z = x * x;
  const F w = z * z;
  // r = T1 + w*(T3 + ... + w*T11), v = z*(T2 + w*(T4 + ... + w*T12)).
  F r = w * kT[11] + kT[9];
  F v = w * kT[12] + kT[10];
  for (int k = 7; k >= 1; k -= 2) r = w * r + kT[k];
  for (int k = 8; k >= 2; k -= 2) v = w * v + kT[k];
  v = z * v;
  const F s = z * x;
  F rr = y + z * (s * (r + v) + y);
  rr = rr + kT[0] * s;
  return {x + rr, rr};
}

// -1/sum for odd quadrants, the quotient's error corrected from the split of sum into x + rr.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F tanf_negative_reciprocal(TanfSeries<B> series,
                                                          typename Width<B>::F x) noexcept {
  using F = typename Width<B>::F;
  const F zt = from_bits<B>(to_bits<B>(series.sum) & static_cast<std::int32_t>(0xfffff000u));
  const F vt = series.rr - (zt - x);
  const F a = -1.0f / series.sum;
  const F t = from_bits<B>(to_bits<B>(a) & static_cast<std::int32_t>(0xfffff000u));
  const F st = 1.0f + t * zt;
  return t + a * (st + t * vt);
}

// tan(x + y) or -1/tan(x + y) by iy. The costlier steps run only when some lane needs them:
// near the chain's fixed point whole registers are in even quadrants and take no reflection's
// tiny case, and the division is among the costliest operations here.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F tanf_kernel(TanfArgument<B> arg) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  F x = arg.x;
  F y = arg.y;
  const I iy = arg.iy;
  const I hx = to_bits<B>(x);
  const I ix = hx & 0x7fffffff;
  const auto tiny = compare<Compare::lt>(ix, 0x39000000);     // |x| < 2^-13
  const auto reflect = compare<Compare::ge>(ix, 0x3f2ca140);  // |x| >= 0.6744
  const F one = broadcast<F>(1.0f);
  auto reflected_tiny = decltype(reflect){};
  if (lane_bits(reflect) != 0) reflected_tiny = tanf_reflect<B>(x, y, hx, reflect);
  const TanfSeries<B> series = tanf_series<B>(x, y);
  F result = series.sum;
  const auto odd_quadrant = compare<Compare::ne>(iy, 1);
  if (lane_bits(odd_quadrant) != 0) {
    result = select(odd_quadrant, tanf_negative_reciprocal<B>(series, x), series.sum);
  }
  if (lane_bits(reflect) != 0) {
    const F sum = series.sum;
    const I sign = 1 - ((hx >> 30) & 2);
    const F fv = __builtin_convertvector(iy, F);
    const F fs = __builtin_convertvector(sign, F);
    result = select(reflect, fs * (fv - 2.0f * (x - (sum * sum / (sum + fv) - series.rr))),
                    result);
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
  return result;
}

// tanf of a register. Lanes with |x| >= 120 or not finite give their values only when kRare
// (512-bit registers); otherwise unused ones, which the caller replaces.
template <std::size_t B, bool kRare>
ZELTO_INLINE typename Width<B>::F tanf_lanes(typename Width<B>::F xin) noexcept {
  const typename Width<B>::I ix_in = to_bits<B>(xin) & 0x7fffffff;
  typename Width<B>::F result = tanf_kernel<B>(tanf_reduce<B, kRare>(xin, ix_in));
  if constexpr (kRare) result = select(compare<Compare::ge>(ix_in, 0x7f800000), xin - xin, result);
  return result;
}

}  // namespace
}  // namespace zelto::ZELTO_ISA
