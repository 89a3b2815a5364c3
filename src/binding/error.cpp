#include "binding/error.hpp"

#include "binding/messages.hpp"
#include "binding/text.hpp"
#include "core/fatal.hpp"

namespace zelto::binding {
namespace {

// The fatal-error class lives for the rest of the process once made.
PyObject* g_panic_class = nullptr;

// The interpreter's pending exception as owned references, all empty when nothing is pending.
struct Pending {
  PyRef type;
  PyRef value;
  PyRef traceback;
};

Pending fetch_triple() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

// True for a class deriving from BaseException.
bool is_exception_class(PyObject* cls) {
  return PyType_Check(cls) &&
         (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(cls)) & Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// Takes whatever the interpreter has pending, as it is (no resume check, nothing pending is
// the SystemError): used where the panic class itself could not be made.
PyError fetch_raw() {
  Pending pending = fetch_triple();
  if (!pending.type) return PyError(system_error_class, msg::kNoExceptionSet);
  return PyError::fetched(std::move(pending.type), std::move(pending.value),
                          std::move(pending.traceback));
}

// 1. The message is str(value), or a fixed text when there is none.
// 2. Two banner lines, then the Python traceback, go to stderr.
// 3. The panic continues as a fatal error with the same message (already reported above).
[[noreturn]] void resume_panic(PyRef type, PyRef value, PyRef traceback) {
  std::string message = msg::kUnwrappedPanic;
  if (value) {
    PyRef text = PyRef::steal(PyObject_Str(value.get()));
    if (text) {
      message = utf8_lossy(text.get());
    } else {
      PyErr_Clear();
    }
  }
  PySys_WriteStderr("%s", msg::kResumeBanner);
  PyErr_Restore(type.release(), value.release(), traceback.release());
  PyErr_PrintEx(0);
  raise_fatal_unreported(std::move(message));
}

}  // namespace

PyObject* type_error_class() noexcept { return PyExc_TypeError; }
PyObject* value_error_class() noexcept { return PyExc_ValueError; }
PyObject* runtime_error_class() noexcept { return PyExc_RuntimeError; }
PyObject* import_error_class() noexcept { return PyExc_ImportError; }
PyObject* system_error_class() noexcept { return PyExc_SystemError; }

PyObject* panic_exception_class() {
  if (g_panic_class == nullptr) {
    g_panic_class = PyErr_NewExceptionWithDoc(msg::kPanicName, msg::kPanicDoc,
                                              PyExc_BaseException, nullptr);
    if (g_panic_class == nullptr) {
      raise_fatal(msg::fill(msg::kPanicTypeFailed, {fetch_raw().debug_form()}));
    }
  }
  return g_panic_class;
}

PyError::PyError(ExceptionClass cls, std::string message)
    : class_(cls), message_(std::move(message)) {}

PyError PyError::type_mismatch(PyObject* obj, const char* expected) {
  PyError error;
  error.form_ = Form::mismatch;
  error.type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  error.expected_ = expected;
  return error;
}

PyError PyError::panic(std::string message) {
  PyError error(panic_exception_class, std::move(message));
  error.tuple_argument_ = true;
  return error;
}

PyError PyError::fetched(PyRef type, PyRef value, PyRef traceback) {
  PyError error;
  error.form_ = Form::fetched;
  error.type_ = std::move(type);
  error.value_ = std::move(value);
  error.traceback_ = std::move(traceback);
  return error;
}

PyError PyError::normalized(PyRef type, PyRef value, PyRef traceback) {
  PyError error = fetched(std::move(type), std::move(value), std::move(traceback));
  error.form_ = Form::normalized;
  return error;
}

PyObject* PyError::lazy_class() const {
  return form_ == Form::mismatch ? type_error_class() : class_();
}

PyRef PyError::lazy_argument() const {
  std::string text = message_;
  if (form_ == Form::mismatch) {
    text = msg::fill(msg::kTypeMismatch, {type_qualname_of_type(type_.get()), expected_});
  }
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
  if (!message) {
    PyErr_Print();
    raise_fatal(msg::kApiCallFailed);
  }
  if (!tuple_argument_) return message;
  PyRef tuple = PyRef::steal(PyTuple_New(1));
  if (!tuple) {
    PyErr_Print();
    raise_fatal(msg::kApiCallFailed);
  }
  PyTuple_SetItem(tuple.get(), 0, message.release());
  return tuple;
}

bool PyError::has_exact_class(PyObject* cls) const {
  if (form_ == Form::lazy || form_ == Form::mismatch) return lazy_class() == cls;
  return type_.get() == cls;
}

// 1. A lazy record is raised with its argument, then taken back; a fetched one is taken as is.
// 2. The interpreter normalizes the triple into a class and an exception instance.
void PyError::normalize() {
  if (form_ == Form::normalized) return;
  if (form_ == Form::lazy || form_ == Form::mismatch) {
    PyObject* cls = lazy_class();
    PyRef argument = lazy_argument();
    if (is_exception_class(cls)) {
      PyErr_SetObject(cls, argument.get());
    } else {
      PyErr_SetString(PyExc_TypeError, msg::kNotAnException);
    }
    Pending raised = fetch_triple();
    type_ = std::move(raised.type);
    value_ = std::move(raised.value);
    traceback_ = std::move(raised.traceback);
  }
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = PyRef::steal(type);
  value_ = PyRef::steal(value);
  traceback_ = PyRef::steal(traceback);
  form_ = Form::normalized;
}

PyObject* PyError::value() {
  normalize();
  return value_.get();
}

void PyError::restore() {
  if (form_ == Form::lazy || form_ == Form::mismatch) normalize();
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PyError::debug_form() {
  normalize();
  const std::string traceback =
      traceback_ ? "Some(" + object_repr(traceback_.get()) + ")" : std::string("None");
  return msg::fill(msg::kDebugForm,
                   {object_repr(type_.get()),
                    value_ ? object_repr(value_.get()) : std::string("None"), traceback});
}

std::optional<PyError> take_pending() {
  Pending pending = fetch_triple();
  if (!pending.type) return std::nullopt;
  if (pending.type.get() == panic_exception_class()) {
    resume_panic(std::move(pending.type), std::move(pending.value), std::move(pending.traceback));
  }
  return PyError::fetched(std::move(pending.type), std::move(pending.value),
                          std::move(pending.traceback));
}

PyError fetch_pending() {
  std::optional<PyError> error = take_pending();
  if (!error) return PyError(system_error_class, msg::kNoExceptionSet);
  return std::move(*error);
}

}  // namespace zelto::binding
