// The matrix's own memory described for numpy (and any other reader of __array_interface__).
#pragma once

#include "binding/py_ref.hpp"
#include "matrix/matrix.hpp"

namespace zelto::binding {

// A new __array_interface__ dictionary for the matrix: version 3, native-order float32, shape
// (rows, cols), C order (strides None), data (address, True) so readers map it read-only.
// numpy keeps the object it read this from as the view's base, which keeps the memory alive;
// a matrix never changes, so the view never sees a write either.
PyRef array_interface(const Matrix& matrix);

}  // namespace zelto::binding
