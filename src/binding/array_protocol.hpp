// Objects that offer numpy's array protocol without being numpy arrays (pandas' DataFrame and
// Series, other libraries' arrays and tensors, buffers): turned into numpy arrays, so that they
// are read by their values, as numpy arrays are, and never by iteration (which gives a
// DataFrame's column labels).
#pragma once

#include "binding/py_ref.hpp"

namespace zelto::binding {

// A numpy.ndarray holding obj's values, when obj is none of the containers read as themselves
// (binding/array_input.hpp) and offers:
// - __array__ (its class defines it): its own result, which must be a numpy.ndarray (else
//   TypeError), so no module is imported; an array of no dimension (a numpy scalar's) is not
//   taken;
// - the buffer protocol: numpy.asarray of a memoryview of it;
// - __array_interface__ or __array_struct__ from a class made by C code: numpy.asarray(obj).
//   An array interface that Python code writes holds an address nothing vouches for, and is
//   not trusted; such an object is read as a sequence.
// Null, without an error pending, for anything else, and for the last two when numpy cannot be
// imported. An error raised by the object's own protocol (its __array__, say) is thrown.
PyRef array_from_protocol(PyObject* obj);

}  // namespace zelto::binding
