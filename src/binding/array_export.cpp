#include "binding/array_export.hpp"

#include <bit>
#include <cstdint>
#include <string>

#include "binding/error.hpp"
#include "binding/messages.hpp"

namespace zelto::binding {
namespace {

// numpy treats a null data address as "allocate for me", so an empty matrix points here.
alignas(64) const float kNoElements[1] = {0.0f};

constexpr const char* kFloat32Typestr = std::endian::native == std::endian::little ? "<f4" : ">f4";

// The new reference, or the interpreter's pending error (MemoryError) thrown.
PyRef made(PyObject* obj) {
  if (obj == nullptr) throw fetch_pending();
  return PyRef::steal(obj);
}

// A new 2-tuple that takes over both references.
PyRef pair(PyRef first, PyRef second) {
  PyRef tuple = made(PyTuple_New(2));
  PyTuple_SetItem(tuple.get(), 0, first.release());
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return tuple;
}

// The immutable parts every dictionary shares: its keys, the version, the type string and the
// element description ('', typestr). Made once and kept for the process, so each call builds
// only the dictionary, the shape, the data pair and the one-element description list (a list
// is mutable, so each caller gets its own).
struct Constants {
  PyRef version_key, typestr_key, descr_key, shape_key, strides_key, data_key;
  PyRef version, typestr, field;
};

const Constants& constants() {
  static const Constants* made_once = nullptr;
  if (made_once == nullptr) {
    PyRef typestr = made(PyUnicode_InternFromString(kFloat32Typestr));
    PyRef field = pair(made(PyUnicode_FromString("")), typestr);
    made_once = new Constants{made(PyUnicode_InternFromString("version")),
                              made(PyUnicode_InternFromString("typestr")),
                              made(PyUnicode_InternFromString("descr")),
                              made(PyUnicode_InternFromString("shape")),
                              made(PyUnicode_InternFromString("strides")),
                              made(PyUnicode_InternFromString("data")),
                              made(PyLong_FromLong(3)),
                              typestr,
                              field};
  }
  return *made_once;
}

}  // namespace

// numpy refuses a dimension whose bytes exceed its index type even when the other dimension
// is 0 (then the matrix holds no element, and only such matrices can have one that large).
PyRef array_interface(const Matrix& matrix) {
  constexpr std::uint64_t kLargest = PY_SSIZE_T_MAX / sizeof(float);
  if (matrix.rows > kLargest || matrix.cols > kLargest) {
    throw PyError(value_error_class,
                  msg::fill(msg::kTooLargeForNumpy,
                            {std::to_string(matrix.rows), std::to_string(matrix.cols),
                             std::to_string(kLargest)}));
  }
  const Constants& c = constants();
  const void* address = matrix.data.empty() ? kNoElements : matrix.data.data();
  PyRef shape = pair(made(PyLong_FromUnsignedLongLong(matrix.rows)),
                     made(PyLong_FromUnsignedLongLong(matrix.cols)));
  PyRef data = pair(made(PyLong_FromVoidPtr(const_cast<void*>(address))), PyRef::borrow(Py_True));
  PyRef descr = made(PyList_New(1));
  PyList_SetItem(descr.get(), 0, PyRef(c.field).release());
  PyRef dict = made(PyDict_New());
  const PyRef* items[][2] = {{&c.version_key, &c.version}, {&c.typestr_key, &c.typestr},
                             {&c.descr_key, &descr},       {&c.shape_key, &shape},
                             {&c.data_key, &data}};
  for (const auto& item : items) {
    if (PyDict_SetItem(dict.get(), item[0]->get(), item[1]->get()) != 0) throw fetch_pending();
  }
  if (PyDict_SetItem(dict.get(), c.strides_key.get(), Py_None) != 0) throw fetch_pending();
  return dict;
}

}  // namespace zelto::binding
