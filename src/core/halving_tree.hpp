// The halving tree that groups a canonical sum: a range of m >= 2 terms is the sum of its first
// floor(m/2) terms and of the rest, combined as left + right; a range of one term is that term.
// Its value depends on the terms alone, never on how the work was divided.
#pragma once

#include <cstddef>

namespace zelto {
// Internal linkage: kernels compiled once per instruction set instantiate these with their own
// types, and no copy may be shared between the variants' objects.
namespace {

// The first unit of the right half of [begin, end), end - begin >= 2.
constexpr std::size_t halving_middle(std::size_t begin, std::size_t end) noexcept {
  return begin + (end - begin) / 2;
}

// The tree over term(Lo) .. term(Hi - 1), unrolled at compile time; term returns a float or a
// vector of floats.
template <std::size_t Lo, std::size_t Hi, class Term>
[[gnu::always_inline]] inline auto halving_sum(const Term& term) noexcept {
  static_assert(Hi > Lo, "a tree has at least one term");
  if constexpr (Hi - Lo == 1) {
    return term(Lo);
  } else {
    constexpr std::size_t kMiddle = halving_middle(Lo, Hi);
    const auto left = halving_sum<Lo, kMiddle>(term);
    return left + halving_sum<kMiddle, Hi>(term);
  }
}

}  // namespace
}  // namespace zelto
