// The matrix record's checked constructor and its operations: shape checks, result allocation,
// and the parallel loops that hand whole leaves of rows or elements to the kernels of the
// instruction set chosen at start-up.
#include "core/fatal.hpp"
#include "matrix/matmul.hpp"
#include "matrix/matrix_kernels.hpp"
#include "matrix/matrix.hpp"
#include "parallel/parallel.hpp"

namespace zelto {
namespace {

// Estimated cost of one element of add/mul and of one copied element of transpose, in ns: what
// the pool weighs against the cost of waking workers.
constexpr double kNsPerElement = 0.09;
constexpr double kNsPerCopy = 0.5;

// A matrix of a's shape whose elements kernel(in, out, count, v) writes, one leaf at a time.
Matrix map_values(const Matrix& a, float v, decltype(MatrixKernels::add_values) kernel) {
  FloatVec out = parallel_map_leaves(
      a.data, [&](const float* in, float* dst, std::size_t count) { kernel(in, dst, count, v); },
      kNsPerElement);
  return Matrix{std::move(out), a.rows, a.cols};
}

}  // namespace

Matrix make_matrix(FloatVec data, std::uint64_t rows, std::uint64_t cols) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(rows, cols, &product) || product != data.size()) {
    raise_fatal("Data length does not match rows * cols");
  }
  return Matrix{std::move(data), rows, cols};
}

Matrix matrix_add(const Matrix& a, float v) {
  return map_values(a, v, matrix_kernels().add_values);
}

Matrix matrix_mul(const Matrix& a, float v) {
  return map_values(a, v, matrix_kernels().mul_values);
}

std::optional<Matrix> matmul(const Matrix& a, const Matrix& b) {
  if (a.cols != b.rows) return std::nullopt;
  const std::uint64_t r = a.rows, k = a.cols, n = b.cols;
  // A product past 64 bits fails here; FloatVec refuses any count at or above its own limit.
  std::uint64_t count = 0;
  if (__builtin_mul_overflow(r, n, &count)) raise_fatal("capacity overflow");
  // The product's rows are its parallel loop's chunks: a row of no columns is a zero chunk.
  if (n == 0) raise_fatal("chunk_size must not be zero");
  // The kernel writes every element, starting each sum from +0.0 itself: the vector holds
  // zeros by the time anyone can read it, and its pages are touched in parallel.
  FloatVec c = FloatVec::uninitialized(count);
  const MatrixKernels& kernels = matrix_kernels();
  matmul_into(kernels, kernels.matmul_blocking(), a.data.data(), b.data.data(), c.data(), r, k,
              n);
  return Matrix{std::move(c), r, n};
}

Matrix transpose(const Matrix& a) {
  const std::uint64_t r = a.rows, c = a.cols;
  // Every element is copied by the kernel, so the vector is not zero-filled first.
  FloatVec t = FloatVec::uninitialized(a.data.size());
  const auto kernel = matrix_kernels().transpose_rows;
  const float* a_data = a.data.data();
  float* t_data = t.data();
  parallel_for_each_chunk_mut_leaves(
      t, r, [&](std::size_t first, std::size_t end) { kernel(a_data, t_data, r, c, first, end); },
      kNsPerCopy * static_cast<double>(r));
  return Matrix{std::move(t), c, r};
}

}  // namespace zelto
