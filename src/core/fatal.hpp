// The module's one fatal-error type and the functions that report and raise it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace zelto {

// An unrecoverable failure with its message; the boundary frame turns it into PanicException.
class FatalError : public std::exception {
 public:
  explicit FatalError(std::string message) noexcept : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the stderr report for the calling thread, then throws FatalError(message).
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

// Writes the same report, then ends the process: for a failure that can no longer become an
// exception.
[[noreturn]] void abort_fatal(const std::string& message,
                              std::source_location where = std::source_location::current());

// Throws FatalError without a report: for a failure already reported elsewhere (a resumed panic).
[[noreturn]] void raise_fatal_unreported(std::string message);

// Builds the report text exactly as raise_fatal writes it (without the one-time hint).
std::string fatal_report(const std::string& message, const std::source_location& where);

}  // namespace zelto
