// Recognising the classes of other extension modules (numpy.ndarray, array.array) by what Python
// code cannot forge, so that memory they describe can be read without trusting Python code.
#pragma once

#include "binding/python.hpp"

namespace zelto::binding {

// True for a class that only C code can have made: a static type, or a heap type created
// immutable (a class statement makes neither).
bool made_by_c(PyTypeObject* type);

// True when type was made by C code (a static type, or a heap type created immutable: a class
// statement makes neither), its metaclass is exactly type, and its __module__ and __name__,
// which C code fixed and nothing can reassign, are module and name. A stand-in module in
// sys.modules, or a Python class named alike, never passes.
bool is_native_class(PyTypeObject* type, const char* module, const char* name);

// One such class, found the first time an object of it (or, for subclasses, of a class derived
// from it) is seen, and then kept for the process. Only a class that passed is_native_class is
// kept: a look-alike or a failed probe leaves the cell empty for the next call to try again.
class NativeClass {
 public:
  constexpr NativeClass(const char* module, const char* name) : module_(module), name_(name) {}

  // True when type is the class itself.
  bool is(PyTypeObject* type);
  // The class when type is it or derives from it, else null.
  PyTypeObject* base_of(PyTypeObject* type);

 private:
  // The cell, filled from type when type is the class.
  bool recognise(PyTypeObject* type);

  const char* module_;
  const char* name_;
  PyTypeObject* type_ = nullptr;
};

}  // namespace zelto::binding
