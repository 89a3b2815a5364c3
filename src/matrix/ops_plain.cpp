// TEMPORARY plain loops until the fast kernels land.
#include "core/fatal.hpp"
#include "matrix/matrix.hpp"
#include "parallel/parallel.hpp"

namespace zelto {

Matrix matrix_add(const Matrix& a, float v) {
  return {parallel_map(a.data, [v](float x) { return x + v; }, 1.0), a.rows, a.cols};
}

Matrix matrix_mul(const Matrix& a, float v) {
  return {parallel_map(a.data, [v](float x) { return x * v; }, 1.0), a.rows, a.cols};
}

std::optional<Matrix> matmul(const Matrix& a, const Matrix& b) {
  if (a.cols != b.rows) return std::nullopt;
  const std::uint64_t r = a.rows, k = a.cols, n = b.cols;
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(r, n, &count) || count > kMaxFloatVecLen) {
    raise_fatal("capacity overflow");
  }
  FloatVec c = FloatVec::zeros(count);
  parallel_for_each_chunk_mut(
      c, n,
      [&](std::size_t i, float* row, std::size_t) {
        for (std::size_t p = 0; p < k; ++p) {
          const float x = a.data[i * k + p];
          const float* brow = b.data.data() + p * n;
          for (std::size_t j = 0; j < n; ++j) row[j] = x * brow[j] + row[j];
        }
      },
      1.0);
  return Matrix{std::move(c), r, n};
}

Matrix transpose(const Matrix& a) {
  const std::uint64_t r = a.rows, c = a.cols;
  FloatVec t = FloatVec::zeros(a.data.size());
  parallel_for_each_chunk_mut(
      t, r,
      [&](std::size_t i, float* row, std::size_t) {
        for (std::size_t j = 0; j < r; ++j) row[j] = a.data[j * c + i];
      },
      1.0);
  return Matrix{std::move(t), c, r};
}

}  // namespace zelto
