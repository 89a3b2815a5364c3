// Admitting an import, and filling the module object: named values listed in __all__, and the
// module function.
#pragma once

#include "binding/python.hpp"

namespace zelto::binding {

// Refuses, with ImportError, an import the module cannot serve, before anything is made: in a
// subinterpreter (the module's classes and worker pool belong to the whole process), or when
// ZELTO_ISA asks for a kernel variant that cannot run here.
void check_import_allowed();

// True once an import has received the module (the import machinery sets its __spec__).
bool was_imported(PyObject* module);

// Appends name to the module's __all__ (made when missing) and sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value);

// Makes the function bound to the module, with the module's name as its __module__, and adds
// it under its own __name__.
void add_function(PyObject* module, PyMethodDef* definition);

}  // namespace zelto::binding
