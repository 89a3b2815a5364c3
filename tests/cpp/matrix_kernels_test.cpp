// Every compiled instruction-set variant of the matrix kernels against the plain loops.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "matrix/matmul.hpp"
#include "matrix/matrix_kernels.hpp"
#include "matrix_reference.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using reference::first_bit_difference;

class MatrixKernels : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_available(GetParam())) {
      GTEST_SKIP() << "This processor cannot run the " << isa_name(GetParam()) << " kernels.";
    }
  }
  const zelto::MatrixKernels& kernels() const { return matrix_kernels(GetParam()); }

  // c = a x b for one block of c, with this fixture's scratch and the given block sizes (the
  // variant's own by default).
  void matmul(const std::vector<float>& a, const std::vector<float>& b, std::vector<float>& c,
              std::size_t k, std::size_t n, MatmulBlock block,
              std::optional<MatmulBlocking> blocking = std::nullopt) {
    kernels().matmul_block(a.data(), b.data(), c.data(), k, n, block,
                           blocking.value_or(kernels().matmul_blocking()), scratch_.data());
  }

 private:
  std::vector<float> scratch_ = std::vector<float>(kMatmulScratchFloats);
};

INSTANTIATE_TEST_SUITE_P(AllIsas, MatrixKernels, ::testing::ValuesIn(kIsas),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

// Every NaN in the operands carries a payload, different in A and B, and every NaN result must
// be the canonical one; deeper products get fewer special values, so that most of their sums
// stay finite and show their order.
TEST_P(MatrixKernels, MatmulMatchesPlainLoopOnOddShapes) {
  const std::size_t dims[] = {1, 3, 17, 33, 50, 65};
  const std::size_t depths[] = {0, 1, 3, 17, 130, 600};
  std::uint32_t seed = 1;
  for (std::size_t r : dims) {
    for (std::size_t k : depths) {
      const double special = 1.0 / (50.0 + static_cast<double>(k));
      for (std::size_t n : dims) {
        const auto a = reference::random_floats(r * k, seed++, special);
        const auto b = reference::random_floats(k * n, seed++, special, reference::kRightNans);
        std::vector<float> c(r * n, std::numeric_limits<float>::quiet_NaN());
        matmul(a, b, c, k, n, {0, r, 0, n});
        EXPECT_EQ(first_bit_difference(c, reference::matmul(a, b, r, k, n)), -1)
            << r << "x" << k << " times " << k << "x" << n;
      }
    }
  }
}

// Block sizes shrunk so that small matrices cross every edge of every path: several depth blocks
// with a remainder (in place and packed), column panels and packed column blocks with
// remainders, packed row blocks, panel groups that do not divide a column block, and C split
// into blocks that start inside it. The columns run from a few lanes to past three packed column
// blocks of the widest variant, so that every variant meets narrower tiles, columns short of a
// register read as the end of a whole one, and the columns after the last whole panel.
TEST_P(MatrixKernels, MatmulWithShrunkBlocksMatchesPlainLoop) {
  const std::size_t dims_r[] = {1, 5, 7, 13, 20};
  const std::size_t depths[] = {1, 3, 4, 10};
  const std::size_t dims_n[] = {1,  5,  8,  9,   16,  17,  24,  31,  40,
                                64, 65, 100, 130, 200, 220, 400, 450};
  const MatmulBlocking in_place{.depth = 3,
                                .panels = 1,
                                .pack_depth = 4,
                                .pack_rows = 7,
                                .pack_panels = 3,
                                .group_panels = 2,
                                .pack_min_rows = SIZE_MAX,
                                .pack_min_b = 0};
  MatmulBlocking packed = in_place;
  packed.pack_min_rows = 1;
  std::uint32_t seed = 500;
  for (const MatmulBlocking& blocking : {in_place, packed}) {
    for (std::size_t r : dims_r) {
      for (std::size_t k : depths) {
        for (std::size_t n : dims_n) {
          const auto a = reference::random_floats(r * k, seed++, 0.02);
          const auto b = reference::random_floats(k * n, seed++, 0.02, reference::kRightNans);
          const auto want = reference::matmul(a, b, r, k, n);
          std::vector<float> whole(r * n, -7.0f), split(r * n, -7.0f);
          matmul(a, b, whole, k, n, {0, r, 0, n}, blocking);
          const std::size_t i = r / 2, j = n / 3;
          for (const MatmulBlock& block : {MatmulBlock{0, i, 0, n}, MatmulBlock{i, r, 0, j},
                                           MatmulBlock{i, r, j, n}}) {
            matmul(a, b, split, k, n, block, blocking);
          }
          EXPECT_EQ(first_bit_difference(whole, want), -1)
              << r << "x" << k << " times " << k << "x" << n << ", packed from "
              << blocking.pack_min_rows << " rows";
          EXPECT_EQ(first_bit_difference(split, want), -1)
              << r << "x" << k << " times " << k << "x" << n << " in blocks, packed from "
              << blocking.pack_min_rows << " rows";
        }
      }
    }
  }
}

// Blocks of rows and columns as the parallel division hands them out, into an unfilled result:
// the shape crosses every block boundary (packed depth 384, rows 96, columns 1024 and panel
// groups; in-place depth 512) with remainders, and the blocks take the packed path, the
// in-place path (one panel of columns) and the columns after the last whole panel or register. Each
// block leaves everything outside it untouched.
TEST_P(MatrixKernels, MatmulBlocksMatchPlainLoop) {
  const std::size_t r = 270, k = 600, n = 1100;
  const auto a = reference::random_floats(r * k, 7, 0.001);
  const auto b = reference::random_floats(k * n, 8, 0.001, reference::kRightNans);
  const auto want = reference::matmul(a, b, r, k, n);
  const float untouched = -7.0f;
  std::vector<float> c(r * n, untouched), done(r * n, untouched);
  const MatmulBlock blocks[] = {{0, 130, 0, n},       {130, 270, 0, 64},   {130, 270, 64, 1090},
                                {130, 200, 1090, n}, {200, 270, 1090, n}};
  for (const MatmulBlock& block : blocks) {
    matmul(a, b, c, k, n, block);
    for (std::size_t i = block.row_first; i < block.row_end; ++i) {
      for (std::size_t j = block.col_first; j < block.col_end; ++j) {
        done[i * n + j] = want[i * n + j];
      }
    }
    ASSERT_EQ(first_bit_difference(c, done), -1) << "after rows " << block.row_first << "-"
                                             << block.row_end << ", columns " << block.col_first
                                             << "-" << block.col_end;
  }
}

// The division over the pool: a wide result is cut into column blocks, a tall one into row
// blocks, both large enough to take the packed path.
TEST_P(MatrixKernels, MatmulDividedOverThePoolMatchesPlainLoop) {
  const std::size_t shapes[][3] = {{300, 400, 900}, {900, 400, 300}};
  for (const auto& [r, k, n] : shapes) {
    const auto a = reference::random_floats(r * k, 11, 0.001);
    const auto b = reference::random_floats(k * n, 12, 0.001, reference::kRightNans);
    std::vector<float> c(r * n, -7.0f);
    matmul_into(kernels(), kernels().matmul_blocking(), a.data(), b.data(), c.data(), r, k, n);
    EXPECT_EQ(first_bit_difference(c, reference::matmul(a, b, r, k, n)), -1) << r << "x" << n;
  }
}

TEST_P(MatrixKernels, MatmulKeepsAccumulationOrderAndZeroTimesInfinity) {
  // 1e8 + 1 rounds back to 1e8 before -1e8 is added; -1 * 0 summed onto +0.0 is +0.0; the NaN
  // of 0 * inf is the canonical one, not the processor's default.
  const std::vector<float> a = {1e8f, 1.0f, -1e8f, 0.0f, -1.0f, 0.0f};
  const std::vector<float> b = {1.0f, 1.0f, 1.0f};
  std::vector<float> c(2, 5.0f);
  matmul(a, b, c, 3, 1, {0, 2, 0, 1});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(c[0]), 0u);
  const std::vector<float> zero = {0.0f}, inf = {std::numeric_limits<float>::infinity()};
  const std::vector<float> minus_one = {-1.0f}, plus_zero = {0.0f};
  std::vector<float> out = {5.0f};
  matmul(zero, inf, out, 1, 1, {0, 1, 0, 1});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(out[0]), 0x7fc00000u);
  out[0] = 5.0f;
  matmul(minus_one, plus_zero, out, 1, 1, {0, 1, 0, 1});
  EXPECT_EQ(std::bit_cast<std::uint32_t>(out[0]), 0u);
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
    ::testing::Combine(::testing::ValuesIn(kIsas),
                       ::testing::Values(0.1f, -0.0f, -1.0f, std::numeric_limits<float>::infinity(),
                                         std::numeric_limits<float>::quiet_NaN(),
                                         std::bit_cast<float>(reference::kRightNans[0]),
                                         std::bit_cast<float>(reference::kRightNans[1]), 1e-40f),
                       ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{15},
                                         std::size_t{67}, std::size_t{1000})));

