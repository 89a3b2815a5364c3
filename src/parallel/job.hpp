// What the pool schedules: a job is a piece offered for stealing or an operation submitted from
// outside the pool. Jobs live in the frame of the thread that waits for them; the pool only
// holds pointers.
#pragma once

#include <exception>
#include <optional>
#include <utility>

namespace zelto::detail {

class Worker;

// The scheduling record: run by execute(job, worker) exactly once, on the worker that took it.
struct JobBase {
  using Execute = void (*)(JobBase*, Worker&) noexcept;
  explicit JobBase(Execute execute) noexcept : execute_(execute) {}
  Execute execute_;
  JobBase* next_ = nullptr;  // link in the pool's injection queue
};

// The outcome of running a piece: its value or the exception it ended with.
template <class R>
class JobResult {
 public:
  // Runs body and keeps what it returned or threw; nothing escapes.
  template <class Body>
  void capture(Body&& body) noexcept {
    try {
      value_.emplace(body());
    } catch (...) {
      error_ = std::current_exception();
    }
  }
  // The value, or the failure rethrown on the calling thread. The stored exception object
  // itself is rethrown, so a fatal error is not reported a second time.
  R take() {
    if (error_) std::rethrow_exception(error_);
    return std::move(*value_);
  }

 private:
  std::optional<R> value_;
  std::exception_ptr error_;
};

// Ends the process on a failure of the pool's own bookkeeping (never of a work item).
[[noreturn]] void abort_pool_failure() noexcept;

}  // namespace zelto::detail
