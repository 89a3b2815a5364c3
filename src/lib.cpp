// The module root: the two classes with their entries and method tables, the module function,
// the module body and the entry point PyInit_zelto_ml. Every entry runs inside the boundary
// frame: bind the arguments, borrow, convert, call the operation, convert its result.
#include <optional>
#include <utility>

#include "binding/args.hpp"
#include "binding/array_export.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/module.hpp"
#include "binding/python.hpp"
#include "heavy/heavy.hpp"
#include "matrix/matrix.hpp"
#include "solver/solver.hpp"

namespace {

using zelto::FloatVec;
using zelto::Matrix;
using zelto::Solver;
using namespace zelto::binding;

// The method-table form of an entry; the interpreter calls it with the arity its flags name.
template <class Entry>
PyCFunction as_cfunction(Entry entry) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// A shared borrow of a ZeltoMatrix argument.
SharedBorrow<Matrix> borrow_matrix(PyObject* obj) { return SharedBorrow<Matrix>(obj); }

// ---------------------------------------------------------------------------------------------
// ZeltoMatrix: the record is Instance<Matrix>.

constexpr const char* kMatrixNewParams[] = {"data", "rows", "cols"};
constexpr FunctionDescription kMatrixNew{"ZeltoMatrix", "__new__", kMatrixNewParams};
constexpr const char* kMatmulParams[] = {"other"};
constexpr FunctionDescription kMatmul{"ZeltoMatrix", "matmul", kMatmulParams};
constexpr const char* kScalarParams[] = {"val"};
constexpr FunctionDescription kAdd{"ZeltoMatrix", "add", kScalarParams};
constexpr FunctionDescription kMul{"ZeltoMatrix", "mul", kScalarParams};

// ZeltoMatrix(data, rows, cols): the length check comes before the instance is allocated.
PyObject* matrix_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kMatrixNew, args, kwargs, slots);
    FloatVec data = convert_slot(kMatrixNew, slots, 0, to_float_vec);
    const std::uint64_t rows = convert_slot(kMatrixNew, slots, 1, to_u64);
    const std::uint64_t cols = convert_slot(kMatrixNew, slots, 2, to_u64);
    return new_instance(type, zelto::make_matrix(std::move(data), rows, cols));
  });
}

// matmul(other): other may be the receiver itself (two shared borrows).
PyObject* matrix_matmul(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kMatmul, args, kwargs, slots);
    SharedBorrow<Matrix> receiver(self);
    SharedBorrow<Matrix> other = convert_slot(kMatmul, slots, 0, borrow_matrix);
    std::optional<Matrix> product = zelto::matmul(receiver.get(), other.get());
    if (!product) throw PyError(value_error_class, msg::kShapeMismatch);
    return new_matrix_object(std::move(*product));
  });
}

// add(val) and mul(val): one element-wise operation with the scalar rounded to 32 bits.
template <const FunctionDescription& kDescription, Matrix (*kOperation)(const Matrix&, float)>
PyObject* matrix_scalar(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kDescription, args, kwargs, slots);
    SharedBorrow<Matrix> receiver(self);
    const float val = convert_slot(kDescription, slots, 0, to_float);
    return new_matrix_object(kOperation(receiver.get(), val));
  });
}

// transpose(): a new matrix; the receiver is only read.
PyObject* matrix_transpose(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return new_matrix_object(zelto::transpose(receiver.get()));
  });
}

// shape(): the dimensions as stored, so 0 x n and n x 0 stay distinct.
PyObject* matrix_shape(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_shape_tuple(receiver.get().rows, receiver.get().cols);
  });
}

// The elements are read straight from the borrowed record, which nothing can change meanwhile.
PyObject* matrix_to_list(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_float_list(receiver.get().data);
  });
}

// __array_interface__: numpy.asarray(m) becomes a read-only view of the matrix's own memory,
// whose base keeps the matrix alive; no element is copied, whatever the size.
PyObject* matrix_array_interface(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return array_interface(receiver.get());
  });
}

