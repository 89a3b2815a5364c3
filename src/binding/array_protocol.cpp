#include "binding/array_protocol.hpp"

#include "binding/array_input.hpp"
#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/native_class.hpp"
#include "binding/text.hpp"

namespace zelto::binding {
namespace {

// True when obj's class defines name; looked up on the class, so no code of the instance runs.
bool class_defines(PyObject* obj, const char* name) {
  return PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name) == 1;
}

// True for an array of no dimension: what a numpy scalar's __array__ gives. A scalar is not a
// sequence of numbers and keeps the refusal of one.
bool zero_dimensional(PyObject* array) {
  const auto dims = ndarray_shape(array);
  return dims && dims->empty();
}

// numpy.asarray(source), or null without an error pending when numpy cannot be imported, or
// its asarray gives no numpy.ndarray (a stand-in module in numpy's place) or one of no
// dimension. An error of the conversion itself is thrown.
PyRef numpy_asarray(PyObject* source) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  PyRef asarray = numpy ? PyRef::steal(PyObject_GetAttrString(numpy.get(), "asarray")) : PyRef();
  if (!asarray) return PyErr_Clear(), PyRef();
  PyRef array = PyRef::steal(PyObject_CallFunctionObjArgs(asarray.get(), source, nullptr));
  if (!array) throw fetch_pending();
  return is_ndarray(array.get()) && !zero_dimensional(array.get()) ? array : PyRef();
}

}  // namespace

// 1. __array__ first: it is what pandas and the array libraries offer, and calling it runs only
//    the object's own code. numpy.asarray(obj) would ask for an array interface before it, which
//    a Python class can write with any address.
// 2. The buffer protocol is C code's description of memory it owns; numpy reads it through a
//    memoryview, so no array interface of the object is consulted.
// 3. An array interface is taken only from a class that C code made.
PyRef array_from_protocol(PyObject* obj) {
  if (PyUnicode_Check(obj) || is_known_container(obj)) return {};
  if (class_defines(obj, "__array__")) {
    PyRef array = PyRef::steal(PyObject_CallMethod(obj, "__array__", nullptr));
    if (!array) throw fetch_pending();
    if (!is_ndarray(array.get())) {
      throw PyError(type_error_class,
                    msg::fill(msg::kArrayNotNdarray,
                              {type_qualname_of_type(reinterpret_cast<PyObject*>(Py_TYPE(obj))),
                               type_qualname_of_type(
                                   reinterpret_cast<PyObject*>(Py_TYPE(array.get())))}));
    }
    return zero_dimensional(array.get()) ? PyRef() : array;
  }
  if (PyRef view = PyRef::steal(PyMemoryView_FromObject(obj))) return numpy_asarray(view.get());
  PyErr_Clear();
  if (made_by_c(Py_TYPE(obj)) &&
      (class_defines(obj, "__array_interface__") || class_defines(obj, "__array_struct__"))) {
    return numpy_asarray(obj);
  }
  return {};
}

}  // namespace zelto::binding
