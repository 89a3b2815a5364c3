// The solver record, gradient-descent training and prediction.
#pragma once

#include <cstdint>

#include "core/float_vec.hpp"
#include "core/grouping.hpp"
#include "core/interrupt.hpp"
#include "matrix/matrix.hpp"

namespace zelto {

// Linear model p = bias + sum_j weights[j] * x[j], trained by full-batch gradient descent.
struct Solver {
  FloatVec weights;
  float bias = 0.0f;
  float lr = 0.0f;
  std::uint64_t iters = 0;
  Grouping grouping = Grouping::pool;
};

// Resets weights to x.cols zeros and bias to +0.0, then runs iters descent steps, their sums
// grouped as solver.grouping says. interrupt is asked between steps and while the pool works;
// when it throws, the weights and bias are those of the last completed step.
void fit(Solver& solver, const Matrix& x, const FloatVec& y, InterruptCheck interrupt = nullptr);

// The gradient sums of one pass: g_j = sum of e_i * x_ij and g_b = sum of e_i, with
// e_i = p_i - y_i, not yet divided by n.
struct GradientSums {
  FloatVec g;
  float g_b = 0.0f;
};

// The sums of all rows of x at the solver's weights and bias, grouped canonically whatever the
// solver's grouping: what a driver that holds the nodes of the halving tree combines as
// (left + right). The caller checks that the solver has x.cols weights and y at least x.rows
// targets.
GradientSums gradient_sums(const Solver& solver, const Matrix& x, const FloatVec& y);

// One prediction per row of x.
FloatVec predict(const Solver& solver, const Matrix& x);

}  // namespace zelto
