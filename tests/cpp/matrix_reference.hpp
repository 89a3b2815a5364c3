// The plain loops that define each matrix operation's result, and test data that exercises
// rounding and the special values.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace zelto::reference {

// x, or the one NaN (0x7fc00000) that add, mul and matmul store for every NaN they compute.
inline float canonical(float x) {
  return std::isnan(x) ? std::bit_cast<float>(std::uint32_t{0x7fc00000}) : x;
}

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
  for (float& x : c) x = canonical(x);
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

// NaN bits for the two operands of a test, each a quiet NaN with a payload and a signalling one
// of the other sign, so that a result that passes on either operand's payload shows.
using NanBits = std::array<std::uint32_t, 2>;
inline constexpr NanBits kLeftNans = {0x7fc0aaaa, 0xff800001};
inline constexpr NanBits kRightNans = {0xffc05555, 0x7fa01234};

// Floats of widely spread magnitudes (so a changed summation order changes bits) with a
// fraction `special` of NaN, infinities, signed zeros and subnormals; the NaNs take the bits of
// nans in turn.
inline std::vector<float> random_floats(std::size_t count, std::uint32_t seed, double special,
                                        const NanBits& nans = kLeftNans) {
  std::uniform_real_distribution<float> mantissa(-2.0f, 2.0f);
  std::uniform_int_distribution<int> exponent(-12, 12);
  auto out = testing_support::random_floats_with_specials(
      count, seed, special, [&](std::mt19937& g) { return std::ldexp(mantissa(g), exponent(g)); });
  std::size_t turn = 0;
  for (float& x : out) {
    if (std::isnan(x)) x = std::bit_cast<float>(nans[turn++ % nans.size()]);
  }
  return out;
}

// Index of the first element whose bits differ, NaNs included; 0 when the lengths differ, or
// -1 when the vectors match.
inline long first_bit_difference(const std::vector<float>& got, const std::vector<float>& want) {
  if (got.size() != want.size()) return 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(want[i])) {
      return static_cast<long>(i);
    }
  }
  return -1;
}

}  // namespace zelto::reference
