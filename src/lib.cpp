// The module root: the two classes with their entries and method tables, the module function,
// the module body and the entry point PyInit_zelto_ml. Every entry runs inside the boundary
// frame: bind the arguments, borrow, convert, call the operation, convert its result.
#include <optional>
#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/array_export.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/module.hpp"
#include "binding/python.hpp"
#include "binding/signals.hpp"
#include "binding/state.hpp"
#include "binding/text.hpp"
#include "heavy/heavy.hpp"
#include "matrix/matrix.hpp"
#include "solver/solver.hpp"

namespace {

using zelto::FloatVec;
using zelto::Grouping;
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

// The optional keyword-only canonical of slot i: True groups the sums canonically.
Grouping grouping_slot(const FunctionDescription& description, PyObject* const* slots,
                       std::size_t i) {
  if (slots[i] == nullptr) return Grouping::pool;
  return convert_slot(description, slots, i, to_bool) ? Grouping::canonical : Grouping::pool;
}

// (cls._from_state, (state,)): what __reduce__ hands pickle and copy, so an object is rebuilt
// by the class's own reader of its state and never by rewriting a live instance.
PyRef reduce_to(PyObject* self, PyRef state) {
  PyRef rebuild = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
  if (!rebuild) throw fetch_pending();
  PyRef arguments = PyRef::steal(PyTuple_New(1));
  if (!arguments) throw fetch_pending();
  PyTuple_SetItem(arguments.get(), 0, state.release());
  return to_pair(std::move(rebuild), std::move(arguments));
}

// A new str of UTF-8 text.
PyRef to_str(const std::string& text) {
  PyRef str = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!str) throw fetch_pending();
  return str;
}

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

// __reduce__(): the matrix's state, read back by ZeltoMatrix._from_state.
PyObject* matrix_reduce(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return reduce_to(self, matrix_state(receiver.get()));
  });
}

constexpr const char* kStateParams[] = {"state"};
constexpr FunctionDescription kMatrixFromState{"ZeltoMatrix", "_from_state", kStateParams};

// ZeltoMatrix._from_state(state): a new matrix from what __reduce__ wrote; a malformed state is
// refused before anything is allocated.
PyObject* matrix_from_state_entry(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kMatrixFromState, args, kwargs, slots);
    Matrix matrix = convert_slot(kMatrixFromState, slots, 0, matrix_from_state);
    return new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(matrix));
  });
}

// __copy__() and __deepcopy__(memo): a matrix never changes, so it is its own copy.
PyObject* matrix_copy(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] { return PyRef::borrow(self); });
}

// repr: the class and the shape, "ZeltoMatrix(rows=2, cols=3)".
PyObject* matrix_repr(PyObject* self) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Matrix> receiver(self);
    return to_str(msg::fill(msg::kMatrixRepr, {std::to_string(receiver.get().rows),
                                               std::to_string(receiver.get().cols)}));
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
    {"__reduce__", as_cfunction(matrix_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_from_state", as_cfunction(matrix_from_state_entry), METH_CLASS | METH_VARARGS | METH_KEYWORDS,
     "_from_state($type, state)\n--\n\n"},
    {"__copy__", as_cfunction(matrix_copy), METH_NOARGS, "__copy__($self)\n--\n\n"},
    {"__deepcopy__", as_cfunction(matrix_copy), METH_O, "__deepcopy__($self, memo, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDescription kMatrixClass{
    .name = "ZeltoMatrix",
    .text_signature = "(data, rows, cols)",
    .basic_size = static_cast<int>(sizeof(Instance<Matrix>)),
    .constructor = matrix_new,
    .methods = kMatrixMethods,
    .getset = kMatrixAttributes,
    .repr = matrix_repr,
    .release = release_instance<Matrix>,
};

// ---------------------------------------------------------------------------------------------
// ZeltoSolver: the record is Instance<Solver>.

constexpr const char* kSolverNewParams[] = {"lr", "iters"};
constexpr const char* kCanonicalParam[] = {"canonical"};
constexpr FunctionDescription kSolverNew{"ZeltoSolver", "__new__", kSolverNewParams,
                                         kCanonicalParam};
constexpr const char* kFitParams[] = {"X", "y"};
constexpr FunctionDescription kFit{"ZeltoSolver", "fit", kFitParams};
constexpr const char* kPredictParams[] = {"X"};
constexpr FunctionDescription kPredict{"ZeltoSolver", "predict", kPredictParams};
constexpr FunctionDescription kPredictMatrix{"ZeltoSolver", "predict_matrix", kPredictParams};
constexpr FunctionDescription kGradientSums{"ZeltoSolver", "gradient_sums", kFitParams};
constexpr const char* kSetWeightsParams[] = {"weights", "bias"};
constexpr FunctionDescription kSetWeights{"ZeltoSolver", "set_weights", kSetWeightsParams};
constexpr FunctionDescription kSolverFromState{"ZeltoSolver", "_from_state", kStateParams};

// ZeltoSolver(lr, iters, *, canonical=False): untrained, no weights; nothing is validated.
PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kSolverNew, args, kwargs, slots);
    const float lr = convert_slot(kSolverNew, slots, 0, to_float);
    const std::uint64_t iters = convert_slot(kSolverNew, slots, 1, to_u64);
    const Grouping grouping = grouping_slot(kSolverNew, slots, 2);
    return new_instance(type, Solver{.weights = FloatVec(), .bias = 0.0f, .lr = lr, .iters = iters,
                                     .grouping = grouping});
  });
}

