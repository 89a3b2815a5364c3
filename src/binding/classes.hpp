// The two class objects: their descriptions, their one-time creation and their lookup.
#pragma once

#include "binding/python.hpp"

namespace zelto::binding {

enum class ClassId { matrix, solver };
inline constexpr int kClassCount = 2;

// What a class's binding file declares for it; creation turns it into a PyType_Spec.
struct ClassDescription {
  const char* name;            // the class name; the type is created as "zelto_ml.<name>"
  const char* text_signature;  // the constructor's parameter list, e.g. "(lr, iters)"
  int basic_size;              // size of the whole instance record
  newfunc constructor;
  PyMethodDef* methods;  // ends with an all-zero entry
  PyGetSetDef* getset;   // attributes, ending with an all-zero entry; null for none
  reprfunc repr;
  destructor release;
};

// Supplied by the module root: the description of each class.
const ClassDescription& class_description(ClassId id) noexcept;

// The class object from its cell, created on first need (during module initialisation); a
// creation failure is thrown as RuntimeError "An error occurred while initializing class <name>"
// with the cause attached.
PyTypeObject* class_object_for_init(ClassId id);
namespace detail {
// The class cells, filled once each and never emptied.
extern PyTypeObject* g_class_cells[kClassCount];
// Creates a class for an operation; see class_object.
PyTypeObject* create_class_object(ClassId id);
}  // namespace detail

// The class object for an operation; a creation failure is printed and becomes the fatal error
// "failed to create type object for <name>".
inline PyTypeObject* class_object(ClassId id) {
  PyTypeObject* type = detail::g_class_cells[static_cast<int>(id)];
  return type != nullptr ? type : detail::create_class_object(id);
}
// The allocation slot of a class (PyType_GenericAlloc where the class has none).
allocfunc class_allocator(PyTypeObject* type) noexcept;

// True when the running interpreter (3.11 and later) copies a heap type's name, so the
// name text need not outlive type creation. Read once from Py_GetVersion.
bool interpreter_copies_type_name() noexcept;

}  // namespace zelto::binding
