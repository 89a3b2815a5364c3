#include "binding/heavy_function.hpp"

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/method_table.hpp"
#include "binding/signals.hpp"
#include "heavy/heavy.hpp"

namespace zelto::binding {
namespace {

constexpr const char* kParams[] = {"data", "iterations"};
constexpr FunctionDescription kHeavy{nullptr, "run_heavy_logic", kParams, kCanonicalKeyword};

// run_heavy_logic(data, iterations, *, canonical=False): every conversion finishes before any
// computation; a signal handler's exception stops the computation and is raised.
PyObject* heavy_entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return call_in_frame([&] {
    PyObject* slots[3];
    bind_arguments(kHeavy, args, kwargs, slots);
    const FloatVec data = convert_slot(kHeavy, slots, 0, to_flat_floats);
    const std::uint64_t iterations = convert_slot(kHeavy, slots, 1, to_u64);
    const Grouping grouping = grouping_slot(kHeavy, slots, 2);
    return to_float_object(zelto::run_heavy_logic(data, iterations, grouping, check_signals));
  });
}

}  // namespace

PyMethodDef kHeavyFunction = {kHeavy.function_name, as_cfunction(heavy_entry),
                              METH_VARARGS | METH_KEYWORDS,
                              kSignature<kHeavy, Signature::function>};

}  // namespace zelto::binding
