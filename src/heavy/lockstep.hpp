// The heavy leaf through the C library's scalar calls, several elements' chains advanced
// together so the latency of their calls overlaps.
#pragma once

#include <math.h>

#include <cstddef>
#include <cstdint>

#include "heavy/chain.hpp"

namespace zelto::heavy {

// Elements advanced together. Each chain is a serial run of library calls bound by their
// latency; eight independent chains keep the out-of-order core busy.
inline constexpr std::size_t kLockstep = 8;

// Runs `iterations` repetitions on each of x[0 .. width), width <= kLockstep, all elements
// stepping together; each element sees exactly the one-element sequence of calls. Each call
// kind runs across the group before the next, so the calls in flight are independent. Inline,
// so the compiler can unroll the full-width groups of the caller.
inline void advance_together(float* x, std::size_t width, std::uint64_t iterations) noexcept {
  for (std::uint64_t r = 0; r < iterations; ++r) {
    for (std::size_t k = 0; k < width; ++k) x[k] = ::sinf(x[k]);
    for (std::size_t k = 0; k < width; ++k) x[k] = ::cosf(x[k]);
    for (std::size_t k = 0; k < width; ++k) x[k] = ::tanf(x[k]);
    for (std::size_t k = 0; k < width; ++k) x[k] = clear_sign(x[k]);
  }
}

// acc + term(in[0]) + ... in index order, groups of kLockstep elements advanced together: the
// leaf wherever the vector kernels are not known to give the library's bits.
float leaf_sum_lockstep(const float* in, std::size_t count, std::uint64_t iterations,
                        float acc) noexcept;

// out[i] = term(in[i]) for i < count, groups of kLockstep elements advanced together.
void terms_lockstep(const float* in, std::size_t count, std::uint64_t iterations,
                    float* out) noexcept;

}  // namespace zelto::heavy
