#include "binding/frame.hpp"

#include <unistd.h>

#include <cstdlib>

#include "binding/messages.hpp"

namespace zelto::binding {
namespace {

// A failure while the frame is already raising cannot become an exception: report and abort.
[[noreturn]] void abort_uncaught(std::source_location where = std::source_location::current()) {
  const std::string report = fatal_report(msg::kUncaughtPanic, where);
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, report.data(), report.size());
  std::abort();
}

}  // namespace

void raise_or_abort(PyError& error) noexcept {
  try {
    error.restore();
  } catch (...) {
    abort_uncaught();
  }
}

void raise_panic_or_abort(const std::string& message) noexcept {
  try {
    PyError panic = PyError::panic(message);
    panic.restore();
  } catch (...) {
    abort_uncaught();
  }
}

}  // namespace zelto::binding
