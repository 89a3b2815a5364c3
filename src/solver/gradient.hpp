// The gradient pass of a descent step, in either grouping of its sums.
#pragma once

#include <cstddef>

#include "core/float_vec.hpp"
#include "core/grouping.hpp"
#include "core/interrupt.hpp"
#include "matrix/matrix.hpp"
#include "solver/solver.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto {

// Estimated cost of one row of a pass over m columns, in ns: about 0.15 ns per column
// (transposed dot product and update), as measured.
double row_cost_ns(std::size_t m) noexcept;

// The sums (g, g_b) over all rows of x at the parameters (w, b), grouped as grouping says;
// interrupt is asked while the pool works. A row without a target is the fatal index error of
// the lowest such row.
GradientSums gradient_pass(const SolverKernels& k, const Matrix& x, const FloatVec& y,
                           const FloatVec& w, float b, Grouping grouping,
                           InterruptCheck interrupt = nullptr);

}  // namespace zelto
