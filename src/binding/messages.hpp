// Every text the boundary layer shows to Python, in one place. "{}" marks a filled-in value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace zelto::binding::msg {

// Argument binding.
inline constexpr char kTooManyPositional[] = "{} takes {} positional arguments but {} {} given";
inline constexpr char kUnexpectedKeyword[] = "{} got an unexpected keyword argument '{}'";
inline constexpr char kMultipleValues[] = "{} got multiple values for argument '{}'";
inline constexpr char kMissingArguments[] = "{} missing {} required {} {}: ";
inline constexpr char kArgumentError[] = "argument '{}': {}";

// Conversions.
inline constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr char kTypeMismatch[] = "'{}' object cannot be converted to '{}'";
inline constexpr char kFailedTypeName[] = "<failed to extract type name>";
inline constexpr char kArrayDimensions[] = "expected {}, not an array of shape {}";
inline constexpr char kArrayNotNdarray[] = "__array__ of '{}' returned '{}', not a numpy.ndarray";

// Borrows.
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

// Operations.
inline constexpr char kShapeMismatch[] = "Shape mismatch for matmul";
inline constexpr char kWeightsMismatch[] = "X has {} columns but the solver has {} weights";
inline constexpr char kTooFewTargets[] = "y has {} targets but X has {} rows";
inline constexpr char kTooLargeForNumpy[] =
    "numpy cannot hold a {} x {} float32 array: each dimension must be at most {}";

// Instances as text.
inline constexpr char kMatrixRepr[] = "ZeltoMatrix(rows={}, cols={})";
inline constexpr char kSolverRepr[] = "ZeltoSolver(lr={}, iters={}, canonical={}, weights={})";
inline constexpr char kSolverReprBusy[] = "ZeltoSolver(lr={}, iters={}, canonical={}, busy)";

// Pickled states.
inline constexpr char kStateWrongKind[] = "not a {} state (it does not begin with b'{}')";
inline constexpr char kStateTruncated[] =
    "{} state is truncated: {} bytes, its header alone takes {}";
inline constexpr char kStateVersion[] =
    "{} state version {} is not supported (this build reads version {})";
inline constexpr char kStateMatrixSize[] =
    "ZeltoMatrix state has {} bytes of elements, not 4 bytes each of a {} x {} matrix";
inline constexpr char kStateSolverSize[] =
    "ZeltoSolver state has {} bytes of weights, not 4 bytes each of {} weights";
inline constexpr char kStateFlags[] = "ZeltoSolver state has unknown flags {}";

// Error records and fatal errors.
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kApiCallFailed[] = "Python API call failed";
inline constexpr char kUnwrapFailed[] = "called `Result::unwrap()` on an `Err` value: {}";
inline constexpr char kDebugForm[] = "PyErr { type: {}, value: {}, traceback: {} }";
inline constexpr char kNotAnException[] = "exceptions must derive from BaseException";
inline constexpr char kUnknownPanic[] = "native code failed with an error that carries no message";
inline constexpr char kUncaughtPanic[] = "uncaught panic at ffi boundary";
inline constexpr char kResumeBanner[] =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n";
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
inline constexpr char kUnprintable[] = "<unprintable {} object>";
inline constexpr char kUnprintableNoType[] = "<unprintable object>";

// The fatal-error exception class.
inline constexpr char kPanicName[] = "pyo3_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "\nThe exception raised when native code called from Python fails fatally.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it typically\n"
    "propagates all the way through the stack and makes the Python interpreter exit.\n";
inline constexpr char kPanicTypeFailed[] = "Failed to initialize new exception type.: {}";

// Module and classes.
inline constexpr char kInitOnce[] =
    "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
    "interpreter process";
inline constexpr char kSubinterpreter[] =
    "module zelto_ml does not support loading in subinterpreters";
inline constexpr char kClassInitFailed[] = "An error occurred while initializing class {}";
inline constexpr char kClassCreateFailed[] = "failed to create type object for {}";
inline constexpr char kClassDocNul[] = "class doc cannot contain nul bytes";
inline constexpr char kAllAppendFailed[] = "could not append __name__ to __all__: {}";

// The number of "{}" in a template.
consteval std::size_t placeholder_count(std::string_view templ) {
  std::size_t count = 0;
  for (std::size_t i = 0; i + 1 < templ.size(); ++i) {
    if (templ[i] == '{' && templ[i + 1] == '}') ++count, ++i;
  }
  return count;
}

// A template for kValues values: a call of fill whose template holds another number of "{}" does
// not compile (the throw is not a constant expression).
template <std::size_t kValues>
struct Template {
  consteval Template(const char* templ) : text(templ) {
    if (placeholder_count(text) != kValues) throw "the number of {} differs from the values";
  }
  std::string_view text;
};

// Replaces each "{}" of the template, left to right, with the next value.
template <std::size_t N>
std::string fill(std::type_identity_t<Template<N>> templ, const std::string_view (&values)[N]) {
  std::string text;
  text.reserve(templ.text.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < templ.text.size(); ++i) {
    if (templ.text[i] == '{' && i + 1 < templ.text.size() && templ.text[i + 1] == '}') {
      text += values[next++];
      ++i;
    } else {
      text += templ.text[i];
    }
  }
  return text;
}

}  // namespace zelto::binding::msg
