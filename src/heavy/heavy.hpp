// The trigonometric reduction behind run_heavy_logic, in plain C++.
#pragma once

#include <cstdint>

#include "core/float_vec.hpp"

namespace zelto {

// Sum over elements of |tanf(cosf(sinf(x)))| applied `iterations` times, 32-bit throughout.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations);

}  // namespace zelto
