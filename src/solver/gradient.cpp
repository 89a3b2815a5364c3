// The gradient pass over the worker pool. Both groupings fold the same per-row values
// e_i = p_i - y_i and e_i * x_ij; they differ only in how the sums are grouped: the pool's
// grouping folds each leaf of the pool's division row by row, the canonical one sums every
// piece as the halving tree down to single rows.
#include "solver/gradient.hpp"

#include <algorithm>
#include <cstddef>

#include "core/halving_tree.hpp"
#include "parallel/parallel.hpp"
#include "solver/index_error.hpp"

namespace zelto {
namespace {

// Measured cost of one row: about 0.15 ns per column (transposed dot product and update).
double row_cost_ns(std::size_t m) { return 3.0 + 0.15 * static_cast<double>(m); }

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

// Rows of X whose errors one prediction call makes for the canonical trees: about 8 KiB, and
// at least two blocks of the kernel's, so the rows are still in L1 when the trees read them.
constexpr std::size_t kWindowBytes = 8192;

std::size_t window_rows(std::size_t m) noexcept {
  return std::clamp<std::size_t>(kWindowBytes / (sizeof(float) * std::max<std::size_t>(m, 1)),
                                 kErrorBlock, 4096);
}

// Levels of the halving tree of `rows` rows above its nodes of at most kTreeRows rows.
std::size_t levels_above_trees(std::size_t rows) noexcept {
  std::size_t levels = 0;
  for (; rows > kTreeRows; rows -= rows / 2) ++levels;
  return levels;
}

// The canonical sums of one leaf [first, end) of the pool's division: its halving tree, the
// nodes of at most kTreeRows rows summed by the kernel from a window of predicted errors, the
// nodes above them added in scratch vectors, one per level.
class TreeLeaf {
 public:
  TreeLeaf(const PassInput& in, std::size_t first, std::size_t end)
      : in_(in),
        end_(end),
        window_rows_(std::min(window_rows(in.x.cols), end - first)),
        window_(FloatVec::uninitialized(window_rows_ + kTreeRows)),
        levels_(FloatVec::uninitialized(levels_above_trees(end - first) * in.x.cols)),
        window_first_(first),
        window_end_(first) {}

  // The raw sums of rows [lo, hi) into out (m floats), the right halves' into free and the
  // levels after it; returns the sum of the errors.
  float node(std::size_t lo, std::size_t hi, float* out, float* free) {
    if (hi - lo <= kTreeRows) {
      return in_.k.tree_rows(in_.row(lo), hi - lo, in_.x.cols, errors(lo, hi), out);
    }
    const std::size_t middle = halving_middle(lo, hi);
    const float left = node(lo, middle, out, free);
    const float right = node(middle, hi, free, free + in_.x.cols);
    in_.k.add_into(out, free, in_.x.cols);
    return left + right;
  }

  float* levels() noexcept { return levels_.data(); }

 private:
  // The errors of rows [lo, hi). Trees are visited in row order, lo never below the window's
  // first row: when hi lies beyond the window, the errors from lo on (fewer than a tree's rows)
  // move to its front and the next rows are predicted after them, so each row is predicted
  // once, while the prediction requests the rows after them from memory.
  const float* errors(std::size_t lo, std::size_t hi) {
    if (hi > window_end_) {
      float* e = window_.data();
      const std::size_t kept = window_end_ - lo;
      for (std::size_t i = 0; i < kept; ++i) e[i] = e[lo - window_first_ + i];
      const std::size_t rows = std::min(window_rows_, end_ - window_end_);
      const std::size_t m = in_.x.cols;
      in_.k.predict_errors(in_.row(window_end_), rows, m, (in_.x.rows - window_end_) * m,
                           in_.w.data(), in_.b, in_.y.data() + window_end_, e + kept);
      window_first_ = lo;
      window_end_ += rows;
    }
    return window_.data() + (lo - window_first_);
  }

  const PassInput& in_;
  std::size_t end_;
  std::size_t window_rows_;
  FloatVec window_;
  FloatVec levels_;
  std::size_t window_first_;
  std::size_t window_end_;
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
    TreeLeaf tree(*this, first, end);
    acc.g_b = tree.node(first, end, acc.g.data(), tree.levels());
    seal(acc, x.cols);
  }
};

}  // namespace

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
