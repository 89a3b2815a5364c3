// TEMPORARY plain loops until the fast kernels land.
#include <string>
#include <utility>

#include "core/fatal.hpp"
#include "parallel/parallel.hpp"
#include "solver/solver.hpp"

namespace zelto {
namespace {

[[noreturn]] void index_out_of_bounds(std::size_t len, std::size_t index) {
  raise_fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index));
}

struct Gradient {
  FloatVec a;
  float a_b = 0.0f;
};

}  // namespace

void fit(Solver& s, const Matrix& x, const FloatVec& y) {
  const std::size_t n = x.rows, m = x.cols;
  s.weights = FloatVec::zeros(m);
  s.bias = 0.0f;
  const float n_f = static_cast<float>(n);
  for (std::uint64_t step = 0; step < s.iters; ++step) {
    const float* w = s.weights.data();
    const float b = s.bias;
    Gradient g = parallel_fold_reduce(
        0, n, [m] { return Gradient{FloatVec::zeros(m), 0.0f}; },
        [&](Gradient acc, std::size_t i) {
          const float* row = x.data.data() + i * m;
          float p = b;
          for (std::size_t j = 0; j < m; ++j) p = p + w[j] * row[j];
          if (i >= y.size()) index_out_of_bounds(y.size(), i);
          const float e = p - y[i];
          for (std::size_t j = 0; j < m; ++j) acc.a[j] = e * row[j] + acc.a[j];
          acc.a_b = acc.a_b + e;
          return acc;
        },
        [m](Gradient left, Gradient right) {
          for (std::size_t j = 0; j < m; ++j) left.a[j] = left.a[j] + right.a[j];
          left.a_b = left.a_b + right.a_b;
          return left;
        },
        1.0);
    for (std::size_t j = 0; j < m; ++j) s.weights[j] = s.weights[j] - g.a[j] / n_f * s.lr;
    s.bias = s.bias - g.a_b / n_f * s.lr;
  }
}

FloatVec predict(const Solver& s, const Matrix& x) {
  const std::size_t m = x.cols;
  return parallel_map_chunks(
      x.data, m,
      [&](const float* row, std::size_t len) {
        if (s.weights.size() < len) index_out_of_bounds(s.weights.size(), s.weights.size());
        float p = s.bias;
        for (std::size_t j = 0; j < len; ++j) p = p + s.weights[j] * row[j];
        return p;
      },
      1.0);
}

}  // namespace zelto
