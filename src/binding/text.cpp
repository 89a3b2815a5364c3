#include "binding/text.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"

namespace zelto::binding {
namespace {

// str() or repr() of obj; when that raises, the failure is reported as unraisable and a
// placeholder naming the object's type is written instead.
std::string text_via(PyObject* obj, PyObject* (*to_text)(PyObject*)) {
  PyRef text = PyRef::steal(to_text(obj));
  if (text) return utf8_lossy(text.get());
  PyErr_WriteUnraisable(obj);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = module ? PyRef::steal(PyObject_GetAttrString(type, "__name__")) : PyRef();
  PyRef module_text = name ? PyRef::steal(PyObject_Str(module.get())) : PyRef();
  PyRef name_text = module_text ? PyRef::steal(PyObject_Str(name.get())) : PyRef();
  if (!name_text) {
    PyErr_Clear();
    return msg::kUnprintableNoType;
  }
  const std::string qualified = utf8_lossy(module_text.get()) + "." + utf8_lossy(name_text.get());
  return msg::fill(msg::kUnprintable, {qualified});
}

}  // namespace

// A lone surrogate's surrogate-pass encoding is three bytes (0xED, 0xA0-0xBF, any), each written
// as one U+FFFD, so a message never fails to be written.
std::string utf8_lossy(PyObject* text) {
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(text));
  if (bytes) return std::string(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()));
  PyErr_Clear();
  bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) {
    PyErr_Clear();
    return std::string();
  }
  const char* raw = PyBytes_AsString(bytes.get());
  const Py_ssize_t size = PyBytes_Size(bytes.get());
  std::string out;
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    const auto lead = static_cast<unsigned char>(raw[i]);
    const auto next = i + 1 < size ? static_cast<unsigned char>(raw[i + 1]) : 0;
    if (lead == 0xED && next >= 0xA0 && i + 2 < size) {
      for (int k = 0; k < 3; ++k) out += "\xEF\xBF\xBD";
      i += 2;
    } else {
      out += static_cast<char>(lead);
    }
  }
  return out;
}

std::string object_text(PyObject* obj) { return text_via(obj, PyObject_Str); }

std::string object_repr(PyObject* obj) { return text_via(obj, PyObject_Repr); }

std::string type_qualname_of_type(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(name.get()));
    if (bytes) return std::string(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()));
  }
  PyErr_Clear();
  return msg::kFailedTypeName;
}

// 1. The fewest significant digits (at most 9, which always suffice) whose decimal rounds back
//    to the same float32 bits; infinities and NaN have no digits to choose.
// 2. That decimal read as a double and written by Python's repr, for Python's own layout.
std::string float32_text(float value) {
  char digits[32];
  for (int precision = 1; precision <= 9; ++precision) {
    std::snprintf(digits, sizeof digits, "%.*g", precision, static_cast<double>(value));
    if (std::bit_cast<std::uint32_t>(std::strtof(digits, nullptr)) ==
        std::bit_cast<std::uint32_t>(value)) {
      break;
    }
  }
  const double shortest = value != value ? static_cast<double>(value) : std::strtod(digits, nullptr);
  PyRef number = PyRef::steal(PyFloat_FromDouble(shortest));
  if (!number) throw fetch_pending();
  return object_repr(number.get());
}

}  // namespace zelto::binding
