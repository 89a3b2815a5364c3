#include "binding/array_export.hpp"

#include <bit>

#include "binding/error.hpp"

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

}  // namespace

PyRef array_interface(const Matrix& matrix) {
  const void* address = matrix.data.empty() ? kNoElements : matrix.data.data();
  PyRef dict = made(PyDict_New());
  PyRef typestr = made(PyUnicode_FromString(kFloat32Typestr));
  PyRef shape = made(Py_BuildValue("(KK)", static_cast<unsigned long long>(matrix.rows),
                                   static_cast<unsigned long long>(matrix.cols)));
  PyRef data = made(Py_BuildValue("(NO)", PyLong_FromVoidPtr(const_cast<void*>(address)), Py_True));
  PyRef descr = made(Py_BuildValue("[(sO)]", "", typestr.get()));
  PyRef version = made(PyLong_FromLong(3));
  const struct {
    const char* key;
    PyObject* value;
  } items[] = {{"version", version.get()}, {"typestr", typestr.get()}, {"descr", descr.get()},
               {"shape", shape.get()},     {"strides", Py_None},       {"data", data.get()}};
  for (const auto& item : items) {
    if (PyDict_SetItemString(dict.get(), item.key, item.value) != 0) throw fetch_pending();
  }
  return dict;
}

}  // namespace zelto::binding
