// Error records: a Python exception on its way from the failing step to the boundary frame.
#pragma once

#include <exception>
#include <optional>
#include <string>

#include "binding/py_ref.hpp"

namespace zelto::binding {

// The exception class of a lazy record, looked up only when the record is raised or read.
using ExceptionClass = PyObject* (*)();

PyObject* type_error_class() noexcept;
PyObject* value_error_class() noexcept;
PyObject* runtime_error_class() noexcept;
PyObject* import_error_class() noexcept;
PyObject* system_error_class() noexcept;
// The class of fatal errors, pyo3_runtime.PanicException, created on first need.
PyObject* panic_exception_class();

// A Python exception carried through native code by C++ unwinding, so every guard on the way
// releases what it holds before the boundary frame raises the exception.
class PyError : public std::exception {
 public:
  // Lazy: the class and the message; the exception object is made only when needed.
  PyError(ExceptionClass cls, std::string message);
  // Lazy "'{}' object cannot be converted to '{}'" for obj's type and the expected kind.
  static PyError type_mismatch(PyObject* obj, const char* expected);
  // Lazy PanicException whose args are the 1-tuple (message,).
  static PyError panic(std::string message);
  // Type, value and traceback exactly as the interpreter handed them over.
  static PyError fetched(PyRef type, PyRef value, PyRef traceback);
  // An exception instance that is already complete.
  static PyError normalized(PyRef type, PyRef value, PyRef traceback);

  const char* what() const noexcept override { return "Python exception"; }

  // True when the record's class is exactly cls (subclasses do not count).
  bool has_exact_class(PyObject* cls) const;
  // The exception instance, normalizing the record first.
  PyObject* value();
  // Makes the record the interpreter's pending exception; the record is empty afterwards.
  void restore();
  // "PyErr { type: .., value: .., traceback: .. }" for fatal-error messages.
  std::string debug_form();

 private:
  enum class Form { lazy, mismatch, fetched, normalized };
  PyError() = default;
  void normalize();
  PyObject* lazy_class() const;
  PyRef lazy_argument() const;

  Form form_ = Form::lazy;
  ExceptionClass class_ = nullptr;
  std::string message_;
  bool tuple_argument_ = false;
  const char* expected_ = nullptr;
  PyRef type_;
  PyRef value_;
  PyRef traceback_;
};

// Takes the pending exception, if any. A PanicException coming back from Python code resumes
// as a fatal error instead (after printing its traceback).
std::optional<PyError> take_pending();
// As take_pending, but a missing exception is itself the SystemError "attempted to fetch ...".
PyError fetch_pending();

}  // namespace zelto::binding
