// Fork-join on a worker: offer the right piece, run the left, then take the right back or help
// with other work until whoever took it has finished.
#pragma once

#include <utility>

#include "parallel/job.hpp"
#include "parallel/latch.hpp"
#include "parallel/pool.hpp"

namespace zelto::detail {

// The right piece of a join, offered on the forking worker's deque. right(worker) runs it, on
// the forking worker or on one that took it over.
template <class R, class Right>
class RightJob : public JobBase {
 public:
  RightJob(Right& right, Worker& owner) noexcept
      : JobBase(&execute_taken_over), right_(right), owner_(owner), latch_(&owner.sleep_slot()) {}

  // The forking worker runs the piece itself (it was not taken over).
  void run_here() noexcept {
    result_.capture([&] { return right_(owner_); });
  }
  const Latch& latch() const noexcept { return latch_; }
  JobResult<R>& result() noexcept { return result_; }

 private:
  // A thief runs the piece; setting the latch is its last touch of this object.
  static void execute_taken_over(JobBase* base, Worker& thief) noexcept {
    auto* self = static_cast<RightJob*>(base);
    self->result_.capture([&] { return self->right_(thief); });
    self->latch_.set();
  }

  Right& right_;
  Worker& owner_;
  Latch latch_;
  JobResult<R> result_;
};

// Runs left(worker) here and right(worker) here or elsewhere, and returns
// combine(left result, right result). Both sides always run to completion; if the left side
// failed its error wins, otherwise the right side's.
template <class R, class Combine, class Left, class Right>
R join(Worker& worker, Combine& combine, Left&& left, Right&& right) {
  RightJob<R, Right> job(right, worker);
  const bool offered = worker.offer(&job);
  JobResult<R> left_result;
  left_result.capture([&] { return left(worker); });
  if (!offered) {
    job.run_here();
  } else if (JobBase* back = worker.take_back(); back == &job) {
    job.run_here();
  } else {
    // Everything pushed after this job was popped by the nested joins, so the only thing the
    // deque can return here is this job or nothing.
    if (back != nullptr) abort_pool_failure();
    worker.wait_until(job.latch());
  }
  // Taking the left value first makes a left failure win over a right one.
  R left_value = left_result.take();
  return combine(std::move(left_value), job.result().take());
}

}  // namespace zelto::detail
