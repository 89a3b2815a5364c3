// A matrix argument (the solver's X, ZeltoMatrix.from_array's a): a ZeltoMatrix, borrowed as
// it is, or a matrix read from an array with the array's own shape, exactly as
// ZeltoMatrix(a, rows, cols) reads it, so numeric numpy arrays come from memory and never as
// one Python object per element.
#pragma once

#include <optional>
#include <utility>

#include "binding/instance.hpp"
#include "binding/python.hpp"
#include "matrix/matrix.hpp"

namespace zelto::binding {

// Which arrays: only those of two dimensions, or those of one dimension too, read as a column
// (n values, one per row, as predictions and weights are).
enum class ArrayDimensions { two, one_or_two };

class MatrixArgument {
 public:
  // A ZeltoMatrix, or a numpy array (any subclass) or object offering numpy's array protocol
  // with dimensions as wanted; anything else is the type mismatch "... cannot be converted to
  // 'ZeltoMatrix'", and an array of other dimensions a TypeError naming its shape.
  MatrixArgument(PyObject* obj, ArrayDimensions dimensions);
  MatrixArgument(const MatrixArgument&) = delete;
  MatrixArgument& operator=(const MatrixArgument&) = delete;

  const Matrix& get() const noexcept { return borrowed_ ? borrowed_->get() : read_; }
  // True when the argument is a ZeltoMatrix, borrowed rather than read.
  bool is_borrowed() const noexcept { return borrowed_.has_value(); }
  // The matrix read from an array, handed over (when not borrowed).
  Matrix take_read() noexcept { return std::move(read_); }

 private:
  std::optional<SharedBorrow<Matrix>> borrowed_;
  Matrix read_;
};

// The conversions of convert_slot: X of the solver's entries, and the a of from_array.
inline MatrixArgument to_matrix_argument(PyObject* obj) {
  return MatrixArgument(obj, ArrayDimensions::two);
}
inline MatrixArgument to_matrix_of_array(PyObject* obj) {
  return MatrixArgument(obj, ArrayDimensions::one_or_two);
}

}  // namespace zelto::binding
