// The plain loops that define each matrix operation's result, and test data that exercises
// rounding and the special values.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace zelto::reference {

// c (r x n) = a (r x k) b (k x n), i-p-j, each element from +0.0 in ascending p.
inline std::vector<float> matmul(const std::vector<float>& a, const std::vector<float>& b,
                                 std::size_t r, std::size_t k, std::size_t n) {
  std::vector<float> c(r * n, 0.0f);
  for (std::size_t i = 0; i < r; ++i) {
    for (std::size_t p = 0; p < k; ++p) {
      const float x = a[i * k + p];
      for (std::size_t j = 0; j < n; ++j) c[i * n + j] = x * b[p * n + j] + c[i * n + j];
    }
  }
  return c;
}

// t (c x r) with t[i][j] = a[j][i].
inline std::vector<float> transpose(const std::vector<float>& a, std::size_t r, std::size_t c) {
  std::vector<float> t(r * c);
  for (std::size_t i = 0; i < c; ++i) {
    for (std::size_t j = 0; j < r; ++j) t[i * r + j] = a[j * c + i];
  }
  return t;
}

// Floats of widely spread magnitudes (so a changed summation order changes bits) with a
// fraction `special` of NaN, infinities, signed zeros and subnormals.
inline std::vector<float> random_floats(std::size_t count, std::uint32_t seed, double special) {
  std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(-12, 12);
  return testing_support::random_floats_with_specials(count, seed, special, [&](std::mt19937& g) {
    return std::ldexp(mantissa(g), exponent(g));
  });
}

}  // namespace zelto::reference
