// run_heavy_logic: the lockstep leaf kernel summed over the worker pool.
#include "heavy/heavy.hpp"

#include "parallel/parallel.hpp"

namespace zelto {
namespace {

// Cost of one repetition of the chain for one element in lockstep, in ns, and of adding a term.
constexpr double kNsPerRepetition = 15.0;
constexpr double kNsPerTerm = 1.0;

}  // namespace

// Leaves start at -0.0 and pieces combine left + right (parallel_map_sum_leaves), so the
// result is -0.0 for empty data and the first term of a leaf passes unchanged.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations) {
  const double ns_per_unit = kNsPerTerm + kNsPerRepetition * static_cast<double>(iterations);
  return parallel_map_sum_leaves(
      data,
      [iterations](const float* in, std::size_t count, float acc) {
        return heavy_leaf_sum(in, count, iterations, acc);
      },
      ns_per_unit);
}

}  // namespace zelto
