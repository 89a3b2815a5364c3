#include "binding/state.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/messages.hpp"

namespace zelto::binding {
namespace {

constexpr std::uint32_t kVersion = 1;
constexpr std::uint32_t kCanonicalFlag = 1;

// Field offsets of the two headers; the floats follow the header.
constexpr std::size_t kMatrixRows = 8, kMatrixCols = 16, kMatrixHeader = 24;
constexpr std::size_t kSolverIters = 8, kSolverLr = 16, kSolverBias = 20, kSolverFlags = 24,
                      kSolverCount = 28, kSolverHeader = 36;

// The record kinds: the class name for messages and the four bytes a state begins with.
struct Kind {
  const char* name;
  const char* magic;
};
constexpr Kind kMatrix{"ZeltoMatrix", "ZMAT"};
constexpr Kind kSolver{"ZeltoSolver", "ZSLV"};

// Little-endian integers, byte by byte, so the format is the same on every host.
template <class Uint>
void put(std::byte* at, Uint value) {
  for (std::size_t i = 0; i < sizeof(Uint); ++i) at[i] = static_cast<std::byte>(value >> (8 * i));
}
template <class Uint>
Uint get(const std::byte* at) {
  Uint value = 0;
  for (std::size_t i = 0; i < sizeof(Uint); ++i) value |= static_cast<Uint>(at[i]) << (8 * i);
  return value;
}

// count floats as little-endian float32: one copy on a little-endian host.
void put_floats(std::byte* at, const float* values, std::size_t count) {
  if constexpr (std::endian::native == std::endian::little) {
    if (count != 0) std::memcpy(at, values, count * sizeof(float));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      put(at + 4 * i, std::bit_cast<std::uint32_t>(values[i]));
    }
  }
}
FloatVec get_floats(const std::byte* at, std::size_t count) {
  FloatVec out = FloatVec::uninitialized(count);
  if constexpr (std::endian::native == std::endian::little) {
    if (count != 0) std::memcpy(out.data(), at, count * sizeof(float));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      out[i] = std::bit_cast<float>(get<std::uint32_t>(at + 4 * i));
    }
  }
  return out;
}

// A new bytes object of header + 4 * count bytes, the magic and version written; the caller
// fills the rest through the returned pointer before anything else sees the object.
PyRef new_state(const Kind& kind, std::size_t header, std::size_t count, std::byte*& at) {
  PyRef bytes = PyRef::steal(
      PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(header + 4 * count)));
  if (!bytes) python_api_failed();
  at = reinterpret_cast<std::byte*>(PyBytes_AsString(bytes.get()));
  std::memcpy(at, kind.magic, 4);
  put<std::uint32_t>(at + 4, kVersion);
  return bytes;
}

// The state's bytes once its type, magic, version and header length are checked.
std::string_view checked_state(const Kind& kind, PyObject* state, std::size_t header) {
  if (!PyBytes_Check(state)) throw PyError::type_mismatch(state, "PyBytes");
  const std::string_view bytes(PyBytes_AsString(state),
                               static_cast<std::size_t>(PyBytes_Size(state)));
  if (bytes.substr(0, 4) != kind.magic) {
    throw PyError(value_error_class, msg::fill(msg::kStateWrongKind, {kind.name, kind.magic}));
  }
  const auto truncated = [&] {
    return PyError(value_error_class,
                   msg::fill(msg::kStateTruncated, {kind.name, std::to_string(bytes.size()),
                                                    std::to_string(header)}));
  };
  if (bytes.size() < 8) throw truncated();
  const auto version = get<std::uint32_t>(reinterpret_cast<const std::byte*>(bytes.data()) + 4);
  if (version != kVersion) {
    throw PyError(value_error_class,
                  msg::fill(msg::kStateVersion,
                            {kind.name, std::to_string(version), std::to_string(kVersion)}));
  }
  if (bytes.size() < header) throw truncated();
  return bytes;
}

}  // namespace

