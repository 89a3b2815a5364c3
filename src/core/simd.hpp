// Vector types for kernel files compiled once per instruction set (see core/isa.hpp), and the
// small helpers they would otherwise take from the standard library. Such a file is built with
// ZELTO_ISA set to the namespace name (baseline, avx2, ...) and ZELTO_VEC_BYTES to the register
// width that instruction set offers.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#if !defined(ZELTO_ISA) || !defined(ZELTO_VEC_BYTES)
#error "simd.hpp is only for kernel files compiled per instruction set"
#endif

namespace zelto::ZELTO_ISA {

inline constexpr std::size_t kLanes = ZELTO_VEC_BYTES / sizeof(float);

// One register of floats; element-wise + - * / are single IEEE operations per lane.
typedef float VecF __attribute__((vector_size(ZELTO_VEC_BYTES)));

// Unaligned load and store: memcpy compiles to one vector move.
inline VecF load(const float* p) noexcept {
  VecF v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store(float* p, VecF v) noexcept { std::memcpy(p, &v, sizeof v); }

namespace detail {
template <std::size_t... I>
inline VecF splat_lane0(VecF v, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(v, v, (I * 0)...);
}
}  // namespace detail

// Broadcast without arithmetic, so -0.0 and NaN payloads are copied unchanged. A shuffle of
// lane 0 compiles to one broadcast instruction; a per-lane store loop does not.
inline VecF splat(float x) noexcept {
  return detail::splat_lane0(VecF{x}, std::make_index_sequence<kLanes>{});
}

// The helpers below stand in for std::size and std::bit_cast: a standard template instantiated
// here and left out of line (as in a Debug build) would be a weak symbol that the linker may
// resolve to another variant's copy, compiled for instructions this processor lacks.

// The number of elements of an array.
template <class T, std::size_t N>
constexpr std::size_t count_of(const T (&)[N]) noexcept {
  return N;
}

// The bits of from as a To of the same size.
template <class To, class From>
constexpr To bit_cast(const From& from) noexcept {
  return __builtin_bit_cast(To, from);
}

}  // namespace zelto::ZELTO_ISA
