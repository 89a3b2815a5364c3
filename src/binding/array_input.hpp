// Reading a float sequence straight from the memory of a container whose iteration yields
// exactly the values its memory holds, instead of one Python object at a time.
#pragma once

#include <optional>
#include <vector>

#include "binding/py_ref.hpp"
#include "binding/python.hpp"
#include "core/float_vec.hpp"

namespace zelto::binding {

// Which numpy arrays a conversion reads from memory: any number of dimensions (the elements in
// row-major order), or a vector in disguise, where at most one dimension is longer than 1
// (shape (n,), (n, 1), (1, n)), for arguments that are one value per row or per weight.
enum class ArrayShape { any, vector };

// The elements of obj converted to float32 exactly as iterating obj and converting each item
// would convert them, when obj is an exact bytes, bytearray, one-dimensional memoryview of a
// native numeric format or array.array of a numeric type code; and, in row-major order, when it
// is a numpy.ndarray (or a subclass that iterates like one, such as numpy.memmap) of one or more
// dimensions, of the shape wanted, with a native-order bool, integer or float16/32/64 element
// type. Anything else gives nullopt, without an error pending, for the item-by-item path.
std::optional<FloatVec> read_array_memory(PyObject* obj, ArrayShape shape);

// A numpy.ndarray (or a subclass that iterates like one) of two or more dimensions, and of
// the shape wanted, whose memory read_array_memory does not read (another byte order, object
// elements, ...): its elements in row-major order as an array of one dimension (ndarray's own
// ravel(), whatever the subclass defines), so that reading it item by item gives numbers, not
// rows. Null for anything else, without an error pending.
PyRef flattened_array(PyObject* obj, ArrayShape shape);

// True for an instance of numpy.ndarray or of any subclass (numpy.matrix, masked arrays, ...).
bool is_ndarray(PyObject* obj);
// True for the containers this file knows by their class, with their subclasses: bytes,
// bytearray, memoryview, array.array and numpy.ndarray. They are read as themselves.
bool is_known_container(PyObject* obj);
// The dimensions of such an instance, as ndarray's own shape gives them; nullopt for anything
// else, without an error pending.
std::optional<std::vector<Py_ssize_t>> ndarray_shape(PyObject* obj);

}  // namespace zelto::binding