PyRef matrix_state(const Matrix& matrix) {
  std::byte* at = nullptr;
  PyRef bytes = new_state(kMatrix, kMatrixHeader, matrix.data.size(), at);
  put<std::uint64_t>(at + kMatrixRows, matrix.rows);
  put<std::uint64_t>(at + kMatrixCols, matrix.cols);
  put_floats(at + kMatrixHeader, matrix.data.data(), matrix.data.size());
  return bytes;
}

// The element count must fill the rest of the state exactly: rows * cols (exact, overflow-proof)
// equal to the remaining bytes / 4, so the vector allocated is never larger than the state.
Matrix matrix_from_state(PyObject* state) {
  const std::string_view bytes = checked_state(kMatrix, state, kMatrixHeader);
  const auto* at = reinterpret_cast<const std::byte*>(bytes.data());
  const auto rows = get<std::uint64_t>(at + kMatrixRows);
  const auto cols = get<std::uint64_t>(at + kMatrixCols);
  const std::size_t payload = bytes.size() - kMatrixHeader;
  std::uint64_t elements = 0;
  if (payload % 4 != 0 || __builtin_mul_overflow(rows, cols, &elements) ||
      elements != payload / 4) {
    throw PyError(value_error_class,
                  msg::fill(msg::kStateMatrixSize, {std::to_string(payload), std::to_string(rows),
                                                    std::to_string(cols)}));
  }
  return Matrix{get_floats(at + kMatrixHeader, payload / 4), rows, cols};
}

PyRef solver_state(const Solver& solver) {
  std::byte* at = nullptr;
  PyRef bytes = new_state(kSolver, kSolverHeader, solver.weights.size(), at);
  put<std::uint64_t>(at + kSolverIters, solver.iters);
  put<std::uint32_t>(at + kSolverLr, std::bit_cast<std::uint32_t>(solver.lr));
  put<std::uint32_t>(at + kSolverBias, std::bit_cast<std::uint32_t>(solver.bias));
  put<std::uint32_t>(at + kSolverFlags,
                     solver.grouping == Grouping::canonical ? kCanonicalFlag : 0);
  put<std::uint64_t>(at + kSolverCount, solver.weights.size());
  put_floats(at + kSolverHeader, solver.weights.data(), solver.weights.size());
  return bytes;
}

SolverState solver_from_state(PyObject* state) {
  const std::string_view bytes = checked_state(kSolver, state, kSolverHeader);
  const auto* at = reinterpret_cast<const std::byte*>(bytes.data());
  const auto flags = get<std::uint32_t>(at + kSolverFlags);
  if ((flags & ~kCanonicalFlag) != 0) {
    throw PyError(value_error_class, msg::fill(msg::kStateFlags, {std::to_string(flags)}));
  }
  const auto count = get<std::uint64_t>(at + kSolverCount);
  const std::size_t payload = bytes.size() - kSolverHeader;
  if (payload % 4 != 0 || count != payload / 4) {
    throw PyError(value_error_class, msg::fill(msg::kStateSolverSize,
                                               {std::to_string(payload), std::to_string(count)}));
  }
  SolverState out;
  out.config.iters = get<std::uint64_t>(at + kSolverIters);
  out.config.lr = std::bit_cast<float>(get<std::uint32_t>(at + kSolverLr));
  out.config.grouping = (flags & kCanonicalFlag) != 0 ? Grouping::canonical : Grouping::pool;
  out.weights = get_floats(at + kSolverHeader, count);
  out.bias = std::bit_cast<float>(get<std::uint32_t>(at + kSolverBias));
  return out;
}

PyRef reduce_to(PyObject* self, PyRef state) {
  PyRef rebuild = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_from_state"));
  if (!rebuild) throw fetch_pending();
  PyRef arguments = PyRef::steal(PyTuple_New(1));
  if (!arguments) throw fetch_pending();
  PyTuple_SetItem(arguments.get(), 0, state.release());
  return to_pair(std::move(rebuild), std::move(arguments));
}

}  // namespace zelto::binding
