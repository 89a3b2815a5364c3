// The pickled form of the two records: a small versioned header, then the floats as raw
// little-endian float32, so every bit (NaN payloads, -0.0) survives every pickle protocol.
//
//   ZeltoMatrix, version 1: "ZMAT", u32 version, u64 rows, u64 cols, rows * cols floats.
//   ZeltoSolver, version 1: "ZSLV", u32 version, u64 iters, f32 lr, f32 bias,
//                           u32 flags (bit 0: canonical grouping), u64 m, m weights.
//
// Every integer and float is little-endian. A state is input like any other: reading one checks
// every field against the state's length before anything is allocated, so nothing larger than
// the state itself is ever allocated, and anything else raises a clear error.
#pragma once

#include "binding/py_ref.hpp"
#include "matrix/matrix.hpp"
#include "solver/solver.hpp"

namespace zelto::binding {

// A new bytes object holding the matrix's state.
PyRef matrix_state(const Matrix& matrix);
// The matrix a state holds; TypeError when state is not bytes, ValueError when it is not a
// complete version-1 matrix state.
Matrix matrix_from_state(PyObject* state);

// A new bytes object holding the solver's configuration, weights and bias.
PyRef solver_state(const Solver& solver);
// What a solver state holds: the configuration (lr, iters, grouping, with no weights), and the
// weights and bias the caller installs as set_weights does. Errors as for matrix_from_state.
struct SolverState {
  Solver config;
  FloatVec weights;
  float bias = 0.0f;
};
SolverState solver_from_state(PyObject* state);

// (cls._from_state, (state,)): what __reduce__ hands pickle and copy, so an object is rebuilt
// by the class's own reader of its state and never by rewriting a live instance.
PyRef reduce_to(PyObject* self, PyRef state);

}  // namespace zelto::binding
