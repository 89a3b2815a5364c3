#include "binding/convert.hpp"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "binding/array_input.hpp"
#include "binding/array_protocol.hpp"
#include "binding/instance.hpp"
#include "binding/messages.hpp"
#include "core/fatal.hpp"

namespace zelto::binding {
namespace {

// Converts one item that is not an exact float. Its __float__ may run any Python code, so the
// item is held for the conversion.
float convert_held(PyObject* item) {
  const PyRef held = PyRef::borrow(item);
  return to_float(held.get());
}

// Reads an exact list. Exact floats convert without running Python code; any other item may
// change the list, so the length is read again at each step and the outcome is the one
// iterating the list would give. Items go straight into storage sized by the length; a list
// that changes its length meanwhile continues through push_back.
FloatVec read_list(PyObject* list) {
  const Py_ssize_t expected = PyList_Size(list);
  FloatVec direct = FloatVec::uninitialized(static_cast<std::size_t>(expected));
  float* dst = direct.data();
  Py_ssize_t i = 0;
  for (; i < expected && i < PyList_Size(list); ++i) {
    PyObject* item = PyList_GetItem(list, i);
    dst[i] = PyFloat_CheckExact(item) ? static_cast<float>(PyFloat_AsDouble(item))
                                      : convert_held(item);
  }
  if (i == expected && PyList_Size(list) == expected) return direct;
  FloatVec out;
  for (Py_ssize_t k = 0; k < i; ++k) out.push_back(dst[k]);
  for (; i < PyList_Size(list); ++i) out.push_back(convert_held(PyList_GetItem(list, i)));
  return out;
}

// Reads an exact tuple, whose length cannot change.
FloatVec read_tuple(PyObject* tuple) {
  const std::size_t size = static_cast<std::size_t>(PyTuple_Size(tuple));
  FloatVec out = FloatVec::uninitialized(size);
  float* dst = out.data();
  for (std::size_t i = 0; i < size; ++i) {
    dst[i] = to_float(PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(i)));
  }
  return out;
}

// Elements reserved before the first item of a sequence is read: 64 KiB, so that a length
// hint, which any __len__ may give, cannot reserve more memory than the items need.
constexpr std::size_t kFirstReserve = 16384;

// The storage an append finds full grows by doubling, but only up to the hint while fewer
// items than the hint have come: a true hint ends in one vector of exactly its length.
void grow_for_append(FloatVec& out, std::size_t hint) {
  const std::size_t size = out.size();
  if (size < out.capacity() || size >= hint) return;
  out.reserve(std::min(hint, std::max(2 * size, kFirstReserve)));
}

// 1. str is refused although it is a sequence; non-sequences are refused by type.
// 2. The length hint (0 when __len__ fails) only guides the growth; the items decide the
//    length. A hint no vector can hold is the capacity overflow it would be for any vector.
FloatVec read_iterated(PyObject* sequence) {
  if (PyUnicode_Check(sequence)) throw PyError(type_error_class, msg::kStrToVec);
  if (!PySequence_Check(sequence)) throw PyError::type_mismatch(sequence, "Sequence");
  Py_ssize_t hint = PySequence_Size(sequence);
  if (hint < 0) {
    take_pending();
    hint = 0;
  }
  const auto expected = static_cast<std::size_t>(hint);
  if (expected > kMaxFloatVecLen) raise_fatal("capacity overflow");
  FloatVec out;
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) throw fetch_pending();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const float value = to_float(item.get());
    grow_for_append(out, expected);
    out.push_back(value);
  }
  if (PyErr_Occurred() != nullptr) throw fetch_pending();
  return out;
}

