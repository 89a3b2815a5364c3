// Element conversions to float32, one loop per element type. The contiguous loops are plain
// element-at-a-time code that the compiler turns into whole-register conversions for the
// instruction set of this variant (cvtpd2ps, vcvtqq2pd and the like, each one IEEE rounding
// per lane); the strided loops read one element per step. Both apply the same per-element
// function, so every variant and both forms agree bit for bit.
#include <cstdint>
#include <cstring>

#include "core/element_cast.hpp"
#include "core/simd.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// The element's value as a double, rounded once to float32. Integers of up to 32 bits are exact
// in a double, so there the two roundings are one; 64-bit integers round twice, as a Python int
// turned into a float and then stored would.
template <class Int>
inline float from_integer(Int x) noexcept {
  return static_cast<float>(static_cast<double>(x));
}

inline float from_bool(std::uint8_t x) noexcept { return x != 0 ? 1.0f : 0.0f; }

// Widening a float32 to a double sets the quiet bit of a signalling NaN and keeps its payload;
// the double's rounding back to float32 is exact. Done on the bits, so no compiler folds it away.
inline float from_f32(std::uint32_t bits) noexcept {
  const bool nan = (bits & 0x7fffffffu) > 0x7f800000u;
  return bit_cast<float>(nan ? bits | 0x00400000u : bits);
}

inline float from_f64(double x) noexcept { return static_cast<float>(x); }

// float16 to float32 exactly: infinities and NaNs keep sign and payload (a NaN comes out quiet),
// normal numbers move their exponent from bias 15 to bias 127, subnormals are m * 2^-24.
inline float from_f16(std::uint16_t half) noexcept {
  const std::uint32_t sign = std::uint32_t{half & 0x8000u} << 16;
  const std::uint32_t magnitude = half & 0x7fffu;
  const std::uint32_t mantissa = magnitude & 0x3ffu;
  std::uint32_t bits;
  if (magnitude >= 0x7c00u) {
    bits = 0x7f800000u | (mantissa << 13) | (mantissa != 0 ? 0x00400000u : 0u);
  } else if (magnitude >= 0x0400u) {
    bits = (magnitude << 13) + (std::uint32_t{127 - 15} << 23);
  } else {
    bits = bit_cast<std::uint32_t>(static_cast<float>(magnitude) * 0x1p-24f);
  }
  return bit_cast<float>(sign | bits);
}

// Applies cast to count elements of type T; memcpy reads elements at any alignment.
template <class T, class Cast>
inline void convert(const std::byte* __restrict src, std::ptrdiff_t stride, std::size_t count,
                    float* __restrict dst, Cast cast) noexcept {
  if (stride == static_cast<std::ptrdiff_t>(sizeof(T))) {
    for (std::size_t i = 0; i < count; ++i) {
      T x;
      std::memcpy(&x, src + i * sizeof(T), sizeof(T));
      dst[i] = cast(x);
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    T x;
    std::memcpy(&x, src + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
    dst[i] = cast(x);
  }
}

}  // namespace

void cast_elements(ElementType type, const std::byte* src, std::ptrdiff_t stride,
                   std::size_t count, float* dst) noexcept {
  switch (type) {
    case ElementType::boolean:
      return convert<std::uint8_t>(src, stride, count, dst, from_bool);
    case ElementType::i8:
      return convert<std::int8_t>(src, stride, count, dst, from_integer<std::int8_t>);
    case ElementType::i16:
      return convert<std::int16_t>(src, stride, count, dst, from_integer<std::int16_t>);
    case ElementType::i32:
      return convert<std::int32_t>(src, stride, count, dst, from_integer<std::int32_t>);
    case ElementType::i64:
      return convert<std::int64_t>(src, stride, count, dst, from_integer<std::int64_t>);
    case ElementType::u8:
      return convert<std::uint8_t>(src, stride, count, dst, from_integer<std::uint8_t>);
    case ElementType::u16:
      return convert<std::uint16_t>(src, stride, count, dst, from_integer<std::uint16_t>);
    case ElementType::u32:
      return convert<std::uint32_t>(src, stride, count, dst, from_integer<std::uint32_t>);
    case ElementType::u64:
      return convert<std::uint64_t>(src, stride, count, dst, from_integer<std::uint64_t>);
    case ElementType::f16:
      return convert<std::uint16_t>(src, stride, count, dst, from_f16);
    case ElementType::f32:
      return convert<std::uint32_t>(src, stride, count, dst, from_f32);
    case ElementType::f64:
      return convert<double>(src, stride, count, dst, from_f64);
  }
}

}  // namespace zelto::ZELTO_ISA
