// Element types read straight from another container's memory, and their conversion to float32.
//
// Each conversion gives, element for element, the 32-bit float that reading the element as a
// Python number and rounding that number's double to 32 bits gives:
//   bool          byte != 0 -> 1.0, else 0.0
//   integers      widened to double (rounded to nearest above 2^53), then rounded to float
//   float16       exact in float32; a NaN comes out quiet, its payload kept
//   float32       unchanged, except that a signalling NaN comes out quiet (as through a double)
//   float64       rounded to nearest float32
// The kernels are compiled once per instruction set (core/isa.hpp); all variants agree bit for
// bit with the element-at-a-time loop, which is what the strided form runs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

namespace zelto {

enum class ElementType : std::uint8_t { boolean, i8, i16, i32, i64, u8, u16, u32, u64, f16, f32, f64 };
inline constexpr int kElementTypeCount = 12;

// Bytes of one element of type.
std::size_t element_size(ElementType type) noexcept;

// Converts count elements of type into dst: the first at src, each next one stride bytes after
// the previous (stride may be negative, zero, or unaligned to the element). dst holds count.
using ElementCast = void (*)(ElementType type, const std::byte* src, std::ptrdiff_t stride,
                             std::size_t count, float* dst) noexcept;

// The conversion compiled for isa; the caller checks isa_available(isa) before running it.
ElementCast element_cast(Isa isa) noexcept;

// The conversion of chosen_isa(), chosen at the first call.
ElementCast element_cast() noexcept;

}  // namespace zelto

// Declares one instruction set's conversion in the namespace of that name.
#define ZELTO_ELEMENT_CAST(isa)                                                       \
  namespace zelto::isa {                                                              \
  void cast_elements(ElementType type, const std::byte* src, std::ptrdiff_t stride,   \
                     std::size_t count, float* dst) noexcept;                         \
  }

ZELTO_FOR_EACH_ISA(ZELTO_ELEMENT_CAST)