// The elements of a matrix, when it is read whole: always for ArrayShape::any, and as a vector
// only when at most one dimension is longer than 1.
std::optional<FloatVec> read_matrix(PyObject* obj, ArrayShape shape) {
  if (!PyObject_TypeCheck(obj, class_object(ClassId::matrix))) return std::nullopt;
  SharedBorrow<Matrix> matrix(obj);
  const Matrix& m = matrix.get();
  if (shape == ArrayShape::vector && m.rows > 1 && m.cols > 1) return std::nullopt;
  return m.data.clone();
}

// 1. Exact lists and tuples are walked by index; their length needs no hint. A ZeltoMatrix is
//    read whole.
// 2. An object offering numpy's array protocol is read as the numpy array it gives.
// 3. Containers whose iteration is their memory (bytes, numpy arrays, ...) are read from that
//    memory; other numpy arrays of several dimensions are flattened by ndarray's own ravel and
//    read item by item in row-major order. Nothing is flattened twice, whatever a subclass
//    does, so the reading ends.
// 4. Anything else is read item by item.
FloatVec read_float_sequence(PyObject* obj, ArrayShape shape) {
  if (PyList_CheckExact(obj)) return read_list(obj);
  if (PyTuple_CheckExact(obj)) return read_tuple(obj);
  if (std::optional<FloatVec> read = read_matrix(obj, shape)) return std::move(*read);
  const PyRef array = array_from_protocol(obj);
  PyObject* source = array ? array.get() : obj;
  if (std::optional<FloatVec> read = read_array_memory(source, shape)) return std::move(*read);
  if (const PyRef flat = flattened_array(source, shape)) {
    if (std::optional<FloatVec> read = read_array_memory(flat.get(), shape)) {
      return std::move(*read);
    }
    return read_iterated(flat.get());
  }
  return read_iterated(source);
}

}  // namespace

std::uint64_t to_u64(PyObject* obj) {
  unsigned long long value = 0;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) throw fetch_pending();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == ~0ULL && PyErr_Occurred() != nullptr) throw fetch_pending();
  return value;
}

bool to_bool(PyObject* obj) {
  if (!PyBool_Check(obj)) throw PyError::type_mismatch(obj, "PyBool");
  return obj == Py_True;
}

Grouping grouping_slot(const FunctionDescription& description, PyObject* const* slots,
                       std::size_t i) {
  if (slots[i] == nullptr) return Grouping::pool;
  return convert_slot(description, slots, i, to_bool) ? Grouping::canonical : Grouping::pool;
}

FloatVec to_flat_floats(PyObject* obj) { return read_float_sequence(obj, ArrayShape::any); }

FloatVec to_vector_floats(PyObject* obj) { return read_float_sequence(obj, ArrayShape::vector); }

PyRef to_float_list(const FloatVec& values) {
  const std::size_t size = values.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
  if (!list) python_api_failed();
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) python_api_failed();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyRef to_shape_tuple(std::uint64_t rows, std::uint64_t cols) {
  PyRef first = PyRef::steal(PyLong_FromUnsignedLongLong(rows));
  if (!first) python_api_failed();
  PyRef second = PyRef::steal(PyLong_FromUnsignedLongLong(cols));
  if (!second) python_api_failed();
  return to_pair(std::move(first), std::move(second));
}

PyRef to_pair(PyRef first, PyRef second) {
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) python_api_failed();
  PyTuple_SetItem(tuple.get(), 0, first.release());
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

PyRef to_str(const std::string& text) {
  PyRef str = PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) throw fetch_pending();
  return str;
}

PyRef to_float_object(float value) {
  PyRef result = PyRef::steal(PyFloat_FromDouble(static_cast<double>(value)));
  if (!result) python_api_failed();
  return result;
}

PyRef none_object() noexcept { return PyRef::borrow(Py_None); }

void python_api_failed(std::source_location where) {
  // Out of memory is MemoryError, like every other allocation the system refuses, and says
  // nothing on standard error; the boundary frame raises it afresh.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  PyErr_Print();
  raise_fatal(msg::kApiCallFailed, where);
}

}  // namespace zelto::binding
