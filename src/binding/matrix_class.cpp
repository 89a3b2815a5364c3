// ZeltoMatrix: the record is Instance<Matrix>. Every entry runs inside the boundary frame: bind
// the arguments, borrow, convert, call the operation, convert its result.
#include "binding/matrix_class.hpp"

#include <optional>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/array_export.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/matrix_argument.hpp"
#include "binding/method_table.hpp"
#include "binding/state.hpp"
#include "matrix/matrix.hpp"

namespace zelto::binding {
namespace {

constexpr const char* kClass = "ZeltoMatrix";
constexpr const char* kNewParams[] = {"data", "rows", "cols"};
constexpr FunctionDescription kNew{kClass, "__new__", kNewParams};
constexpr const char* kMatmulParams[] = {"other"};
constexpr FunctionDescription kMatmul{kClass, "matmul", kMatmulParams};
constexpr const char* kScalarParams[] = {"val"};
constexpr FunctionDescription kAdd{kClass, "add", kScalarParams};
constexpr FunctionDescription kMul{kClass, "mul", kScalarParams};
constexpr FunctionDescription kTranspose{kClass, "transpose", {}};
constexpr FunctionDescription kShape{kClass, "shape", {}};
constexpr FunctionDescription kToList{kClass, "to_list", {}};
constexpr FunctionDescription kReduce{kClass, "__reduce__", {}};
constexpr const char* kStateParams[] = {"state"};
constexpr FunctionDescription kFromState{kClass, "_from_state", kStateParams};
constexpr FunctionDescription kCopy{kClass, "__copy__", {}};
constexpr const char* kFromArrayParams[] = {"a"};
constexpr FunctionDescription kFromArray{kClass, "from_array", kFromArrayParams};

// ZeltoMatrix(data, rows, cols): the length check comes before the instance is allocated.
PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kNew, args, kwargs, slots);
    FloatVec data = convert_slot(kNew, slots, 0, to_flat_floats);
    const std::uint64_t rows = convert_slot(kNew, slots, 1, to_u64);
    const std::uint64_t cols = convert_slot(kNew, slots, 2, to_u64);
    return new_instance(type, zelto::make_matrix(std::move(data), rows, cols));
  });
}

// ZeltoMatrix.from_array(a): a matrix of the array's own shape, a 1-D array as one column; a
// ZeltoMatrix is returned as it is, since a matrix never changes.
PyObject* matrix_from_array(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kFromArray, args, kwargs, slots);
    MatrixArgument a = convert_slot(kFromArray, slots, 0, to_matrix_of_array);
    if (a.is_borrowed()) return PyRef::borrow(slots[0]);
    return new_instance(reinterpret_cast<PyTypeObject*>(cls), a.take_read());
  });
}

// matmul(other): other may be the receiver itself (two shared borrows).
PyObject* matrix_matmul(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kMatmul, args, kwargs, slots);
    SharedBorrow<Matrix> receiver(self);
    SharedBorrow<Matrix> other = convert_slot(kMatmul, slots, 0, borrow_matrix);
    std::optional<Matrix> product = zelto::matmul(receiver.get(), other.get());
    if (!product) throw PyError(value_error_class, msg::kShapeMismatch);
    return new_matrix_object(std::move(*product));
  });
}

// add(val) and mul(val): one element-wise operation with the scalar rounded to 32 bits.
template <const FunctionDescription& kDescription, Matrix (*kOperation)(const Matrix&, float)>
PyObject* matrix_scalar(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kDescription, args, kwargs, slots);
    SharedBorrow<Matrix> receiver(self);
    const float val = convert_slot(kDescription, slots, 0, to_float);
    return new_matrix_object(kOperation(receiver.get(), val));
  });
}

// transpose(): a new matrix; the receiver is only read.
PyObject* matrix_transpose(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return new_matrix_object(zelto::transpose(receiver.get()));
  });
}

// shape(): the dimensions as stored, so 0 x n and n x 0 stay distinct.
PyObject* matrix_shape(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_shape_tuple(receiver.get().rows, receiver.get().cols);
  });
}

// The elements are read straight from the borrowed record, which nothing can change meanwhile.
PyObject* matrix_to_list(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_float_list(receiver.get().data);
  });
}

// __reduce__(): the matrix's state, read back by ZeltoMatrix._from_state.
PyObject* matrix_reduce(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return reduce_to(self, matrix_state(receiver.get()));
  });
}

// ZeltoMatrix._from_state(state): a new matrix from what __reduce__ wrote; a malformed state is
// refused before anything is allocated.
PyObject* matrix_from_state_entry(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kFromState, args, kwargs, slots);
    Matrix matrix = convert_slot(kFromState, slots, 0, matrix_from_state);
    return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(matrix));
  });
}

// __copy__() and __deepcopy__(memo): a matrix never changes, so it is its own copy.
PyObject* matrix_copy(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] { return PyRef::borrow(self); });
}

// repr: the class and the shape, "ZeltoMatrix(rows=2, cols=3)".
PyObject* matrix_repr(PyObject* self) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_str(msg::fill(msg::kMatrixRepr, {std::to_string(receiver.get().rows),
                                               std::to_string(receiver.get().cols)}));
  });
}

// __array_interface__: numpy.asarray(m) becomes a read-only view of the matrix's own memory,
// whose base keeps the matrix alive; no element is copied, whatever the size.
PyObject* matrix_array_interface(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return array_interface(receiver.get());
  });
}

PyGetSetDef kAttributes[] = {
    {"__array_interface__", matrix_array_interface, nullptr,
     "The matrix's memory for numpy: read-only float32, shape (rows, cols), C order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    method<kMatmul, matrix_matmul>(),
    method<kAdd, matrix_scalar<kAdd, zelto::matrix_add>>(),
    method<kMul, matrix_scalar<kMul, zelto::matrix_mul>>(),
    method<kTranspose, matrix_transpose>(),
    method<kShape, matrix_shape>(),
    method<kToList, matrix_to_list>(),
    method<kReduce, matrix_reduce>(),
    class_method<kFromState, matrix_from_state_entry>(),
    class_method<kFromArray, matrix_from_array>(),
    method<kCopy, matrix_copy>(),
    {"__deepcopy__", as_cfunction(matrix_copy), METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    kEndOfMethods,
};

}  // namespace

const ClassDescription kMatrixClass{
    .name = kClass,
    .text_signature = kSignature<kNew, Signature::constructor>,
    .basic_size = static_cast<int>(sizeof(Instance<Matrix>)),
    .constructor = matrix_new,
    .methods = kMethods,
    .getset = kAttributes,
    .repr = matrix_repr,
    .release = release_instance<Matrix>,
};

}  // namespace zelto::binding
