// Conversions between Python objects and the native values the operations take and return.
#pragma once

#include <cstdint>
#include <source_location>

#include "binding/error.hpp"
#include "binding/py_ref.hpp"
#include "core/float_vec.hpp"

namespace zelto::binding {

// The interpreter's float conversion, rounded once to the nearest 32-bit float.
inline float to_float(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw fetch_pending();
  return static_cast<float>(value);
}

// An int (bool included) or an object with __index__, as an unsigned 64-bit integer.
std::uint64_t to_u64(PyObject* obj);

// Any sequence except str, read by iteration, each item through to_float; containers whose
// iteration is their memory (binding/array_input.hpp) are read from it with the same result.
FloatVec to_float_vec(PyObject* obj);

// A new list of floats, each the exact widening of one element.
PyRef to_float_list(const FloatVec& values);
// A new tuple of two ints.
PyRef to_shape_tuple(std::uint64_t rows, std::uint64_t cols);
// A new float, the exact widening of value.
PyRef to_float_object(float value);
// A new reference to None.
PyRef none_object() noexcept;

// An interpreter call that must produce an object failed: out of memory throws std::bad_alloc
// (MemoryError at the boundary); anything else prints its error, then fails fatally.
[[noreturn]] void python_api_failed(std::source_location where = std::source_location::current());

}  // namespace zelto::binding
