// The leaf kernels of the heavy reduction: lockstep over a small group of elements, and the
// plain one-element loop it must reproduce bit for bit.
#include <algorithm>

#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "heavy/lockstep.hpp"

namespace zelto {

// Groups of kLockstep elements (the last one shorter) each run their chains together; the
// finished terms are added one by one in index order, exactly as the plain loop adds them.
float heavy_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations, float acc) {
  float x[heavy::kLockstep];
  for (std::size_t first = 0; first < count; first += heavy::kLockstep) {
    const std::size_t width = std::min(heavy::kLockstep, count - first);
    std::copy_n(in + first, width, x);
    heavy::advance_together(x, width, iterations);
    for (std::size_t k = 0; k < width; ++k) acc = acc + x[k];
  }
  return acc;
}

// One element at a time: its whole chain, then its term.
float heavy_leaf_sum_plain(const float* in, std::size_t count, std::uint64_t iterations,
                           float acc) {
  for (std::size_t i = 0; i < count; ++i) {
    float x = in[i];
    for (std::uint64_t r = 0; r < iterations; ++r) x = heavy::chain_step(x);
    acc = acc + x;
  }
  return acc;
}

}  // namespace zelto
