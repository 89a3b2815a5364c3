// The gradient pass over the worker pool. Both groupings fold the same per-row values
// e_i = p_i - y_i and e_i * x_ij; they differ only in how the sums are grouped: the pool's
// grouping folds each leaf of the pool's division row by row, the canonical one sums every
// piece as the halving tree down to single rows.
#include "solver/gradient.hpp"

#include <algorithm>
#include <cstddef>

#include "parallel/parallel.hpp"
#include "solver/index_error.hpp"

namespace zelto {
namespace {

// Leaves of fewer rows than this (two blocks of the kernels) are folded from errors predicted
// for all rows a thread folds, in one call, instead of one fused call per leaf: a pool of many
// more workers than processors cuts a pass into leaves of one or a few rows.
constexpr std::size_t kSmallLeafRows = 16;

// Rows and targets of one pass, at its parameters.
struct PassInput {
  const SolverKernels& k;
  const Matrix& x;
  const FloatVec& y;
  const FloatVec& w;
  float b;

  GradientSums identity() const { return GradientSums{FloatVec::zeros(x.cols), 0.0f}; }

  void reduce_into(GradientSums& left, GradientSums& right) const noexcept {
    k.add_into(left.g.data(), right.g.data(), x.cols);
    left.g_b = left.g_b + right.g_b;
  }

  // Row i of X.
  const float* row(std::size_t i) const noexcept { return x.data.data() + i * x.cols; }

  // The end of the rows in [first, end) that have a target.
  std::size_t with_target(std::size_t first, std::size_t end) const noexcept {
    return std::min(end, std::max(first, y.size()));
  }
};

// Each sum of a finished leaf added onto +0.0, as reduce(identity(), sums) does.
void seal(GradientSums& acc, std::size_t m) noexcept {
  for (std::size_t j = 0; j < m; ++j) acc.g[j] = 0.0f + acc.g[j];
  acc.g_b = 0.0f + acc.g_b;
}

// The pool's grouping: each leaf folds its rows in ascending order.
struct RowFoldOps : PassInput {
  // acc <- reduce(identity(), folded): the rows with a target folded from zero, then sealed;
  // the first row without a target is the error, raised before it touches the accumulator.
  void leaf(GradientSums& acc, std::size_t first, std::size_t end) const {
    const std::size_t stop = with_target(first, end);
    std::fill(acc.g.begin(), acc.g.end(), 0.0f);
    if (stop > first) {
      acc.g_b = k.gradient_rows(row(first), stop - first, x.cols, w.data(), b, y.data() + first,
                                acc.g.data(), 0.0f);
    } else {
      acc.g_b = 0.0f;
    }
    if (stop < end) index_out_of_bounds(y.size(), stop);
    seal(acc, x.cols);
  }

  // The rows [first, end) that one thread folds leaf by leaf: a piece below the pool's cut-offs
  // for running whole on one thread (at most about 10,000 rows), so its errors take a few KiB.
  struct SharedErrors {
    const RowFoldOps& ops;
    std::size_t first;
    std::size_t end;
    FloatVec errors;  // e_i of row first + i, once a small leaf needs them

    // Small leaves use the errors predicted for all rows here at their first use: each row's
    // error is the same whichever leaf holds it.
    void leaf(GradientSums& acc, std::size_t begin, std::size_t stop_at) {
      if (stop_at - begin >= kSmallLeafRows) return ops.leaf(acc, begin, stop_at);
      if (errors.empty()) predict_errors();
      const std::size_t stop = ops.with_target(begin, stop_at);
      if (stop < stop_at) index_out_of_bounds(ops.y.size(), stop);
      acc.g_b = ops.k.leaf_from_errors(ops.row(begin), stop - begin, ops.x.cols,
                                       errors.data() + (begin - first), acc.g.data());
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

  SharedErrors local(std::size_t first, std::size_t end) const {
    return SharedErrors{*this, first, end, {}};
  }
};

// The canonical grouping: each leaf of the pool's division is a node of the halving tree, and
// the division combines nodes as the tree does, so every division gives the tree's sums.
struct TreeOps : PassInput {
  // acc <- the leaf's tree, sealed: adding onto +0.0 at every one-row leaf of the tree, as
  // reduce(identity(), folded) does, gives the same bits as adding once at the top, since no
  // sum of sealed values is -0.0. A row without a target fails before any work.
  void leaf(GradientSums& acc, std::size_t first, std::size_t end) const {
    if (end > y.size()) index_out_of_bounds(y.size(), std::max(first, y.size()));
    if (first == end) {
      std::fill(acc.g.begin(), acc.g.end(), 0.0f);
      acc.g_b = 0.0f;
      return;
    }
    const std::size_t m = x.cols;
    FloatVec scratch = FloatVec::uninitialized(tree_leaf_scratch(end - first, m));
    acc.g_b = k.tree_leaf(row(first), end - first, m, (x.rows - first) * m, w.data(), b,
                          y.data() + first, acc.g.data(), scratch.data());
    seal(acc, m);
  }
};

}  // namespace

double row_cost_ns(std::size_t m) noexcept { return 3.0 + 0.15 * static_cast<double>(m); }

GradientSums gradient_pass(const SolverKernels& k, const Matrix& x, const FloatVec& y,
                           const FloatVec& w, float b, Grouping grouping,
                           InterruptCheck interrupt) {
  const PassInput in{k, x, y, w, b};
  if (grouping == Grouping::canonical) {
    TreeOps ops{in};
    return parallel_fold_reduce_leaves(0, x.rows, ops, row_cost_ns(x.cols), interrupt);
  }
  RowFoldOps ops{in};
  return parallel_fold_reduce_leaves(0, x.rows, ops, row_cost_ns(x.cols), interrupt);
}

}  // namespace zelto
