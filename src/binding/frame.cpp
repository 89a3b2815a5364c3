#include "binding/frame.hpp"

#include "binding/messages.hpp"

namespace zelto::binding {

// A failure while the frame is already raising cannot become an exception: report and abort.
void raise_or_abort(PyError& error) noexcept {
  try {
    error.restore();
  } catch (...) {
    abort_fatal(msg::kUncaughtPanic);
  }
}

void raise_panic_or_abort(const std::string& message) noexcept {
  try {
    PyError panic = PyError::panic(message);
    panic.restore();
  } catch (...) {
    abort_fatal(msg::kUncaughtPanic);
  }
}

}  // namespace zelto::binding
