// Full-batch gradient descent: one gradient pass per step, then the parameter update.
#include <cstdint>

#include "core/canonical_nan.hpp"
#include "solver/gradient.hpp"
#include "solver/solver.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

// Steps between two interrupt checks: about a millisecond of estimated work (at least one
// step), so a fit of tiny steps pays nothing measurable for them.
std::uint64_t steps_per_check(const Matrix& x) noexcept {
  const double step_ns = 1000.0 + static_cast<double>(x.rows) * row_cost_ns(x.cols);
  return step_ns >= 1e6 ? 1 : static_cast<std::uint64_t>(1e6 / step_ns);
}

}  // namespace

void fit(Solver& s, const Matrix& x, const FloatVec& y, InterruptCheck interrupt) {
  const std::size_t m = x.cols;
  s.weights = FloatVec::zeros(m);
  s.bias = 0.0f;
  const SolverKernels& k = solver_kernels();
  const float n_f = static_cast<float>(x.rows);
  const std::uint64_t check_every = steps_per_check(x);
  // The parameters leave every step with canonical NaNs, so an interrupted fit holds them too.
  for (std::uint64_t step = 0; step < s.iters; ++step) {
    if (interrupt != nullptr && step % check_every == 0 && step != 0) interrupt();
    const GradientSums g = gradient_pass(k, x, y, s.weights, s.bias, s.grouping, interrupt);
    k.descend(s.weights.data(), g.g.data(), m, n_f, s.lr);
    canonicalize_nans(s.weights.data(), m);
    s.bias = canonical_nan(s.bias - ((g.g_b / n_f) * s.lr));
  }
}

GradientSums gradient_sums(const Solver& s, const Matrix& x, const FloatVec& y) {
  GradientSums g = gradient_pass(solver_kernels(), x, y, s.weights, s.bias, Grouping::canonical);
  canonicalize_nans(g.g.data(), g.g.size());
  g.g_b = canonical_nan(g.g_b);
  return g;
}

}  // namespace zelto
