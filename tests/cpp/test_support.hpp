// Helpers shared by the operation and kernel tests: bit-exact float comparison and the message
// of a fatal error.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/fatal.hpp"

namespace zelto::testing_support {

// Same bits, or NaN on both sides (x86 may pick either NaN operand's payload).
inline bool same_bits(float got, float want) {
  return (std::isnan(got) && std::isnan(want)) ||
         std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
}

// Index of the first element whose bits differ (NaN matches any NaN), 0 when the lengths
// differ, or -1 when the vectors match.
inline long first_difference(const std::vector<float>& got, const std::vector<float>& want) {
  if (got.size() != want.size()) return 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!same_bits(got[i], want[i])) return static_cast<long>(i);
  }
  return -1;
}

// The message of the FatalError that f throws, or "" when it returns.
template <class F>
std::string fatal_message(F&& f) {
  try {
    f();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "";
}

}  // namespace zelto::testing_support
