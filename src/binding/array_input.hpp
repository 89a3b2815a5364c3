// Reading a float sequence straight from the memory of a container whose iteration yields
// exactly the values its memory holds, instead of one Python object at a time.
#pragma once

#include <optional>

#include "binding/python.hpp"
#include "core/float_vec.hpp"

namespace zelto::binding {

// The elements of obj converted to float32 exactly as iterating obj and converting each item
// would convert them, when obj is an exact bytes, bytearray, one-dimensional memoryview of a
// native numeric format, array.array of a numeric type code, or numpy.ndarray of one dimension
// with a native-order bool, integer or float16/32/64 element type. Anything else (subclasses
// included) gives nullopt, without an error pending, for the item-by-item path.
std::optional<FloatVec> read_array_memory(PyObject* obj);

}  // namespace zelto::binding
