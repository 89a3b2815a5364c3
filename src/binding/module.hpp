// Filling the module object: named values listed in __all__, and the module function.
#pragma once

#include "binding/python.hpp"

namespace zelto::binding {

// Appends name to the module's __all__ (made when missing) and sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value);

// Makes the function bound to the module, with the module's name as its __module__, and adds
// it under its own __name__.
void add_function(PyObject* module, PyMethodDef* definition);

}  // namespace zelto::binding