PyGetSetDef kMatrixAttributes[] = {
    {"__array_interface__", matrix_array_interface, nullptr,
     "The matrix's memory for numpy: read-only float32, shape (rows, cols), C order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMatrixMethods[] = {
    {"matmul", as_cfunction(matrix_matmul), METH_VARARGS | METH_KEYWORDS,
     "matmul($self, other)\n--\n\n"},
    {"add", as_cfunction(matrix_scalar<kAdd, zelto::matrix_add>), METH_VARARGS | METH_KEYWORDS,
     "add($self, val)\n--\n\n"},
    {"mul", as_cfunction(matrix_scalar<kMul, zelto::matrix_mul>), METH_VARARGS | METH_KEYWORDS,
     "mul($self, val)\n--\n\n"},
    {"transpose", as_cfunction(matrix_transpose), METH_NOARGS, "transpose($self)\n--\n\n"},
    {"shape", as_cfunction(matrix_shape), METH_NOARGS, "shape($self)\n--\n\n"},
    {"to_list", as_cfunction(matrix_to_list), METH_NOARGS, "to_list($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDescription kMatrixClass{
    .name = "ZeltoMatrix",
    .text_signature = "(data, rows, cols)",
    .basic_size = static_cast<int>(sizeof(Instance<Matrix>)),
    .constructor = matrix_new,
    .methods = kMatrixMethods,
    .getset = kMatrixAttributes,
    .release = release_instance<Matrix>,
};

// ---------------------------------------------------------------------------------------------
// ZeltoSolver: the record is Instance<Solver>.

constexpr const char* kSolverNewParams[] = {"lr", "iters"};
constexpr FunctionDescription kSolverNew{"ZeltoSolver", "__new__", kSolverNewParams};
constexpr const char* kFitParams[] = {"X", "y"};
constexpr FunctionDescription kFit{"ZeltoSolver", "fit", kFitParams};
constexpr const char* kPredictParams[] = {"X"};
constexpr FunctionDescription kPredict{"ZeltoSolver", "predict", kPredictParams};

// ZeltoSolver(lr, iters): untrained, no weights; nothing is validated.
PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kSolverNew, args, kwargs, slots);
    const float lr = convert_slot(kSolverNew, slots, 0, to_float);
    const std::uint64_t iters = convert_slot(kSolverNew, slots, 1, to_u64);
    return new_instance(type, Solver{.weights = FloatVec(), .bias = 0.0f, .lr = lr, .iters = iters});
  });
}

// fit(X, y): the solver is borrowed exclusively from before the conversions until the end, so
// Python code run by the conversion of y cannot reach it.
PyObject* solver_fit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kFit, args, kwargs, slots);
    ExclusiveBorrow<Solver> solver(self);
    SharedBorrow<Matrix> x = convert_slot(kFit, slots, 0, borrow_matrix);
    const FloatVec y = convert_slot(kFit, slots, 1, to_float_vec);
    zelto::fit(solver.get(), x.get(), y);
    return none_object();
  });
}

// predict(X): only reads the solver, so its borrow is shared and is refused only during fit.
PyObject* solver_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kPredict, args, kwargs, slots);
    SharedBorrow<Solver> solver(self);
    SharedBorrow<Matrix> x = convert_slot(kPredict, slots, 0, borrow_matrix);
    return to_float_list(zelto::predict(solver.get(), x.get()));
  });
}

PyMethodDef kSolverMethods[] = {
    {"fit", as_cfunction(solver_fit), METH_VARARGS | METH_KEYWORDS, "fit($self, X, y)\n--\n\n"},
    {"predict", as_cfunction(solver_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, X)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDescription kSolverClass{
    .name = "ZeltoSolver",
    .text_signature = "(lr, iters)",
    .basic_size = static_cast<int>(sizeof(Instance<Solver>)),
    .constructor = solver_new,
    .methods = kSolverMethods,
    .getset = nullptr,
    .release = release_instance<Solver>,
};

// ---------------------------------------------------------------------------------------------
// The module function and the module.

constexpr const char* kHeavyParams[] = {"data", "iterations"};
constexpr FunctionDescription kHeavy{nullptr, "run_heavy_logic", kHeavyParams};

// run_heavy_logic(data, iterations): both conversions finish before any computation.
PyObject* module_run_heavy_logic(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kHeavy, args, kwargs, slots);
    const FloatVec data = convert_slot(kHeavy, slots, 0, to_float_vec);
    const std::uint64_t iterations = convert_slot(kHeavy, slots, 1, to_u64);
    return to_float_object(zelto::run_heavy_logic(data, iterations));
  });
}

PyMethodDef kHeavyDefinition = {"run_heavy_logic", as_cfunction(module_run_heavy_logic),
                                METH_VARARGS | METH_KEYWORDS,
                                "run_heavy_logic(data, iterations)\n--\n\n"};

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

// Adds the two classes and the function, in that order, each also listed in __all__.
void module_body(PyObject* module) {
  add_to_module(module, "ZeltoMatrix",
                reinterpret_cast<PyObject*>(class_object_for_init(ClassId::matrix)));
  add_to_module(module, "ZeltoSolver",
                reinterpret_cast<PyObject*>(class_object_for_init(ClassId::solver)));
  add_function(module, &kHeavyDefinition);
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
