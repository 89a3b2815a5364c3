#include "core/fatal.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace zelto {
namespace {

constexpr const char* kBacktraceVariable = "ZELTO_BACKTRACE";
constexpr const char* kBacktraceHint =
    "note: run with `ZELTO_BACKTRACE=1` environment variable to display a backtrace\n";

std::atomic<bool> g_reported_once{false};

// Writes all of text with as few write calls as the kernel allows, so reports of two threads
// do not interleave line by line.
void write_stderr(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// The backtrace setting is read once, like the pool's variables.
bool backtrace_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv(kBacktraceVariable);
    return value != nullptr && std::strcmp(value, "0") != 0 && value[0] != '\0';
  }();
  return enabled;
}

// The report, then the backtrace when asked for, else the one-time hint.
void write_report(const std::string& message, const std::source_location& where) {
  write_stderr(fatal_report(message, where));
  if (backtrace_enabled()) {
    void* frames[64];
    const int depth = ::backtrace(frames, 64);
    write_stderr("stack backtrace:\n");
    ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
  } else if (!g_reported_once.exchange(true, std::memory_order_relaxed)) {
    write_stderr(kBacktraceHint);
  }
}

}  // namespace

std::string fatal_report(const std::string& message, const std::source_location& where) {
  std::string text = "\nthread '<unnamed>' (";
  text += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
  text += ") panicked at ";
  text += where.file_name();
  text += ':';
  text += std::to_string(where.line());
  text += ':';
  text += std::to_string(where.column());
  text += ":\n";
  text += message;
  text += '\n';
  return text;
}

void raise_fatal(std::string message, std::source_location where) {
  write_report(message, where);
  throw FatalError(std::move(message));
}

void abort_fatal(const std::string& message, std::source_location where) {
  write_report(message, where);
  std::abort();
}

void raise_fatal_unreported(std::string message) { throw FatalError(std::move(message)); }

}  // namespace zelto