// Both operations on every length class (empty, tail only, registers plus tail), read and
// written at an unaligned offset, with the element as the left operand; NaN elements and NaN
// scalars carry different payloads, and every NaN result is the canonical one.
TEST_P(ElementwiseKernels, AddAndMulMatchPlainLoop) {
  const auto [isa, v, count] = GetParam();
  if (!isa_available(isa)) {
    GTEST_SKIP() << "This processor cannot run the " << isa_name(isa) << " kernels.";
  }
  const auto in = reference::random_floats(count + 1, static_cast<std::uint32_t>(count), 0.2);
  std::vector<float> sum(count + 1, 7.0f), product(count + 1, 7.0f);
  matrix_kernels(isa).add_values(in.data() + 1, sum.data() + 1, count, v);
  matrix_kernels(isa).mul_values(in.data() + 1, product.data() + 1, count, v);
  std::vector<float> want_sum(count + 1, 7.0f), want_product(count + 1, 7.0f);
  for (std::size_t i = 1; i <= count; ++i) {
    want_sum[i] = reference::canonical(in[i] + v);
    want_product[i] = reference::canonical(in[i] * v);
  }
  EXPECT_EQ(first_bit_difference(sum, want_sum), -1);
  EXPECT_EQ(first_bit_difference(product, want_product), -1);
}

}  // namespace
}  // namespace zelto
