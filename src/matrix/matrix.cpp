// The matrix record's one constructor that checks its length invariant.
#include "matrix/matrix.hpp"

#include "core/fatal.hpp"

namespace zelto {

Matrix make_matrix(FloatVec data, std::uint64_t rows, std::uint64_t cols) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(rows, cols, &product) || product != data.size()) {
    raise_fatal("Data length does not match rows * cols");
  }
  return Matrix{std::move(data), rows, cols};
}

}  // namespace zelto
