// The boundary frame: the one place where native outcomes become Python results or exceptions.
#pragma once

#include <new>
#include <string>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "binding/py_ref.hpp"
#include "core/fatal.hpp"
#include "core/float_environment.hpp"

namespace zelto::binding {

// Raises the record as the pending exception; a fatal error while doing so aborts the process.
void raise_or_abort(PyError& error) noexcept;
// Raises PanicException with the message; a fatal error while doing so aborts the process.
void raise_panic_or_abort(const std::string& message) noexcept;

// Runs body (returning a PyRef) and hands its object to the interpreter. Every failure becomes
// exactly one pending exception: PyError as itself, FatalError as PanicException, std::bad_alloc
// as MemoryError, anything else as PanicException. Guards inside body have released their
// borrows and temporaries by the time the exception is raised. The whole call runs in the
// kernels' floating-point environment, and the caller's is back when it returns.
template <class Body>
PyObject* call_in_frame(Body&& body) noexcept {
  const KernelFloatEnvironment environment;
  PyObject* result = nullptr;
  try {
    result = body().release();
  } catch (PyError& error) {
    raise_or_abort(error);
  } catch (const FatalError& fatal) {
    raise_panic_or_abort(fatal.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& other) {
    raise_panic_or_abort(other.what());
  } catch (...) {
    raise_panic_or_abort(msg::kUnknownPanic);
  }
  return result;
}

}  // namespace zelto::binding
