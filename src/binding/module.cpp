#include "binding/module.hpp"

#include "binding/error.hpp"
#include "binding/interpreter.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"
#include "core/fatal.hpp"
#include "core/isa.hpp"

namespace zelto::binding {
namespace {

// The module's __all__ list; a missing one is created, one that is not a list is refused.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyError error = fetch_pending();
    if (!PyErr_GivenExceptionMatches(error.value(), PyExc_AttributeError)) throw error;
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw fetch_pending();
  }
  if (!PyList_Check(all.get())) throw PyError::type_mismatch(all.get(), "PyList");
  return all;
}

}  // namespace

void check_import_allowed() {
  if (!in_main_interpreter()) throw PyError(import_error_class, msg::kSubinterpreter);
  const IsaChoice& isa = process_isa();
  if (!isa.refusal.empty()) throw PyError(import_error_class, isa.refusal);
}

bool was_imported(PyObject* module) {
  PyRef spec = PyRef::steal(PyObject_GetAttrString(module, "__spec__"));
  if (!spec) PyErr_Clear();
  return spec && spec.get() != Py_None;
}

void add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = all_list(module);
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text) throw fetch_pending();
  if (PyList_Append(all.get(), text.get()) != 0) {
    raise_fatal(msg::fill(msg::kAllAppendFailed, {fetch_pending().debug_form()}));
  }
  if (PyObject_SetAttr(module, text.get(), value) != 0) throw fetch_pending();
}

void add_function(PyObject* module, PyMethodDef* definition) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) throw fetch_pending();
  PyRef function = PyRef::steal(PyCFunction_NewEx(definition, module, module_name.get()));
  if (!function) throw fetch_pending();
  PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) throw fetch_pending();
  if (!PyUnicode_Check(name.get())) throw PyError::type_mismatch(name.get(), "PyString");
  PyRef name_bytes = PyRef::steal(PyUnicode_AsUTF8String(name.get()));
  if (!name_bytes) throw fetch_pending();
  add_to_module(module, PyBytes_AsString(name_bytes.get()), function.get());
}

}  // namespace zelto::binding
