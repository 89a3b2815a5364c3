// TEMPORARY plain loop until the lockstep kernel lands.
#include <cmath>
#include <cstring>

#include "heavy/heavy.hpp"
#include "parallel/parallel.hpp"

namespace zelto {

float run_heavy_logic(const FloatVec& data, std::uint64_t iterations) {
  return parallel_map_sum(
      data,
      [iterations](float x) {
        for (std::uint64_t r = 0; r < iterations; ++r) {
          x = std::tan(std::cos(std::sin(x)));
          std::uint32_t bits;
          std::memcpy(&bits, &x, sizeof bits);
          bits &= 0x7FFFFFFFu;
          std::memcpy(&x, &bits, sizeof x);
        }
        return x;
      },
      50.0);
}

}  // namespace zelto
