// Conversions between Python objects and the native values the operations take and return.
#pragma once

#include <cstdint>
#include <source_location>
#include <string>

#include "binding/args.hpp"
#include "binding/error.hpp"
#include "binding/py_ref.hpp"
#include "core/float_vec.hpp"
#include "core/grouping.hpp"

namespace zelto::binding {

// The interpreter's float conversion, rounded once to the nearest 32-bit float.
inline float to_float(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw fetch_pending();
  return static_cast<float>(value);
}

// An int (bool included) or an object with __index__, as an unsigned 64-bit integer.
std::uint64_t to_u64(PyObject* obj);

// True or False only; anything else is the type mismatch "... cannot be converted to 'PyBool'".
bool to_bool(PyObject* obj);

// The keyword-only canonical=False of the entries that sum over the pool, and its conversion
// from slot i: True groups the sums canonically.
inline constexpr KeywordOnly kCanonicalKeyword[] = {{"canonical", "False"}};
Grouping grouping_slot(const FunctionDescription& description, PyObject* const* slots,
                       std::size_t i);

// The elements of any sequence except str, flattened: read by iteration, each item through
// to_float; containers whose iteration is their memory (binding/array_input.hpp) are read from
// it with the same result, numpy arrays of any shape in row-major order. For the elements of a
// matrix and run_heavy_logic's data.
FloatVec to_flat_floats(PyObject* obj);
// One value per row or per weight (y, weights): the same, except that a numpy array is read
// from memory only when it is a vector (ArrayShape::vector), so a wider one keeps the
// item-path error of its rows.
FloatVec to_vector_floats(PyObject* obj);

// A new list of floats, each the exact widening of one element.
PyRef to_float_list(const FloatVec& values);
// A new tuple of two ints.
PyRef to_shape_tuple(std::uint64_t rows, std::uint64_t cols);
// A new 2-tuple that takes over both references.
PyRef to_pair(PyRef first, PyRef second);
// A new str of UTF-8 text.
PyRef to_str(const std::string& text);
// A new float, the exact widening of value.
PyRef to_float_object(float value);
// A new reference to None.
PyRef none_object() noexcept;

// An interpreter call that must produce an object failed: out of memory throws std::bad_alloc
// (MemoryError at the boundary); anything else prints its error, then fails fatally.
[[noreturn]] void python_api_failed(std::source_location where = std::source_location::current());

}  // namespace zelto::binding
