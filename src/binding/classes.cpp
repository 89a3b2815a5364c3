#include "binding/classes.hpp"

#include <memory>
#include <string>
#include <vector>

#include "binding/error.hpp"
#include "binding/interpreter.hpp"
#include "binding/messages.hpp"
#include "core/fatal.hpp"

namespace zelto::binding {

PyTypeObject* detail::g_class_cells[kClassCount] = {};

namespace {

// Process-wide one-time holders, never emptied: the documentation texts (never empty once
// built) and the qualified names that older interpreters keep pointing into.
std::string g_docs[kClassCount];
std::vector<std::unique_ptr<std::string>> g_retained_names;

// "<name><signature>\n--\n\n" followed by the class's own (empty) documentation, made once.
const char* class_doc(ClassId id) {
  std::string& doc = g_docs[static_cast<int>(id)];
  if (doc.empty()) {
    const ClassDescription& description = class_description(id);
    std::string text = std::string(description.name) + description.text_signature + "\n--\n\n";
    if (text.find('\0') != std::string::npos) throw PyError(value_error_class, msg::kClassDocNul);
    doc = std::move(text);
  }
  return doc.c_str();
}

// 1. Documentation and method table; 2. the PyType_Spec with its slots in fixed order (the
// attribute table, where the class has one, after the methods, then the repr);
// 3. PyType_FromSpec; 4. the name text kept alive where the interpreter does not copy it.
// The name's module part is the module's own, so pickle and other lookups by reference find the
// class as zelto_ml.<name>.
PyTypeObject* create_class(ClassId id) {
  const ClassDescription& description = class_description(id);
  PyType_Slot slots[8] = {
      {Py_tp_doc, const_cast<char*>(class_doc(id))},
      {Py_tp_new, reinterpret_cast<void*>(description.constructor)},
      {Py_tp_methods, description.methods},
  };
  int count = 3;
  if (description.getset != nullptr) slots[count++] = {Py_tp_getset, description.getset};
  slots[count++] = {Py_tp_repr, reinterpret_cast<void*>(description.repr)};
  slots[count++] = {Py_tp_base, &PyBaseObject_Type};
  slots[count++] = {Py_tp_dealloc, reinterpret_cast<void*>(description.release)};
  slots[count] = {0, nullptr};
  auto name = std::make_unique<std::string>(std::string("zelto_ml.") + description.name);
  PyType_Spec spec = {
      .name = name->c_str(),
      .basicsize = description.basic_size,
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) throw fetch_pending();
  if (!interpreter_copies_type_name()) g_retained_names.push_back(std::move(name));
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

PyTypeObject* class_object_for_init(ClassId id) {
  const int slot = static_cast<int>(id);
  if (detail::g_class_cells[slot] != nullptr) return detail::g_class_cells[slot];
  try {
    detail::g_class_cells[slot] = create_class(id);
  } catch (PyError& error) {
    PyObject* cause = error.value();
    PyError wrapped(runtime_error_class,
                    msg::fill(msg::kClassInitFailed, {class_description(id).name}));
    PyException_SetCause(wrapped.value(), PyRef::borrow(cause).release());
    throw wrapped;
  }
  return detail::g_class_cells[slot];
}

PyTypeObject* detail::create_class_object(ClassId id) {
  try {
    return class_object_for_init(id);
  } catch (PyError& error) {
    error.restore();
    PyErr_PrintEx(0);
  }
  raise_fatal(msg::fill(msg::kClassCreateFailed, {class_description(id).name}));
}

allocfunc class_allocator(PyTypeObject* type) noexcept {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc != nullptr ? alloc : PyType_GenericAlloc;
}

bool interpreter_copies_type_name() noexcept {
  const PythonVersion version = interpreter_version();
  return version.major > 3 || (version.major == 3 && version.minor >= 11);
}

}  // namespace zelto::binding
