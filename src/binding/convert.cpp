#include "binding/convert.hpp"

#include "binding/messages.hpp"
#include "core/fatal.hpp"

namespace zelto::binding {
namespace {

// Appends every item of an exact list. The length is read again at each step and each item is
// held while it converts, because an item's __float__ may change the list: the outcome is the
// one iterating the list would give.
void append_list(PyObject* list, FloatVec& out) {
  for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GetItem(list, i));
    out.push_back(to_float(item.get()));
  }
}

// Appends every item of an exact tuple, whose length cannot change.
void append_tuple(PyObject* tuple, FloatVec& out) {
  const Py_ssize_t size = PyTuple_Size(tuple);
  for (Py_ssize_t i = 0; i < size; ++i) out.push_back(to_float(PyTuple_GetItem(tuple, i)));
}

// Appends every item the object's iterator yields.
void append_iterated(PyObject* sequence, FloatVec& out) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) throw fetch_pending();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    out.push_back(to_float(item.get()));
  }
  if (PyErr_Occurred() != nullptr) throw fetch_pending();
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

// 1. str is refused although it is a sequence; non-sequences are refused by type.
// 2. The length hint (0 when __len__ fails) sizes the vector; the items decide its length.
// 3. Exact lists and tuples are walked by index, everything else through its iterator.
FloatVec to_float_vec(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw PyError(type_error_class, msg::kStrToVec);
  if (!PySequence_Check(obj)) throw PyError::type_mismatch(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    take_pending();
    hint = 0;
  }
  FloatVec out;
  out.reserve(static_cast<std::size_t>(hint));
  if (PyList_CheckExact(obj)) {
    append_list(obj, out);
  } else if (PyTuple_CheckExact(obj)) {
    append_tuple(obj, out);
  } else {
    append_iterated(obj, out);
  }
  return out;
}

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
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple) python_api_failed();
  PyTuple_SetItem(tuple.get(), 0, first.release());
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

PyRef to_float_object(float value) {
  PyRef result = PyRef::steal(PyFloat_FromDouble(static_cast<double>(value)));
  if (!result) python_api_failed();
  return result;
}

PyRef none_object() noexcept { return PyRef::borrow(Py_None); }

void python_api_failed(std::source_location where) {
  PyErr_Print();
  raise_fatal(msg::kApiCallFailed, where);
}

}  // namespace zelto::binding
