// Full-batch gradient descent: one parallel gradient pass per step, then the parameter update.
#include <algorithm>

#include "parallel/parallel.hpp"
#include "solver/index_error.hpp"
#include "solver/solver.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

// Measured cost of one row: about 0.15 ns per column (transposed dot product and update).
double row_cost_ns(std::size_t m) { return 3.0 + 0.15 * static_cast<double>(m); }

// A piece's sums: a_j = sum of e_i * x_ij, a_b = sum of e_i over the piece's rows.
struct Gradient {
  FloatVec a;
  float a_b = 0.0f;
};

// Leaves of fewer rows than this (two blocks of the kernels) are folded from errors predicted
// for all rows a thread folds, in one call, instead of one fused call per leaf: a pool of many
// more workers than processors cuts a pass into leaves of one or a few rows.
constexpr std::size_t kSmallLeafRows = 16;

// The gradient pass's accumulator operations, at the current parameters.
struct GradientOps {
  const SolverKernels& k;
  const Matrix& x;
  const FloatVec& y;
  const FloatVec& w;
  float b;

  Gradient identity() const { return Gradient{FloatVec::zeros(x.cols), 0.0f}; }

  // acc <- reduce(identity(), folded): the rows with a target folded from zero, each sum then
  // added onto +0.0 (turning -0.0 into +0.0); the first row without a target is the error,
  // raised before it touches the accumulator.
  void leaf(Gradient& acc, std::size_t first, std::size_t end) const {
    const std::size_t stop = with_target(first, end);
    std::fill(acc.a.begin(), acc.a.end(), 0.0f);
    acc.a_b = k.gradient_rows(row(first), stop - first, x.cols, w.data(), b, y.data() + first,
                              acc.a.data(), 0.0f);
    if (stop < end) index_out_of_bounds(y.size(), stop);
    for (float& v : acc.a) v = 0.0f + v;
    acc.a_b = 0.0f + acc.a_b;
  }

  void reduce_into(Gradient& left, Gradient& right) const noexcept {
    k.add_into(left.a.data(), right.a.data(), x.cols);
    left.a_b = left.a_b + right.a_b;
  }

  // The rows [first, end) that one thread folds leaf by leaf: a piece below the pool's cut-offs
  // for running whole on one thread (at most about 10,000 rows), so its errors take a few KiB.
  struct Local {
    const GradientOps& ops;
    std::size_t first;
    std::size_t end;
    FloatVec errors;  // e_i of row first + i, once a small leaf needs them

    // Small leaves use the errors predicted for all rows here at their first use: each row's
    // error is the same whichever leaf holds it.
    void leaf(Gradient& acc, std::size_t begin, std::size_t stop_at) {
      if (stop_at - begin >= kSmallLeafRows) return ops.leaf(acc, begin, stop_at);
      if (errors.empty()) predict_errors();
      const std::size_t stop = ops.with_target(begin, stop_at);
      if (stop < stop_at) index_out_of_bounds(ops.y.size(), stop);
      acc.a_b = ops.k.leaf_from_errors(ops.row(begin), stop - begin, ops.x.cols,
                                       errors.data() + (begin - first), acc.a.data());
    }

    // e_i = p_i - y_i for the rows with a target; the rest (and the padding that lets the
    // kernel read whole blocks) are never used.
    void predict_errors() {
      const std::size_t rows = end - first;
      errors = FloatVec::zeros(rows + kErrorBlock);
      ops.k.predict_rows(ops.row(first), rows, ops.x.cols, ops.w.data(), ops.b, errors.data());
      const std::size_t stop = ops.with_target(first, end);
      for (std::size_t i = first; i < stop; ++i) errors[i - first] = errors[i - first] - ops.y[i];
    }
  };

  Local local(std::size_t first, std::size_t end) const { return Local{*this, first, end, {}}; }

  // Row i of X.
  const float* row(std::size_t i) const noexcept { return x.data.data() + i * x.cols; }

  // The end of the rows in [first, end) that have a target.
  std::size_t with_target(std::size_t first, std::size_t end) const noexcept {
    return std::min(end, std::max(first, y.size()));
  }
};

// The canonical sums of a range of rows: the halving tree down to single rows, each row's
// (e * x_ij) added onto +0.0 twice as a one-row leaf of the fold is.
struct CanonicalOps {
  const GradientOps& plain;

  Gradient identity() const { return plain.identity(); }

  void leaf(Gradient& acc, std::size_t first, std::size_t end) const {
    const std::size_t m = plain.x.cols;
    if (end - first == 1) {
      if (first >= plain.y.size()) index_out_of_bounds(plain.y.size(), plain.y.size());
      const float* row = plain.row(first);
      float p = plain.b;
      for (std::size_t j = 0; j < m; ++j) p = p + plain.w[j] * row[j];
      const float e = p - plain.y[first];
      for (std::size_t j = 0; j < m; ++j) acc.a[j] = 0.0f + ((e * row[j]) + 0.0f);
      acc.a_b = 0.0f + (0.0f + e);
      return;
    }
    const std::size_t middle = first + (end - first) / 2;
    Gradient right = identity();
    leaf(acc, first, middle);
    leaf(right, middle, end);
    reduce_into(acc, right);
  }

  void reduce_into(Gradient& left, Gradient& right) const noexcept {
    plain.reduce_into(left, right);
  }
};

// The sums (g, g_b) over all rows at the current parameters, grouped as grouping says.
Gradient gradient_pass(const SolverKernels& k, const Matrix& x, const FloatVec& y,
                       const FloatVec& w, float b, Grouping grouping) {
  GradientOps ops{k, x, y, w, b};
  if (grouping == Grouping::canonical) {
    CanonicalOps canonical{ops};
    return parallel_fold_reduce_leaves(0, x.rows, canonical, row_cost_ns(x.cols));
  }
  return parallel_fold_reduce_leaves(0, x.rows, ops, row_cost_ns(x.cols));
}

}  // namespace

void fit(Solver& s, const Matrix& x, const FloatVec& y, InterruptCheck) {
  const std::size_t m = x.cols;
  s.weights = FloatVec::zeros(m);
  s.bias = 0.0f;
  const SolverKernels& k = solver_kernels();
  const float n_f = static_cast<float>(x.rows);
  for (std::uint64_t step = 0; step < s.iters; ++step) {
    const Gradient g = gradient_pass(k, x, y, s.weights, s.bias, s.grouping);
    k.descend(s.weights.data(), g.a.data(), m, n_f, s.lr);
    s.bias = s.bias - ((g.a_b / n_f) * s.lr);
  }
}

GradientSums gradient_sums(const Solver& s, const Matrix& x, const FloatVec& y) {
  Gradient g = gradient_pass(solver_kernels(), x, y, s.weights, s.bias, Grouping::canonical);
  return GradientSums{std::move(g.a), g.a_b};
}

}  // namespace zelto
