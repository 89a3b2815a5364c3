// The trigonometric reduction behind run_heavy_logic.
//
// Each element runs `iterations` repetitions of x <- |tanf(cosf(sinf(x)))| in single precision
// (the C library's bits, sign bit cleared by mask, NaN included); the terms are summed in 32
// bits, each leaf from -0.0 in index order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_vec.hpp"
#include "core/grouping.hpp"
#include "core/interrupt.hpp"

namespace zelto {

// One leaf of the sum: acc + term(in[0]) + term(in[1]) + ..., added in index order.
using HeavyLeaf = float (*)(const float* in, std::size_t count, std::uint64_t iterations,
                            float acc) noexcept;

// Sum over all elements of their terms, grouped as grouping says, with heavy_leaf(); interrupt
// is asked while the pool works (see core/interrupt.hpp).
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations,
                      Grouping grouping = Grouping::pool, InterruptCheck interrupt = nullptr);

// The same sum with the given leaf, so tests and benches can compare leaves on equal terms.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, HeavyLeaf leaf);

// The leaf of every call, decided at the first one: the vector chain of the widest instruction
// set when heavy::libm_mirrored confirms it, otherwise the lockstep library calls.
HeavyLeaf heavy_leaf() noexcept;

// True when heavy_leaf() is a vector chain.
bool heavy_leaf_is_vector() noexcept;

}  // namespace zelto
