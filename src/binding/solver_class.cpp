// ZeltoSolver: the record is Instance<Solver>. Every entry runs inside the boundary frame: bind
// the arguments, borrow, convert, call the operation, convert its result.
#include "binding/solver_class.hpp"

#include <string>
#include <utility>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/instance.hpp"
#include "binding/matrix_argument.hpp"
#include "binding/method_table.hpp"
#include "binding/signals.hpp"
#include "binding/state.hpp"
#include "binding/text.hpp"
#include "matrix/matrix.hpp"
#include "solver/index_error.hpp"
#include "solver/solver.hpp"

namespace zelto::binding {
namespace {

constexpr const char* kClass = "ZeltoSolver";
constexpr const char* kNewParams[] = {"lr", "iters"};
constexpr FunctionDescription kNew{kClass, "__new__", kNewParams, kCanonicalKeyword};
constexpr const char* kFitParams[] = {"X", "y"};
constexpr FunctionDescription kFit{kClass, "fit", kFitParams};
constexpr const char* kPredictParams[] = {"X"};
constexpr FunctionDescription kPredict{kClass, "predict", kPredictParams};
constexpr FunctionDescription kPredictMatrix{kClass, "predict_matrix", kPredictParams};
constexpr FunctionDescription kGradientSums{kClass, "gradient_sums", kFitParams};
constexpr const char* kSetWeightsParams[] = {"weights", "bias"};
constexpr FunctionDescription kSetWeights{kClass, "set_weights", kSetWeightsParams};
constexpr FunctionDescription kReduce{kClass, "__reduce__", {}};
constexpr const char* kStateParams[] = {"state"};
constexpr FunctionDescription kFromState{kClass, "_from_state", kStateParams};

// ZeltoSolver(lr, iters, *, canonical=False): untrained, no weights; nothing is validated.
PyObject* solver_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kNew, args, kwargs, slots);
    const float lr = convert_slot(kNew, slots, 0, to_float);
    const std::uint64_t iters = convert_slot(kNew, slots, 1, to_u64);
    const Grouping grouping = grouping_slot(kNew, slots, 2);
    return new_instance(type, Solver{.weights = FloatVec(), .bias = 0.0f, .lr = lr, .iters = iters,
                                     .grouping = grouping});
  });
}

// A fit whose steps would read past the end of y is refused before the solver changes, with the
// error the first step would raise: the solver keeps its earlier weights and bias.
void check_targets(const Solver& solver, const Matrix& x, const FloatVec& y) {
  if (solver.iters > 0 && y.size() < x.rows) zelto::index_out_of_bounds(y.size(), y.size());
}

// fit(X, y): X is a ZeltoMatrix or a 2-D array. The solver is borrowed exclusively from before
// the conversions until the end, so Python code run by the conversion of y (or by a signal
// handler) cannot reach it. A signal handler's exception (KeyboardInterrupt) stops the fit
// between steps, leaving the weights and bias of the last completed step.
PyObject* solver_fit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kFit, args, kwargs, slots);
    ExclusiveBorrow<Solver> solver(self);
    const MatrixArgument x = convert_slot(kFit, slots, 0, to_matrix_argument);
    const FloatVec y = convert_slot(kFit, slots, 1, to_vector_floats);
    check_targets(solver.get(), x.get(), y);
    zelto::fit(solver.get(), x.get(), y, check_signals);
    return none_object();
  });
}

// The predictions as a list, for predict.
PyRef predictions_list(FloatVec values, const Matrix&) { return to_float_list(values); }
// The predictions as a rows x 1 matrix, for predict_matrix: numpy reads it without a list.
PyRef predictions_matrix(FloatVec values, const Matrix& x) {
  return new_matrix_object(Matrix{std::move(values), x.rows, 1});
}

// predict(X) and predict_matrix(X): X as fit takes it. They only read the solver, so its borrow
// is shared and is refused only during fit; the two differ in the object the predictions are
// returned as.
template <const FunctionDescription& kDescription, PyRef (*kResult)(FloatVec, const Matrix&)>
PyObject* solver_predict(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[1];
    bind_arguments(kDescription, args, kwargs, slots);
    SharedBorrow<Solver> solver(self);
    const MatrixArgument x = convert_slot(kDescription, slots, 0, to_matrix_argument);
    return kResult(zelto::predict(solver.get(), x.get()), x.get());
  });
}

