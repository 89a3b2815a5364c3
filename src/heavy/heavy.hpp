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

// Each element's term: out[i] = term(in[i]) for i < count.
using HeavyTerms = void (*)(const float* in, std::size_t count, std::uint64_t iterations,
                            float* out) noexcept;

// Sum over all elements of their terms with heavy_kernels(), grouped as grouping says, a NaN
// sum returned as the canonical NaN; interrupt is asked while the pool works (see
// core/interrupt.hpp).
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations,
                      Grouping grouping = Grouping::pool, InterruptCheck interrupt = nullptr);

// The pool-grouped sum with the given leaf, so tests and benches can compare leaves on equal
// terms.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, HeavyLeaf leaf);

// The canonically grouped sum with the given terms kernel, ns_per_unit the estimated cost of a
// term.
float canonical_heavy_sum(const FloatVec& data, std::uint64_t iterations, HeavyTerms terms,
                          double ns_per_unit, InterruptCheck interrupt = nullptr);

// The two forms of the chain every call uses, decided at the first one: the vector chain of
// the widest instruction set when heavy::libm_mirrored confirms it, otherwise the lockstep
// library calls.
struct HeavyKernels {
  HeavyLeaf leaf_sum;
  HeavyTerms terms;
};
const HeavyKernels& heavy_kernels() noexcept;

// The leaf of heavy_kernels().
HeavyLeaf heavy_leaf() noexcept;

// True when heavy_leaf() is a vector chain.
bool heavy_leaf_is_vector() noexcept;

}  // namespace zelto
