// The register layer of the vector trigonometric kernels: the vector types of one register
// width, and the single instructions, lane masks, selections, loads and stores the kernels are
// written in, for the 256-bit registers of AVX2 and the 512-bit ones of AVX-512.
//
// Only for trig_simd.cpp, compiled per instruction set with AVX2 and FMA at least. Everything
// here has internal linkage, so no variant's object defines a copy another variant could use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include <immintrin.h>

#if !defined(ZELTO_ISA) || !defined(ZELTO_VEC_BYTES) || !defined(__AVX2__) || !defined(__FMA__)
#error "register_width.hpp is only for kernel files compiled with AVX2 and FMA"
#endif

namespace zelto::ZELTO_ISA {
namespace {

#define ZELTO_INLINE [[gnu::always_inline]] inline

// The vector types of one register width B (bytes): B / 4 floats or 32-bit integers fill it,
// and the double-precision steps run on each half of it, whose B / 8 floats widen to a full
// register of doubles.
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

// The register this instruction set is built for, and the 256-bit one that short runs and the
// tails of AVX-512 runs use (the same register on AVX2).
constexpr std::size_t kRegisterBytes = ZELTO_VEC_BYTES;
constexpr std::size_t kTailBytes = 32;
static_assert(kRegisterBytes == kTailBytes || kRegisterBytes == 64);

using W256 = Width<32>;
#if ZELTO_VEC_BYTES == 64
using W512 = Width<64>;
#endif

// The float with the given bits, and the bits of a float, as compile-time constants.
constexpr float float_of(std::uint32_t bits) noexcept { return __builtin_bit_cast(float, bits); }
constexpr std::int32_t bits_of(float x) noexcept { return __builtin_bit_cast(std::int32_t, x); }

// A register's floats as their bits and back.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F from_bits(typename Width<B>::I v) noexcept {
  return reinterpret_cast<typename Width<B>::F>(v);
}
template <std::size_t B>
ZELTO_INLINE typename Width<B>::I to_bits(typename Width<B>::F v) noexcept {
  return reinterpret_cast<typename Width<B>::I>(v);
}

// Each width's single instructions: a * b + c and c - a * b with one rounding; a half register
// of floats or integers converted to doubles, or 32-bit integers sign-extended to 64-bit lanes
// (so a lane mask stays a lane mask); doubles rounded to the nearest float or truncated toward
// zero (INT_MIN when out of range). The generic vector conversions would split them in two.
ZELTO_INLINE W256::D fused_mul_add(W256::D a, W256::D b, W256::D c) noexcept {
  return _mm256_fmadd_pd(a, b, c);
}
ZELTO_INLINE W256::D fused_neg_mul_add(W256::D a, W256::D b, W256::D c) noexcept {
  return _mm256_fnmadd_pd(a, b, c);
}
ZELTO_INLINE W256::D to_double(W256::HalfF v) noexcept {
  return _mm256_cvtps_pd(reinterpret_cast<__m128>(v));
}
ZELTO_INLINE W256::D to_double(W256::HalfI v) noexcept {
  return _mm256_cvtepi32_pd(reinterpret_cast<__m128i>(v));
}
ZELTO_INLINE W256::L sign_extend(W256::HalfI m) noexcept {
  return reinterpret_cast<W256::L>(_mm256_cvtepi32_epi64(reinterpret_cast<__m128i>(m)));
}
ZELTO_INLINE W256::HalfF round_to_float(W256::D v) noexcept {
  return reinterpret_cast<W256::HalfF>(_mm256_cvtpd_ps(v));
}
ZELTO_INLINE W256::HalfI truncate_to_int(W256::D v) noexcept {
  return reinterpret_cast<W256::HalfI>(_mm256_cvttpd_epi32(v));
}

#if ZELTO_VEC_BYTES == 64
ZELTO_INLINE W512::D fused_mul_add(W512::D a, W512::D b, W512::D c) noexcept {
  return _mm512_fmadd_pd(a, b, c);
}
ZELTO_INLINE W512::D fused_neg_mul_add(W512::D a, W512::D b, W512::D c) noexcept {
  return _mm512_fnmadd_pd(a, b, c);
}
ZELTO_INLINE W512::D to_double(W512::HalfF v) noexcept {
  return _mm512_cvtps_pd(reinterpret_cast<__m256>(v));
}
ZELTO_INLINE W512::D to_double(W512::HalfI v) noexcept {
  return _mm512_cvtepi32_pd(reinterpret_cast<__m256i>(v));
}
ZELTO_INLINE W512::L sign_extend(W512::HalfI m) noexcept {
  return reinterpret_cast<W512::L>(_mm512_cvtepi32_epi64(reinterpret_cast<__m256i>(m)));
}
ZELTO_INLINE W512::HalfF round_to_float(W512::D v) noexcept {
  return reinterpret_cast<W512::HalfF>(_mm512_cvtpd_ps(v));
}
ZELTO_INLINE W512::HalfI truncate_to_int(W512::D v) noexcept {
  return reinterpret_cast<W512::HalfI>(_mm512_cvttpd_epi32(v));
}
#endif

// Lanes of a half register's integers with some of `bits` set, as the mask that selects among
// that half's doubles, and the selection itself: AVX2 sign-extends the integers to 64-bit lanes
// and compares them, AVX-512 tests the 32-bit integers straight into a mask register.
ZELTO_INLINE W256::L any_bits(W256::HalfI v, std::int32_t bits) noexcept {
  return sign_extend(v & bits) != 0;
}
ZELTO_INLINE W256::D select(W256::L mask, W256::D a, W256::D b) noexcept { return mask ? a : b; }
ZELTO_INLINE W256::L invert(W256::L mask) noexcept { return ~mask; }
ZELTO_INLINE W256::L both(W256::L m1, W256::L m2) noexcept { return m1 & m2; }
ZELTO_INLINE W256::D negate_where(W256::L mask, W256::D v) noexcept { return mask ? -v : v; }

#if ZELTO_VEC_BYTES == 64
ZELTO_INLINE __mmask8 any_bits(W512::HalfI v, std::int32_t bits) noexcept {
  return _mm256_test_epi32_mask(reinterpret_cast<__m256i>(v), _mm256_set1_epi32(bits));
}
ZELTO_INLINE W512::D select(__mmask8 mask, W512::D a, W512::D b) noexcept {
  return _mm512_mask_blend_pd(mask, b, a);
}
ZELTO_INLINE __mmask8 invert(__mmask8 mask) noexcept { return _knot_mask8(mask); }
ZELTO_INLINE __mmask8 both(__mmask8 m1, __mmask8 m2) noexcept { return _kand_mask8(m1, m2); }
ZELTO_INLINE W512::D negate_where(__mmask8 mask, W512::D v) noexcept {
  return _mm512_mask_xor_pd(v, mask, v, _mm512_set1_pd(-0.0));
}
#endif

// Comparisons of a whole register's 32-bit integers with a constant, giving the lane mask the
// instruction set selects with: a vector of all-ones or zero lanes for AVX2, a mask register
// for AVX-512 (through the generic vector comparison, GCC fills a vector from the mask
// register and tests it back, two more instructions a mask); and the selections and tests.
enum class Compare { eq, ne, lt, le, ge };

template <Compare kOp>
ZELTO_INLINE W256::I compare(W256::I a, std::int32_t b) noexcept {
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
ZELTO_INLINE W256::F select(W256::I mask, W256::F a, W256::F b) noexcept { return mask ? a : b; }
ZELTO_INLINE W256::I select(W256::I mask, W256::I a, W256::I b) noexcept { return mask ? a : b; }
ZELTO_INLINE W256::I both(W256::I m1, W256::I m2) noexcept { return m1 & m2; }

#if ZELTO_VEC_BYTES == 64
template <Compare kOp>
ZELTO_INLINE __mmask16 compare(W512::I a, std::int32_t b) noexcept {
  constexpr auto kPredicate = kOp == Compare::eq   ? _MM_CMPINT_EQ
                              : kOp == Compare::ne ? _MM_CMPINT_NE
                              : kOp == Compare::lt ? _MM_CMPINT_LT
                              : kOp == Compare::le ? _MM_CMPINT_LE
                                                   : _MM_CMPINT_NLT;
  return _mm512_cmp_epi32_mask(reinterpret_cast<__m512i>(a), _mm512_set1_epi32(b), kPredicate);
}
ZELTO_INLINE W512::F select(__mmask16 mask, W512::F a, W512::F b) noexcept {
  return _mm512_mask_blend_ps(mask, b, a);
}
ZELTO_INLINE W512::I select(__mmask16 mask, W512::I a, W512::I b) noexcept {
  return reinterpret_cast<W512::I>(_mm512_mask_blend_epi32(
      mask, reinterpret_cast<__m512i>(b), reinterpret_cast<__m512i>(a)));
}
ZELTO_INLINE __mmask16 both(__mmask16 m1, __mmask16 m2) noexcept { return _kand_mask16(m1, m2); }
#endif

// Lane mask bits (bit k for lane k), so a whole register can branch on its lanes: from a vector
// comparison result of 128 or 256 bits, or from an AVX-512 mask register.
template <class M>
ZELTO_INLINE unsigned lane_bits(M m) noexcept {
  static_assert(sizeof(M) == 32 || sizeof(M) == 16);
  if constexpr (sizeof(M) == 32) {
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
  } else {
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
  }
}
#if ZELTO_VEC_BYTES == 64
ZELTO_INLINE unsigned lane_bits(__mmask16 mask) noexcept { return mask; }
#endif

// Every lane of a vector V set to x.
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

// The first `count` floats at p (0 < count <= lanes) in a register whose other lanes hold pad,
// and the store of a register's first `count` lanes: masked moves, which touch no memory past
// those lanes, so a short run costs no copies through a buffer.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F load_first(const float* p, std::size_t count,
                                             float pad) noexcept {
  using F = typename Width<B>::F;
#if ZELTO_VEC_BYTES == 64
  const auto mask = static_cast<unsigned>((1u << count) - 1);
  if constexpr (B == 64) {
    return reinterpret_cast<F>(_mm512_mask_loadu_ps(_mm512_set1_ps(pad), mask, p));
  } else {
    return reinterpret_cast<F>(_mm256_mask_loadu_ps(_mm256_set1_ps(pad), mask, p));
  }
#else
  static_assert(B == 32);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
  return reinterpret_cast<F>(_mm256_blendv_ps(_mm256_set1_ps(pad), _mm256_maskload_ps(p, mask),
                                              _mm256_castsi256_ps(mask)));
#endif
}

template <std::size_t B>
ZELTO_INLINE void store_first(float* p, std::size_t count, typename Width<B>::F v) noexcept {
#if ZELTO_VEC_BYTES == 64
  const auto mask = static_cast<unsigned>((1u << count) - 1);
  if constexpr (B == 64) {
    _mm512_mask_storeu_ps(p, static_cast<__mmask16>(mask), reinterpret_cast<__m512>(v));
  } else {
    _mm256_mask_storeu_ps(p, static_cast<__mmask8>(mask), reinterpret_cast<__m256>(v));
  }
#else
  static_assert(B == 32);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lanes);
  _mm256_maskstore_ps(p, mask, reinterpret_cast<__m256>(v));
#endif
}

// The low and high halves of a register, and a register joined from two halves.
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

}  // namespace
}  // namespace zelto::ZELTO_ISA
