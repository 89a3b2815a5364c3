#include "binding/native_class.hpp"

#include "binding/py_ref.hpp"

namespace zelto::binding {
namespace {

// Py_TPFLAGS_IMMUTABLETYPE, set from CPython 3.10 on by extension modules that make their
// classes as heap types; the bit is unused before 3.10, where those classes are static.
constexpr unsigned long kImmutableType = 1UL << 8;

// True when the attribute of type is the str text; any failure is false, its error dropped.
bool attribute_is(PyTypeObject* type, const char* attribute, const char* text) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
  if (!value) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), text) == 0;
}

}  // namespace

bool made_by_c(PyTypeObject* type) {
  const unsigned long flags = PyType_GetFlags(type);
  return (flags & Py_TPFLAGS_HEAPTYPE) == 0 || (flags & kImmutableType) != 0;
}

// With the metaclass exactly type, __module__ and __name__ come from type's own descriptors,
// which read what C code fixed when it made the class (an immutable class's attributes cannot
// be reassigned), so no Python code runs and none can answer in their place.
bool is_native_class(PyTypeObject* type, const char* module, const char* name) {
  if (!made_by_c(type) || Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type) return false;
  return attribute_is(type, "__module__", module) && attribute_is(type, "__name__", name);
}

bool NativeClass::recognise(PyTypeObject* type) {
  if (!is_native_class(type, module_, name_)) return false;
  if (type_ == nullptr) {
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    type_ = type;
  }
  return true;
}

bool NativeClass::is(PyTypeObject* type) { return type == type_ || recognise(type); }

// Before the class is known, the first class made by C along type's chain of primary bases
// (PyType_GetSlot reads the base of the Python classes above it) is the candidate.
PyTypeObject* NativeClass::base_of(PyTypeObject* type) {
  if (type_ == nullptr) {
    PyTypeObject* candidate = type;
    while (candidate != nullptr && !made_by_c(candidate)) {
      candidate = static_cast<PyTypeObject*>(PyType_GetSlot(candidate, Py_tp_base));
    }
    if (candidate == nullptr || !recognise(candidate)) return nullptr;
  }
  return PyType_IsSubtype(type, type_) ? type_ : nullptr;
}

}  // namespace zelto::binding
