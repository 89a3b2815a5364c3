// The solver record, gradient-descent training and prediction.
#pragma once

#include <cstdint>

#include "core/float_vec.hpp"
#include "matrix/matrix.hpp"

namespace zelto {

// Linear model p = bias + sum_j weights[j] * x[j], trained by full-batch gradient descent.
struct Solver {
  FloatVec weights;
  float bias = 0.0f;
  float lr = 0.0f;
  std::uint64_t iters = 0;
};

// Resets weights to x.cols zeros and bias to +0.0, then runs iters descent steps.
void fit(Solver& solver, const Matrix& x, const FloatVec& y);

// One prediction per row of x.
FloatVec predict(const Solver& solver, const Matrix& x);

}  // namespace zelto