// fit(X, y): the solver is borrowed exclusively from before the conversions until the end, so
// Python code run by the conversion of y (or by a signal handler) cannot reach it. A signal
// handler's exception (KeyboardInterrupt) stops the fit between steps, leaving the weights and
// bias of the last completed step.
PyObject* solver_fit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kFit, args, kwargs, slots);
    ExclusiveBorrow<Solver> solver(self);
    SharedBorrow<Matrix> x = convert_slot(kFit, slots, 0, borrow_matrix);
    const FloatVec y = convert_slot(kFit, slots, 1, to_float_vector);
    zelto::fit(solver.get(), x.get(), y, check_signals);
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

// predict_matrix(X): predict's values as a rows x 1 matrix, which numpy reads without a list.
PyObject* solver_predict_matrix(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kPredictMatrix, args, kwargs, slots);
    SharedBorrow<Solver> solver(self);
    SharedBorrow<Matrix> x = convert_slot(kPredictMatrix, slots, 0, borrow_matrix);
    return new_matrix_object(Matrix{zelto::predict(solver.get(), x.get()), x.get().rows, 1});
  });
}

// gradient_sums(X, y): the canonical sums (g as a cols x 1 matrix, g_b) at the solver's weights
// and bias, for a driver that combines them over row ranges. Both preconditions of the kernel
// are checked here, after the conversions and before any work.
PyObject* solver_gradient_sums(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kGradientSums, args, kwargs, slots);
    SharedBorrow<Solver> solver(self);
    SharedBorrow<Matrix> x = convert_slot(kGradientSums, slots, 0, borrow_matrix);
    const FloatVec y = convert_slot(kGradientSums, slots, 1, to_float_vector);
    const Matrix& matrix = x.get();
    const std::size_t weights = solver.get().weights.size();
    if (weights != matrix.cols) {
      throw PyError(value_error_class, msg::fill(msg::kWeightsMismatch,
                                                 {std::to_string(matrix.cols), std::to_string(weights)}));
    }
    if (y.size() < matrix.rows) {
      throw PyError(value_error_class, msg::fill(msg::kTooFewTargets,
                                                 {std::to_string(y.size()), std::to_string(matrix.rows)}));
    }
    zelto::GradientSums sums = zelto::gradient_sums(solver.get(), matrix, y);
    return to_pair(new_matrix_object(Matrix{std::move(sums.g), matrix.cols, 1}),
                   to_float_object(sums.g_b));
  });
}

// The one way weights and bias are installed from outside a fit: set_weights and unpickling.
void set_parameters(Solver& solver, FloatVec weights, float bias) noexcept {
  solver.weights = std::move(weights);
  solver.bias = bias;
}

// The weights argument: a ZeltoMatrix's elements in row-major order, or a float sequence read
// as fit reads y.
FloatVec to_weights(PyObject* obj) {
  if (PyObject_TypeCheck(obj, class_object(ClassId::matrix))) {
    return SharedBorrow<Matrix>(obj).get().data.clone();
  }
  return to_float_vector(obj);
}

// set_weights(weights, bias): borrowed exclusively like fit; the solver changes only once both
// arguments have converted.
PyObject* solver_set_weights(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kSetWeights, args, kwargs, slots);
    ExclusiveBorrow<Solver> solver(self);
    FloatVec weights = convert_slot(kSetWeights, slots, 0, to_weights);
    const float bias = convert_slot(kSetWeights, slots, 1, to_float);
    set_parameters(solver.get(), std::move(weights), bias);
    return none_object();
  });
}

// __reduce__(): the solver's state, read back by ZeltoSolver._from_state.
PyObject* solver_reduce(PyObject* self, PyObject*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Solver> solver(self);
    return reduce_to(self, solver_state(solver.get()));
  });
}

// ZeltoSolver._from_state(state): a new solver of the state's configuration, whose weights and
// bias are installed as set_weights installs them.
PyObject* solver_from_state_entry(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kSolverFromState, args, kwargs, slots);
    SolverState state = convert_slot(kSolverFromState, slots, 0, solver_from_state);
    PyRef obj = new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(state.config));
    {
      ExclusiveBorrow<Solver> solver(obj.get());
      set_parameters(solver.get(), std::move(state.weights), state.bias);
    }
    return obj;
  });
}

