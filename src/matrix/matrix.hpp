// The matrix record and its operations, in plain C++ over FloatVec.
#pragma once

#include <cstdint>
#include <optional>

#include "core/float_vec.hpp"

namespace zelto {

// A dense row-major matrix: element (i, j) at data[i * cols + j]; data.size() == rows * cols.
struct Matrix {
  FloatVec data;
  std::uint64_t rows = 0;
  std::uint64_t cols = 0;
};

// Checks the exact (overflow-proof) length invariant; a mismatch is the fatal error
// "Data length does not match rows * cols".
Matrix make_matrix(FloatVec data, std::uint64_t rows, std::uint64_t cols);

// out[i] = a[i] + v and out[i] = a[i] * v, the element on the left.
Matrix matrix_add(const Matrix& a, float v);
Matrix matrix_mul(const Matrix& a, float v);

// The product a x b, each element summed in ascending inner index from +0.0; nullopt when
// a.cols != b.rows (the caller raises the shape mismatch).
std::optional<Matrix> matmul(const Matrix& a, const Matrix& b);

// Rows and columns exchanged; bits moved unchanged.
Matrix transpose(const Matrix& a);

}  // namespace zelto
