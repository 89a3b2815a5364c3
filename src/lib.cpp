// The module root: the module definition, the module body that adds the two classes and the
// function, and the entry point PyInit_zelto_ml. The classes live in binding/matrix_class.cpp
// and binding/solver_class.cpp, the function in binding/heavy_function.cpp.
#include "binding/classes.hpp"
#include "binding/frame.hpp"
#include "binding/heavy_function.hpp"
#include "binding/matrix_class.hpp"
#include "binding/module.hpp"
#include "binding/python.hpp"
#include "binding/solver_class.hpp"

namespace {

using namespace zelto::binding;

PyModuleDef kModuleDefinition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "zelto_ml",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The initialised module, kept for the life of the process; a second initialisation is refused.
PyObject* g_module = nullptr;

// Adds the two classes and the function, in that order, each also listed in __all__, then the
// version of the package this build belongs to (from pyproject.toml, through CMake).
void module_body(PyObject* module) {
  add_to_module(module, "ZeltoMatrix",
                reinterpret_cast<PyObject*>(class_object_for_init(ClassId::matrix)));
  add_to_module(module, "ZeltoSolver",
                reinterpret_cast<PyObject*>(class_object_for_init(ClassId::solver)));
  add_function(module, &kHeavyFunction);
  if (PyModule_AddStringConstant(module, "__version__", ZELTO_VERSION) != 0) throw fetch_pending();
}

}  // namespace

namespace zelto::binding {

const ClassDescription& class_description(ClassId id) noexcept {
  return id == ClassId::matrix ? kMatrixClass : kSolverClass;
}

}  // namespace zelto::binding

PyMODINIT_FUNC PyInit_zelto_ml(void) noexcept {
  return call_in_frame([] {
    check_import_allowed();
    if (g_module != nullptr) {
      // From CPython 3.13 a subinterpreter's import runs this in the main interpreter and is
      // refused only afterwards: a module no import has received yet is handed out again.
      if (!was_imported(g_module)) return PyRef::borrow(g_module);
      throw PyError(import_error_class, msg::kInitOnce);
    }
    PyRef module = PyRef::steal(PyModule_Create2(&kModuleDefinition, PYTHON_ABI_VERSION));
    if (!module) throw fetch_pending();
    module_body(module.get());
    g_module = PyRef(module).release();
    return module;
  });
}
