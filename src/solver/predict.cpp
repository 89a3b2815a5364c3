// Predictions for every row of a matrix, a block of rows per kernel call.
#include "core/canonical_nan.hpp"
#include "parallel/parallel.hpp"
#include "solver/index_error.hpp"
#include "solver/solver.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

// Measured cost of one row: about 0.09 ns per column of transposed dot product.
double row_cost_ns(std::size_t m) { return 2.0 + 0.09 * static_cast<double>(m); }

}  // namespace

FloatVec predict(const Solver& s, const Matrix& x) {
  const std::size_t m = x.cols;
  const SolverKernels& k = solver_kernels();
  const float* data = x.data.data();
  return parallel_map_chunks_leaves(
      x.data, m,
      [&](std::size_t first, std::size_t end, float* out) {
        // Every row needs weights 0 .. m-1; the first missing one is at len(weights).
        if (first == end) return;
        if (s.weights.size() < m) index_out_of_bounds(s.weights.size(), s.weights.size());
        k.predict_rows(data + first * m, end - first, m, s.weights.data(), s.bias, out);
        canonicalize_nans(out, end - first);
      },
      row_cost_ns(m));
}

}  // namespace zelto
