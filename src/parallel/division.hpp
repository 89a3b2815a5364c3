// The division policy: how a range of units becomes leaf pieces, and where they run.
//
// A piece of m units with split budget b splits when m >= 2 and either it is moved or b > 0; the
// halves get the first floor(m/2) units and the rest, with budget max(T, b/2) if moved and b/2
// otherwise. Only the two halves of an operation's top piece count as moved, whichever worker
// runs them: the division is the one a run without take-overs makes, fixed by n and T, so sums
// grouped by it repeat on every run while the workers still share its pieces as they find them.
// Leaves run their units in increasing order; results combine as (left, right).
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "parallel/join.hpp"
#include "parallel/pool.hpp"
#include "parallel/stop_signal.hpp"

namespace zelto {
namespace detail {

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

// A piece of at most this much estimated work runs its whole subtree on the thread that holds
// it, offering no right halves: no other core steals a piece too small to repay the move, and a
// fold-reduce keeps such a piece's accumulators in one stack (fold_division.hpp). The value
// matters little (bench/pool.md).
inline constexpr double kLocalCutoffNs = 2000.0;

// Units of a piece below kLocalCutoffNs, for ns_per_unit of estimated work per unit.
inline std::size_t local_units(double ns_per_unit) noexcept {
  const double units = kLocalCutoffNs / ns_per_unit;
  return units < 1.0 ? 0 : static_cast<std::size_t>(units);
}

// What every piece of one operation shares: the leaf and combine functions, T, the
// operation's stop, and the size below which a piece runs whole where it is.
template <class Leaf, class Combine>
struct Division {
  using Result = std::invoke_result_t<Leaf&, std::size_t, std::size_t>;

  Leaf& leaf;
  Combine& combine;
  std::size_t threads;
  StopSignal& stop;
  std::size_t local_units = 0;

  // Runs [begin, end) and its whole subtree on this thread, offering no piece to other workers.
  // halves_moved: the piece's halves count as moved (the top piece of an operation).
  Result run_locally(std::size_t begin, std::size_t end, std::size_t budget, bool moved,
                     bool halves_moved) {
    std::size_t next = 0;
    if (!split_budget(end - begin, budget, moved, threads, next)) return leaf(begin, end);
    const std::size_t middle = begin + (end - begin) / 2;
    Result left = run_locally(begin, middle, next, halves_moved, false);
    Result right = run_locally(middle, end, next, halves_moved, false);
    return combine(std::move(left), std::move(right));
  }
};

// Runs [begin, end) on worker, offering right halves to other workers; small pieces run whole
// here.
template <class R, class D>
R run_piece(Worker& worker, D& division, std::size_t begin, std::size_t end, std::size_t budget,
            bool moved, bool halves_moved) {
  division.stop.check();
  if (end - begin <= division.local_units) {
    return division.run_locally(begin, end, budget, moved, halves_moved);
  }
  std::size_t next = 0;
  if (!split_budget(end - begin, budget, moved, division.threads, next)) {
    return division.leaf(begin, end);
  }
  const std::size_t middle = begin + (end - begin) / 2;
  auto combine = [&division](R left, R right) -> R {
    return division.combine(std::move(left), std::move(right));
  };
  return join<R>(
      worker, combine,
      [&](Worker& here) {
        return run_piece<R>(here, division, begin, middle, next, halves_moved, false);
      },
      [&](Worker& here) {
        return run_piece<R>(here, division, middle, end, next, halves_moved, false);
      });
}

}  // namespace detail
}  // namespace zelto
