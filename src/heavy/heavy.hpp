// The trigonometric reduction behind run_heavy_logic.
//
// Each element runs `iterations` repetitions of x <- |tanf(cosf(sinf(x)))| in single precision
// (C library calls, sign bit cleared by mask, NaN included); the terms are summed in 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/float_vec.hpp"

namespace zelto {

// Sum over all elements of their terms, divided over the worker pool.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations);

// One leaf of the sum: acc + term(in[0]) + term(in[1]) + ..., added in index order. Advances
// several elements in lockstep so the latency of their library calls overlaps.
float heavy_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations, float acc);

// The same leaf one element at a time: the plain definition the lockstep kernel must match.
float heavy_leaf_sum_plain(const float* in, std::size_t count, std::uint64_t iterations,
                           float acc);

}  // namespace zelto
