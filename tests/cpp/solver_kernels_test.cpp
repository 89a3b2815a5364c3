// Every compiled instruction-set variant of the solver kernels against the plain row loops.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "solver/solver_kernels.hpp"
#include "solver_reference.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

namespace ref = solver_reference;

using testing_support::first_difference;
using testing_support::same_bits;

// Rows around every block edge (short blocks of one or a few rows, blocks of 4 or 8 rows, two
// side by side, then single blocks and a partial one), with and without rows ahead to request
// (90 rows from 64 columns on); columns around every vector width.
const std::size_t kRows[] = {0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 24, 31, 33, 90};
const std::size_t kCols[] = {0, 1, 2, 3, 5, 8, 13, 16, 17, 31, 64, 65, 129, 200, 300};

class SolverKernels : public ::testing::TestWithParam<std::tuple<Isa, double>> {
 protected:
  void SetUp() override {
    if (!isa_available(isa())) {
      GTEST_SKIP() << "This processor cannot run the " << isa_name(isa()) << " kernels.";
    }
  }
  Isa isa() const { return std::get<0>(GetParam()); }
  // Share of special values (NaN, infinities, -0.0, subnormals) in the random inputs.
  double specials() const { return std::get<1>(GetParam()); }
  const zelto::SolverKernels& kernels() const { return solver_kernels(isa()); }
};

INSTANTIATE_TEST_SUITE_P(
    AllIsas, SolverKernels,
    ::testing::Combine(::testing::ValuesIn(kIsas), ::testing::Values(0.0, 0.002, 0.05)),
    [](const auto& info) {
      return std::string(isa_name(std::get<0>(info.param))) + "_specials" +
             std::to_string(static_cast<int>(std::get<1>(info.param) * 1000));
    });

TEST_P(SolverKernels, PredictMatchesPlainLoop) {
  std::uint32_t seed = 11;
  for (std::size_t n : kRows) {
    for (std::size_t m : kCols) {
      const auto x = ref::random_floats(n * m, seed++, specials());
      // Extra weights beyond m must be ignored.
      const auto w = ref::random_floats(m + 3, seed++, specials());
      const float b = ref::random_floats(1, seed++, specials())[0];
      std::vector<float> want(n), got(n, 99.0f);
      for (std::size_t i = 0; i < n; ++i) want[i] = ref::predict_row(x.data() + i * m, m, w.data(), b);
      kernels().predict_rows(x.data(), n, m, w.data(), b, got.data());
      ASSERT_EQ(first_difference(got, want), -1) << n << "x" << m;
    }
  }
}

// A call over 4 MiB of rows takes other blocks than the small calls above (AVX-512 predicts
// those in tiles of 16 rows), with the same bits.
TEST_P(SolverKernels, PredictOfManyRowsMatchesPlainLoop) {
  const std::size_t n = 40'003, m = 32;
  const auto x = ref::random_floats(n * m, 5, specials());
  const auto w = ref::random_floats(m, 6, specials());
  std::vector<float> want(n), got(n);
  for (std::size_t i = 0; i < n; ++i) {
    want[i] = ref::predict_row(x.data() + i * m, m, w.data(), 0.5f);
  }
  kernels().predict_rows(x.data(), n, m, w.data(), 0.5f, got.data());
  EXPECT_EQ(first_difference(got, want), -1);
}

// A kernel reads only the rows it is given: NaN in the rows after them changes nothing, even
// where a full vector load would reach past a short row.
TEST_P(SolverKernels, PredictOfARowRangeIgnoresNeighbouringRows) {
  const std::size_t n = 37, m = 5;
  auto x = ref::random_floats(n * m, 3, specials());
  const auto w = ref::random_floats(m, 4, specials());
  std::vector<float> whole(n);
  kernels().predict_rows(x.data(), n, m, w.data(), 0.5f, whole.data());
  for (std::size_t k = 21 * m; k < n * m; ++k) x[k] = std::nanf("");
  std::vector<float> part(21);
  kernels().predict_rows(x.data(), 21, m, w.data(), 0.5f, part.data());
  EXPECT_EQ(first_difference(part, std::vector<float>(whole.begin(), whole.begin() + 21)), -1);
}