// repr: "ZeltoSolver(lr=0.5, iters=100, canonical=False, weights=3)", lr as the shortest decimal
// of its float32 and weights as their number.
PyObject* solver_repr(PyObject* self) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Solver> solver(self);
    const Solver& s = solver.get();
    return to_str(msg::fill(msg::kSolverRepr,
                            {float32_text(s.lr), std::to_string(s.iters),
                             s.grouping == Grouping::canonical ? "True" : "False",
                             std::to_string(s.weights.size())}));
  });
}

// lr, iters and canonical never change after construction, so they are read without a borrow.
PyObject* solver_lr(PyObject* self, void*) noexcept {
  return call_in_frame([&] { return to_float_object(checked_instance<Solver>(self)->record.lr); });
}

PyObject* solver_iters(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    PyRef iters = PyRef::steal(PyLong_FromUnsignedLongLong(checked_instance<Solver>(self)->record.iters));
    if (!iters) throw fetch_pending();
    return iters;
  });
}

PyObject* solver_canonical(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    const bool canonical = checked_instance<Solver>(self)->record.grouping == Grouping::canonical;
    return PyRef::borrow(canonical ? Py_True : Py_False);
  });
}

// weights: a new m x 1 matrix holding a copy, so nothing can write into the solver through it.
PyObject* solver_weights(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Solver> solver(self);
    const FloatVec& weights = solver.get().weights;
    return new_matrix_object(Matrix{weights.clone(), weights.size(), 1});
  });
}

PyObject* solver_bias(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    SharedBorrow<Solver> solver(self);
    return to_float_object(solver.get().bias);
  });
}

PyGetSetDef kSolverAttributes[] = {
    {"lr", solver_lr, nullptr, "The learning rate, as float32.", nullptr},
    {"iters", solver_iters, nullptr, "The number of descent steps of each fit.", nullptr},
    {"canonical", solver_canonical, nullptr,
     "True when the gradient sums are grouped canonically (the same bits for every pool size).",
     nullptr},
    {"weights", solver_weights, nullptr,
     "A copy of the weights as a ZeltoMatrix of shape (m, 1); (0, 1) before any fit.", nullptr},
    {"bias", solver_bias, nullptr, "The bias.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kSolverMethods[] = {
    {"fit", as_cfunction(solver_fit), METH_VARARGS | METH_KEYWORDS, "fit($self, X, y)\n--\n\n"},
    {"predict", as_cfunction(solver_predict), METH_VARARGS | METH_KEYWORDS,
     "predict($self, X)\n--\n\n"},
    {"predict_matrix", as_cfunction(solver_predict_matrix), METH_VARARGS | METH_KEYWORDS,
     "predict_matrix($self, X)\n--\n\n"},
    {"gradient_sums", as_cfunction(solver_gradient_sums), METH_VARARGS | METH_KEYWORDS,
     "gradient_sums($self, X, y)\n--\n\n"},
    {"set_weights", as_cfunction(solver_set_weights), METH_VARARGS | METH_KEYWORDS,
     "set_weights($self, weights, bias)\n--\n\n"},
    {"__reduce__", as_cfunction(solver_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_from_state", as_cfunction(solver_from_state_entry), METH_CLASS | METH_VARARGS | METH_KEYWORDS,
     "_from_state($type, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr ClassDescription kSolverClass{
    .name = "ZeltoSolver",
    .text_signature = "(lr, iters, *, canonical=False)",
    .basic_size = static_cast<int>(sizeof(Instance<Solver>)),
    .constructor = solver_new,
    .methods = kSolverMethods,
    .getset = kSolverAttributes,
    .repr = solver_repr,
    .release = release_instance<Solver>,
};

// ---------------------------------------------------------------------------------------------
// The module function and the module.

constexpr const char* kHeavyParams[] = {"data", "iterations"};
constexpr FunctionDescription kHeavy{nullptr, "run_heavy_logic", kHeavyParams, kCanonicalParam};

// run_heavy_logic(data, iterations, *, canonical=False): every conversion finishes before any
// computation; a signal handler's exception stops the computation and is raised.
PyObject* module_run_heavy_logic(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kHeavy, args, kwargs, slots);
    const FloatVec data = convert_slot(kHeavy, slots, 0, to_float_vec);
    const std::uint64_t iterations = convert_slot(kHeavy, slots, 1, to_u64);
    const Grouping grouping = grouping_slot(kHeavy, slots, 2);
    return to_float_object(zelto::run_heavy_logic(data, iterations, grouping, check_signals));
  });
}

PyMethodDef kHeavyDefinition = {"run_heavy_logic", as_cfunction(module_run_heavy_logic),
                                METH_VARARGS | METH_KEYWORDS,
                                "run_heavy_logic(data, iterations, *, canonical=False)\n--\n\n"};

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
  add_function(module, &kHeavyDefinition);
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
