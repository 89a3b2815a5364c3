// run_heavy_logic: the chosen leaf kernel summed over the worker pool.
#include "heavy/heavy.hpp"

#include "core/isa.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"
#include "parallel/parallel.hpp"

namespace zelto {
namespace {

// Cost of one repetition of the chain for one element, in ns, and of adding a term: the
// vector chain and the lockstep library calls, as measured here on one core.
constexpr double kNsPerRepetitionVector = 3.3;
constexpr double kNsPerRepetitionLockstep = 15.0;
constexpr double kNsPerTerm = 1.0;

}  // namespace

// Decided once: neither the processor nor the loaded C library changes under a process.
HeavyLeaf heavy_leaf() noexcept {
  static const HeavyLeaf leaf = [] {
    const Isa isa = chosen_isa();
    return heavy::libm_mirrored(isa) ? trig_kernels(isa).chain_leaf_sum
                                     : heavy::leaf_sum_lockstep;
  }();
  return leaf;
}

// The lockstep leaf is the only other choice.
bool heavy_leaf_is_vector() noexcept { return heavy_leaf() != heavy::leaf_sum_lockstep; }

namespace {

// The halving tree of [in, in + count) down to single terms, each a one-term leaf from -0.0.
float canonical_sum(const float* in, std::size_t count, std::uint64_t iterations, HeavyLeaf leaf) {
  if (count < 2) return leaf(in, count, iterations, -0.0f);
  const std::size_t half = count / 2;
  const float left = canonical_sum(in, half, iterations, leaf);
  return left + canonical_sum(in + half, count - half, iterations, leaf);
}

}  // namespace

float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, Grouping grouping,
                      InterruptCheck) {
  if (grouping == Grouping::pool) return run_heavy_logic(data, iterations, heavy_leaf());
  const HeavyLeaf leaf = heavy_leaf();
  return parallel_map_sum_leaves(
      data,
      [iterations, leaf](const float* in, std::size_t count, float) {
        return canonical_sum(in, count, iterations, leaf);
      },
      kNsPerTerm + kNsPerRepetitionVector * static_cast<double>(iterations));
}

// Leaves start at -0.0 and pieces combine left + right (parallel_map_sum_leaves), so the
// result is -0.0 for empty data and the first term of a leaf passes unchanged.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, HeavyLeaf leaf) {
  const double per_repetition =
      leaf == heavy_leaf() && heavy_leaf_is_vector() ? kNsPerRepetitionVector
                                                     : kNsPerRepetitionLockstep;
  const double ns_per_unit = kNsPerTerm + per_repetition * static_cast<double>(iterations);
  return parallel_map_sum_leaves(
      data,
      [iterations, leaf](const float* in, std::size_t count, float acc) {
        return leaf(in, count, iterations, acc);
      },
      ns_per_unit);
}

}  // namespace zelto
