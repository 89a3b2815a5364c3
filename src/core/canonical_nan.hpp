// The one NaN the module's arithmetic returns.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace zelto {

// The quiet NaN with clear sign and payload. Which operand's payload an IEEE addition or
// multiplication passes on is left open by C++ (compilers commute such operations), and x86-64
// and ARM make different NaNs of their own (0xffc00000 and 0x7fc00000), so results are stored
// with this one NaN to have the same bits on every variant and processor.
inline constexpr std::uint32_t kCanonicalNanBits = 0x7fc00000u;

// v, or the canonical NaN when v is a NaN.
inline float canonical_nan(float v) noexcept {
  return v != v ? std::bit_cast<float>(kCanonicalNanBits) : v;
}

// canonical_nan on each of v[0 .. n).
inline void canonicalize_nans(float* v, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) v[i] = canonical_nan(v[i]);
}

}  // namespace zelto
