// The plain loops that define each matrix operation's result, and test data that exercises
// rounding and the special values.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

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
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(-12, 12);
  std::uniform_real_distribution<double> pick(0.0, 1.0);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -3.5e-39f,
                            std::bit_cast<float>(std::uint32_t{0x7fc12345})};
  std::uniform_int_distribution<std::size_t> which(0, std::size(specials) - 1);
  std::vector<float> out(count);
  for (float& x : out) {
    x = pick(gen) < special ? specials[which(gen)] : std::ldexp(mantissa(gen), exponent(gen));
  }
  return out;
}

}  // namespace zelto::reference
