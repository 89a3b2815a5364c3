// The division policy: how a range of units becomes leaf pieces, and where they run.
//
// A piece of m units with split budget b splits when m >= 2 and either it was moved (taken over
// by another worker, or is a half of a submitted operation) or b > 0; the halves get the first
// floor(m/2) units and the rest, with budget max(T, b/2) if moved and b/2 otherwise. Leaves run
// their units in increasing order; results combine as (left, right).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "parallel/job.hpp"
#include "parallel/join.hpp"
#include "parallel/latch.hpp"
#include "parallel/pool.hpp"

namespace zelto {
namespace detail {

// Below this much estimated work (n * ns_per_unit) an operation runs its whole division tree on
// the thread that started it: handing pieces to other threads and waking workers costs more
// than the parallel part saves (crossover measured by bench/pool_bench.cpp at 20-30 us).
inline constexpr double kInlineCutoffNs = 30000.0;

// The pool that runs operations started on this thread: its own pool for a worker, otherwise
// the process-wide pool (created by the first call).
WorkerPool& current_pool();

// Whether a piece of units units splits; sets next to the halves' budget when it does.
inline bool split_budget(std::size_t units, std::size_t budget, bool moved, std::size_t threads,
                         std::size_t& next) noexcept {
  if (units / 2 < 1) return false;
  if (moved) {
    next = budget / 2 > threads ? budget / 2 : threads;
    return true;
  }
  if (budget == 0) return false;
  next = budget / 2;
  return true;
}

// What every piece of one operation shares.
template <class Leaf, class Combine>
struct Division {
  Leaf& leaf;
  Combine& combine;
  std::size_t threads;
};

// Runs [begin, end) with everything below it on this thread, as a run in which no piece is
// taken over. halves_moved: the piece's halves count as moved (the top piece of an operation
// submitted from outside the pool).
template <class R, class D>
R run_piece_here(D& division, std::size_t begin, std::size_t end, std::size_t budget, bool moved,
                 bool halves_moved) {
  std::size_t next = 0;
  if (!split_budget(end - begin, budget, moved, division.threads, next)) {
    return division.leaf(begin, end);
  }
  const std::size_t middle = begin + (end - begin) / 2;
  R left = run_piece_here<R>(division, begin, middle, next, halves_moved, false);
  R right = run_piece_here<R>(division, middle, end, next, halves_moved, false);
  return division.combine(std::move(left), std::move(right));
}

// Runs [begin, end) on worker, offering right halves to other workers.
template <class R, class D>
R run_piece(Worker& worker, D& division, std::size_t begin, std::size_t end, std::size_t budget,
            bool moved, bool halves_moved) {
  std::size_t next = 0;
  if (!split_budget(end - begin, budget, moved, division.threads, next)) {
    return division.leaf(begin, end);
  }
  const std::size_t middle = begin + (end - begin) / 2;
  return join<R>(
      worker, division.combine,
      [&](Worker& here) {
        return run_piece<R>(here, division, begin, middle, next, halves_moved, false);
      },
      [&](Worker& here, bool taken_over) {
        return run_piece<R>(here, division, middle, end, next, halves_moved || taken_over, false);
      });
}

// An operation submitted from outside the pool: a worker forks its two halves, both moved.
template <class R, class D>
class SubmittedJob : public JobBase {
 public:
  SubmittedJob(D& division, std::size_t units) noexcept
      : JobBase(&execute), division_(division), units_(units), latch_(nullptr) {}

  // Blocks the submitting thread until the operation has finished; rethrows its failure.
  R wait() {
    latch_.block_until_set();
    return result_.take();
  }

 private:
  static void execute(JobBase* base, Worker& worker) noexcept {
    auto* self = static_cast<SubmittedJob*>(base);
    self->result_.capture([&] {
      return run_piece<R>(worker, self->division_, 0, self->units_, self->division_.threads,
                          false, true);
    });
    self->latch_.set();
  }

  D& division_;
  std::size_t units_;
  Latch latch_;
  JobResult<R> result_;
};

}  // namespace detail

// How small work runs on the calling thread: as its division tree, or as one leaf over all
// units. The second suits loops whose units write independent results (their values do not
// depend on where leaves end) and spares a small matrix product the per-leaf calls, which cost
// a 64 x 64 product a fifth of its time.
enum class SmallWork { divided, one_leaf };

// Divides [0, n) over pool and returns the combination of leaf(begin, end) results.
template <class R, class Leaf, class Combine>
R run_divided_on(detail::WorkerPool& pool, std::size_t n, double ns_per_unit, Leaf&& leaf,
                 Combine&& combine, SmallWork small_work = SmallWork::divided) {
  const bool small = static_cast<double>(n) * ns_per_unit < detail::kInlineCutoffNs;
  if (small && small_work == SmallWork::one_leaf) return leaf(std::size_t{0}, n);
  detail::Division<Leaf, Combine> division{leaf, combine, pool.threads()};
  detail::Worker* worker = detail::WorkerPool::current_worker();
  if (worker != nullptr && &worker->pool() == &pool) {
    // A nested operation: a fork-join on this worker, its top piece not moved.
    if (small) return detail::run_piece_here<R>(division, 0, n, division.threads, false, false);
    return detail::run_piece<R>(*worker, division, 0, n, division.threads, false, false);
  }
  if (n < 2 || small) {
    return detail::run_piece_here<R>(division, 0, n, division.threads, false, true);
  }
  detail::SubmittedJob<R, decltype(division)> job(division, n);
  pool.inject(&job);
  return job.wait();
}

// Divides [0, n) over the current pool: leaf(begin, end) -> R, combine(R, R) -> R.
template <class R, class Leaf, class Combine>
R run_divided(std::size_t n, double ns_per_unit, Leaf&& leaf, Combine&& combine,
              SmallWork small_work = SmallWork::divided) {
  return run_divided_on<R>(detail::current_pool(), n, ns_per_unit, std::forward<Leaf>(leaf),
                           std::forward<Combine>(combine), small_work);
}

// The leaves [begin, end) of a division of n units for T threads in which no piece is taken
// over, submitted from outside the pool.
std::vector<std::pair<std::size_t, std::size_t>> no_steal_leaves(std::size_t n,
                                                                  std::size_t threads);

}  // namespace zelto
