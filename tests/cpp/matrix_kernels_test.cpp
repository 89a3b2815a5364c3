// Every compiled instruction-set variant of the matrix kernels against the plain loops.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "matrix/matrix_kernels.hpp"
#include "matrix_reference.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using testing_support::first_difference;

class MatrixKernels : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_available(GetParam())) GTEST_SKIP() << isa_name(GetParam()) << " not available";
  }
  const zelto::MatrixKernels& kernels() const { return matrix_kernels(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(AllIsas, MatrixKernels,
                         ::testing::Values(Isa::baseline, Isa::avx2, Isa::avx512),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

TEST_P(MatrixKernels, MatmulMatchesPlainLoopOnOddShapes) {
  const std::size_t dims[] = {1, 3, 17, 33, 50, 65};
  const std::size_t depths[] = {0, 1, 3, 17, 130};
  std::uint32_t seed = 1;
  for (std::size_t r : dims) {
    for (std::size_t k : depths) {
      for (std::size_t n : dims) {
        const auto a = reference::random_floats(r * k, seed++, 0.02);
        const auto b = reference::random_floats(k * n, seed++, 0.02);
        std::vector<float> c(r * n, std::numeric_limits<float>::quiet_NaN());
        kernels().matmul_rows(a.data(), b.data(), c.data(), k, n, 0, r);
        EXPECT_EQ(first_difference(c, reference::matmul(a, b, r, k, n)), -1)
            << r << "x" << k << " times " << k << "x" << n;
      }
    }
  }
}

// Several depth blocks and column panels, computed as separate row ranges the way the
// parallel loop hands them out into an unfilled result; rows outside a range stay untouched.
TEST_P(MatrixKernels, MatmulBlockedRowRangesMatchPlainLoop) {
  const std::size_t r = 23, k = 1201, n = 1100;
  const auto a = reference::random_floats(r * k, 7, 0.001);
  const auto b = reference::random_floats(k * n, 8, 0.001);
  const auto want = reference::matmul(a, b, r, k, n);
  std::vector<float> c(r * n, -7.0f);
  const std::size_t cuts[] = {0, 1, 6, 13, 14, 23};
  for (std::size_t s = 0; s + 1 < std::size(cuts); ++s) {
    kernels().matmul_rows(a.data(), b.data(), c.data(), k, n, cuts[s], cuts[s + 1]);
    for (std::size_t x = cuts[s + 1] * n; x < c.size(); ++x) ASSERT_EQ(c[x], -7.0f);
  }
  EXPECT_EQ(first_difference(c, want), -1);
}

TEST_P(MatrixKernels, MatmulKeepsAccumulationOrderAndZeroTimesInfinity) {
  // 1e8 + 1 rounds back to 1e8 before -1e8 is added; -1 * 0 summed onto +0.0 is +0.0.
  const std::vector<float> a = {1e8f, 1.0f, -1e8f, 0.0f, -1.0f, 0.0f};
  const std::vector<float> b = {1.0f, 1.0f, 1.0f};
  std::vector<float> c(2, 5.0f);
  kernels().matmul_rows(a.data(), b.data(), c.data(), 3, 1, 0, 2);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(c[0]), 0u);
  const std::vector<float> zero = {0.0f}, inf = {std::numeric_limits<float>::infinity()};
  const std::vector<float> minus_one = {-1.0f}, plus_zero = {0.0f};
  float out = 5.0f;
  kernels().matmul_rows(zero.data(), inf.data(), &out, 1, 1, 0, 1);
  EXPECT_TRUE(std::isnan(out));
  out = 5.0f;
  kernels().matmul_rows(minus_one.data(), plus_zero.data(), &out, 1, 1, 0, 1);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(out), 0u);
}

TEST_P(MatrixKernels, TransposeMovesBitsUnchanged) {
  const std::size_t shapes[][2] = {{1, 1}, {1, 17}, {17, 1}, {3, 65}, {33, 17}, {65, 100}};
  std::uint32_t seed = 100;
  for (const auto& shape : shapes) {
    const std::size_t r = shape[0], c = shape[1];
    const auto a = reference::random_floats(r * c, seed++, 0.3);
    const auto want = reference::transpose(a, r, c);
    std::vector<float> t(r * c, 5.0f);
    kernels().transpose_rows(a.data(), t.data(), r, c, 0, c / 2);
    kernels().transpose_rows(a.data(), t.data(), r, c, c / 2, c);
    for (std::size_t x = 0; x < t.size(); ++x) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(t[x]), std::bit_cast<std::uint32_t>(want[x]))
          << r << "x" << c << " at " << x;
    }
  }
}

class ElementwiseKernels
    : public ::testing::TestWithParam<std::tuple<Isa, float, std::size_t>> {};

INSTANTIATE_TEST_SUITE_P(
    Values, ElementwiseKernels,
    ::testing::Combine(::testing::Values(Isa::baseline, Isa::avx2, Isa::avx512),
                       ::testing::Values(0.1f, -0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                                         std::numeric_limits<float>::quiet_NaN(), 1e-40f),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{15},
                                         std::size_t{67}, std::size_t{1000})));

// Both operations on every length class (empty, tail only, registers plus tail), read and
// written at an unaligned offset, with the element as the left operand.
TEST_P(ElementwiseKernels, AddAndMulMatchPlainLoop) {
  const auto [isa, v, count] = GetParam();
  if (!isa_available(isa)) GTEST_SKIP();
  const auto in = reference::random_floats(count + 1, static_cast<std::uint32_t>(count), 0.2);
  std::vector<float> sum(count + 1, 7.0f), product(count + 1, 7.0f);
  matrix_kernels(isa).add_values(in.data() + 1, sum.data() + 1, count, v);
  matrix_kernels(isa).mul_values(in.data() + 1, product.data() + 1, count, v);
  std::vector<float> want_sum(count + 1, 7.0f), want_product(count + 1, 7.0f);
  for (std::size_t i = 1; i <= count; ++i) {
    want_sum[i] = in[i] + v;
    want_product[i] = in[i] * v;
  }
  EXPECT_EQ(first_difference(sum, want_sum), -1);
  EXPECT_EQ(first_difference(product, want_product), -1);
}

}  // namespace
}  // namespace zelto
