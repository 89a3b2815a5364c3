// The lockstep leaf: groups of elements advanced together through the C library's calls.
#include "heavy/lockstep.hpp"

#include <algorithm>

namespace zelto::heavy {

// Groups of kLockstep elements (the last one shorter) each run their chains together; the
// finished terms are added one by one in index order, exactly as the plain loop adds them.
float leaf_sum_lockstep(const float* in, std::size_t count, std::uint64_t iterations,
                        float acc) noexcept {
  float x[kLockstep];
  for (std::size_t first = 0; first < count; first += kLockstep) {
    const std::size_t width = std::min(kLockstep, count - first);
    std::copy_n(in + first, width, x);
    advance_together(x, width, iterations);
    for (std::size_t k = 0; k < width; ++k) acc = acc + x[k];
  }
  return acc;
}

void terms_lockstep(const float* in, std::size_t count, std::uint64_t iterations,
                    float* out) noexcept {
  for (std::size_t first = 0; first < count; first += kLockstep) {
    const std::size_t width = std::min(kLockstep, count - first);
    std::copy_n(in + first, width, out + first);
    advance_together(out + first, width, iterations);
  }
}

}  // namespace zelto::heavy