TEST_P(SolverKernels, GradientMatchesPlainLoop) {
  std::uint32_t seed = 101;
  for (std::size_t n : kRows) {
    for (std::size_t m : kCols) {
      const auto x = ref::random_floats(n * m, seed++, specials());
      const auto w = ref::random_floats(m, seed++, specials());
      const auto y = ref::random_floats(n, seed++, specials());
      // A non-zero starting accumulator shows that rows are added onto it in order.
      const auto a0 = ref::random_floats(m, seed++, specials());
      const float b = 0.25f, ab0 = -0.0f;
      std::vector<float> want = a0, got = a0;
      const float want_b = ref::gradient_rows(x.data(), n, m, w.data(), b, y.data(), want.data(), ab0);
      const float got_b =
          kernels().gradient_rows(x.data(), n, m, w.data(), b, y.data(), got.data(), ab0);
      ASSERT_EQ(first_difference(got, want), -1) << n << "x" << m;
      ASSERT_TRUE(same_bits(got_b, want_b)) << n << "x" << m << ": " << got_b << " vs " << want_b;
    }
  }
}

// A leaf from given errors: the same sums from zero, each added onto +0.0 at the end; the
// accumulator's old contents (NaN here) are never read.
TEST_P(SolverKernels, LeafFromErrorsMatchesPlainLoop) {
  std::uint32_t seed = 301;
  for (std::size_t n : kRows) {
    for (std::size_t m : kCols) {
      const auto x = ref::random_floats(n * m, seed++, specials());
      const auto e = ref::random_floats(n + kErrorBlock - 1, seed++, specials());
      std::vector<float> want(m, 0.0f), got(m, std::nanf(""));
      float want_b = 0.0f;
      for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < m; ++j) want[j] = e[i] * x[i * m + j] + want[j];
        want_b = want_b + e[i];
      }
      for (float& v : want) v = 0.0f + v;
      want_b = 0.0f + want_b;
      const float got_b = kernels().leaf_from_errors(x.data(), n, m, e.data(), got.data());
      ASSERT_EQ(first_difference(got, want), -1) << n << "x" << m;
      ASSERT_TRUE(same_bits(got_b, want_b)) << n << "x" << m << ": " << got_b << " vs " << want_b;
    }
  }
}

TEST_P(SolverKernels, GradientKeepsTheRowOrderOfEachSum) {
  // Column 0 sums 1e8, 1, -1e8 (as e * x with e = -y): 1e8 + 1 rounds back to 1e8, so the
  // in-order sum is 0 while any other grouping gives 1. The same holds for the bias sum.
  const std::size_t m = 33;
  std::vector<float> x(3 * m, 1.0f);
  const std::vector<float> w(m, 0.0f);
  const std::vector<float> y = {-1e8f, -1.0f, 1e8f};
  std::vector<float> a(m, 0.0f);
  const float a_b = kernels().gradient_rows(x.data(), 3, m, w.data(), 0.0f, y.data(), a.data(), 0.0f);
  for (float aj : a) EXPECT_EQ(aj, 0.0f);
  EXPECT_EQ(a_b, 0.0f);
}

TEST_P(SolverKernels, AddIntoAndDescendMatchScalarFormulas) {
  std::uint32_t seed = 500;
  for (std::size_t m : kCols) {
    const auto left0 = ref::random_floats(m, seed++, specials());
    const auto right = ref::random_floats(m, seed++, specials());
    const auto w0 = ref::random_floats(m, seed++, specials());
    std::vector<float> left = left0, w = w0, want_sum(m), want_w(m);
    for (std::size_t j = 0; j < m; ++j) {
      want_sum[j] = left0[j] + right[j];
      want_w[j] = w0[j] - ((right[j] / 7.0f) * 0.1f);
    }
    kernels().add_into(left.data(), right.data(), m);
    kernels().descend(w.data(), right.data(), m, 7.0f, 0.1f);
    EXPECT_EQ(first_difference(left, want_sum), -1) << m;
    EXPECT_EQ(first_difference(w, want_w), -1) << m;
  }
}

}  // namespace
}  // namespace zelto
