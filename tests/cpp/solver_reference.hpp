// The solver's row loops written plainly, one operation at a time, for the kernels to match.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace zelto::solver_reference {

// b + w_0 x_0 + w_1 x_1 + ..., added left to right.
inline float predict_row(const float* row, std::size_t m, const float* w, float b) {
  float p = b;
  for (std::size_t j = 0; j < m; ++j) p = p + w[j] * row[j];
  return p;
}

// Folds rows [0, rows) into (a, a_b) in ascending order; returns the new a_b.
inline float gradient_rows(const float* x, std::size_t rows, std::size_t m, const float* w,
                           float b, const float* y, float* a, float a_b) {
  for (std::size_t i = 0; i < rows; ++i) {
    const float e = predict_row(x + i * m, m, w, b) - y[i];
    for (std::size_t j = 0; j < m; ++j) a[j] = e * x[i * m + j] + a[j];
    a_b = a_b + e;
  }
  return a_b;
}

// The canonical sums of rows [lo, hi), lo < hi, into a (m floats): the halving tree down to
// single rows, a one-row leaf being 0 + ((e * x_ij) + 0) and 0 + (0 + e), nodes left + right.
// Returns the bias sum.
inline float tree_gradient(const float* x, std::size_t lo, std::size_t hi, std::size_t m,
                           const float* w, float b, const float* y, float* a) {
  if (hi - lo == 1) {
    const float e = predict_row(x + lo * m, m, w, b) - y[lo];
    for (std::size_t j = 0; j < m; ++j) a[j] = 0.0f + ((e * x[lo * m + j]) + 0.0f);
    return 0.0f + (0.0f + e);
  }
  const std::size_t middle = lo + (hi - lo) / 2;
  std::vector<float> right(m);
  const float left_b = tree_gradient(x, lo, middle, m, w, b, y, a);
  const float right_b = tree_gradient(x, middle, hi, m, w, b, y, right.data());
  for (std::size_t j = 0; j < m; ++j) a[j] = a[j] + right[j];
  return left_b + right_b;
}

// Random floats of moderate size with every special value sprinkled in: NaN, both infinities,
// -0.0, subnormals and values whose sums round.
inline std::vector<float> random_floats(std::size_t n, std::uint32_t seed, double special_rate) {
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  return testing_support::random_floats_with_specials(
      n, seed, special_rate, [&](std::mt19937& gen) { return value(gen); });
}

}  // namespace zelto::solver_reference
