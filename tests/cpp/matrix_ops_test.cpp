// The matrix operations' shape checks and fatal errors, in the order callers observe them.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "core/fatal.hpp"
#include "matrix/matrix.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using testing_support::fatal_message;

Matrix zeros(std::uint64_t rows, std::uint64_t cols) {
  return Matrix{FloatVec::zeros(rows * cols), rows, cols};
}

struct MatmulCase {
  std::uint64_t ar, ac, br, bc;
  const char* outcome;  // "mismatch", a fatal message, or "ok"
};

class MatmulShapes : public ::testing::TestWithParam<MatmulCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, MatmulShapes,
    ::testing::Values(MatmulCase{3, 2, 4, 0, "mismatch"}, MatmulCase{2, 3, 2, 3, "mismatch"},
                      MatmulCase{3, 2, 2, 0, "chunk_size must not be zero"},
                      MatmulCase{0, 0, 0, 0, "chunk_size must not be zero"},
                      MatmulCase{std::uint64_t{1} << 31, 0, 0, std::uint64_t{1} << 30,
                                 "capacity overflow"},
                      MatmulCase{std::uint64_t{1} << 40, 0, 0, std::uint64_t{1} << 40,
                                 "capacity overflow"},
                      MatmulCase{3, 0, 0, 2, "ok"}, MatmulCase{0, 3, 3, 2, "ok"},
                      MatmulCase{3, 2, 2, 3, "ok"}));

// Shape test first, then the size limit, then the zero-width row chunk.
TEST_P(MatmulShapes, ChecksInOrder) {
  const MatmulCase m = GetParam();
  // Zero-element operands with huge dimensions need no storage.
  const Matrix a{FloatVec::zeros(m.ar * m.ac == 0 ? 0 : m.ar * m.ac), m.ar, m.ac};
  const Matrix b{FloatVec::zeros(m.br * m.bc == 0 ? 0 : m.br * m.bc), m.br, m.bc};
  const std::string outcome = m.outcome;
  if (outcome == "mismatch") {
    EXPECT_FALSE(matmul(a, b).has_value());
  } else if (outcome == "ok") {
    const auto c = matmul(a, b);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->rows, m.ar);
    EXPECT_EQ(c->cols, m.bc);
    ASSERT_EQ(c->data.size(), m.ar * m.bc);
    for (float x : c->data) EXPECT_EQ(std::bit_cast<std::uint32_t>(x), 0u);
  } else {
    EXPECT_EQ(fatal_message([&] { (void)matmul(a, b); }), outcome);
  }
}

TEST(MatrixTranspose, ZeroRowsIsFatalWhateverTheColumns) {
  for (std::uint64_t cols : {0, 5}) {
    EXPECT_EQ(fatal_message([&] { (void)transpose(zeros(0, cols)); }),
              "chunk_size must not be zero");
  }
  const Matrix t = transpose(zeros(3, 0));
  EXPECT_EQ(t.rows, 0u);
  EXPECT_EQ(t.cols, 3u);
}

TEST(MatrixElementwise, KeepsShapeIncludingEmpty) {
  for (auto [r, c] : {std::pair<std::uint64_t, std::uint64_t>{0, 3}, {3, 0}, {2, 5}}) {
    const Matrix a = zeros(r, c);
    for (const Matrix& out : {matrix_add(a, 1.0f), matrix_mul(a, 2.0f)}) {
      EXPECT_EQ(out.rows, r);
      EXPECT_EQ(out.cols, c);
      EXPECT_EQ(out.data.size(), r * c);
    }
  }
}

}  // namespace
}  // namespace zelto
