// Python objects written as text for messages: str() or repr() in UTF-8, never failing.
#pragma once

#include <string>

#include "binding/python.hpp"

namespace zelto::binding {

// The UTF-8 form of a str; each lone surrogate, which UTF-8 cannot hold, becomes three U+FFFD.
std::string utf8_lossy(PyObject* text);

// Text for a Python object in a message: str(obj) in UTF-8, or "<unprintable ...>".
std::string object_text(PyObject* obj);
// repr(obj) in UTF-8 for debug forms, with the same fallback.
std::string object_repr(PyObject* obj);
// The __qualname__ of a class, or "<failed to extract type name>".
std::string type_qualname_of_type(PyObject* type);

// The shortest decimal that reads back as value's float32, written as Python writes a float:
// 0.1f gives "0.1", not its double widening "0.10000000149011612"; also "-0.0", "inf", "nan".
std::string float32_text(float value);

}  // namespace zelto::binding
