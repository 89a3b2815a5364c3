// The solver's row loops written plainly, one operation at a time, for the kernels to match.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

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

// Random floats of moderate size with every special value sprinkled in: NaN, both infinities,
// -0.0, subnormals and values whose sums round.
inline std::vector<float> random_floats(std::size_t n, std::uint32_t seed, double special_rate) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> value(-4.0f, 4.0f);
  std::uniform_real_distribution<double> pick(0.0, 1.0);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -1.5e-39f,
                            3e38f,
                            1e-20f};
  std::vector<float> out(n);
  for (auto& x : out) {
    x = pick(gen) < special_rate ? specials[gen() % std::size(specials)] : value(gen);
  }
  return out;
}

}  // namespace zelto::solver_reference