// gradient_sums(X, y): X and y as fit takes them. The canonical sums (g as a cols x 1 matrix,
// g_b) at the solver's weights and bias, for a driver that combines them over row ranges. Both
// preconditions of the kernel are checked here, after the conversions and before any work.
PyObject* solver_gradient_sums(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[2];
    bind_arguments(kGradientSums, args, kwargs, slots);
    SharedBorrow<Solver> solver(self);
    const MatrixArgument x = convert_slot(kGradientSums, slots, 0, to_matrix_argument);
    const FloatVec y = convert_slot(kGradientSums, slots, 1, to_vector_floats);
    const Matrix& matrix = x.get();
    const std::size_t weights = solver.get().weights.size();
    if (weights != matrix.cols) {
      throw PyError(value_error_class,
                    msg::fill(msg::kWeightsMismatch,
                              {std::to_string(matrix.cols), std::to_string(weights)}));
    }
    if (y.size() < matrix.rows) {
      throw PyError(value_error_class,
                    msg::fill(msg::kTooFewTargets,
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
  return to_vector_floats(obj);
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
    bind_arguments(kFromState, args, kwargs, slots);
    SolverState state = convert_slot(kFromState, slots, 0, solver_from_state);
    PyRef obj = new_instance(reinterpret_cast<PyTypeObject*>(cls), std::move(state.config));
    {
      ExclusiveBorrow<Solver> solver(obj.get());
      set_parameters(solver.get(), std::move(state.weights), state.bias);
    }
    return obj;
  });
}

// repr: "ZeltoSolver(lr=0.5, iters=100, canonical=False, weights=3)", lr as the shortest decimal
// of its float32 and weights as their number. The configuration never changes, so it is read
// even while a fit holds the solver (another thread's repr during a fit), with "busy" in place
// of the weights.
PyObject* solver_repr(PyObject* self) noexcept {
  return call_in_frame([&] {
    const Instance<Solver>* instance = checked_instance<Solver>(self);
    const Solver& s = instance->record;
    const std::string lr = float32_text(s.lr);
    const std::string iters = std::to_string(s.iters);
    const char* canonical = s.grouping == Grouping::canonical ? "True" : "False";
    if (instance->borrow_flag == -1) {
      return to_str(msg::fill(msg::kSolverReprBusy, {lr, iters, canonical}));
    }
    SharedBorrow<Solver> solver(self);
    return to_str(msg::fill(msg::kSolverRepr,
                            {lr, iters, canonical, std::to_string(s.weights.size())}));
  });
}

// lr, iters and canonical never change after construction, so they are read without a borrow.
PyObject* solver_lr(PyObject* self, void*) noexcept {
  return call_in_frame([&] { return to_float_object(checked_instance<Solver>(self)->record.lr); });
}

PyObject* solver_iters(PyObject* self, void*) noexcept {
  return call_in_frame([&] {
    const std::uint64_t value = checked_instance<Solver>(self)->record.iters;
    PyRef iters = PyRef::steal(PyLong_FromUnsignedLongLong(value));
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

PyGetSetDef kAttributes[] = {
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

PyMethodDef kMethods[] = {
    method<kFit, solver_fit>(),
    method<kPredict, solver_predict<kPredict, predictions_list>>(),
    method<kPredictMatrix, solver_predict<kPredictMatrix, predictions_matrix>>(),
    method<kGradientSums, solver_gradient_sums>(),
    method<kSetWeights, solver_set_weights>(),
    method<kReduce, solver_reduce>(),
    class_method<kFromState, solver_from_state_entry>(),
    kEndOfMethods,
};

}  // namespace

const ClassDescription kSolverClass{
    .name = kClass,
    .text_signature = kSignature<kNew, Signature::constructor>,
    .basic_size = static_cast<int>(sizeof(Instance<Solver>)),
    .constructor = solver_new,
    .methods = kMethods,
    .getset = kAttributes,
    .repr = solver_repr,
    .release = release_instance<Solver>,
};

}  // namespace zelto::binding
