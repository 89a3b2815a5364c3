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

#include "parallel/join.hpp"
#include "parallel/pool.hpp"

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

}  // namespace detail

// The leaves [begin, end) of a division of n units for T threads in which no piece is taken
// over, submitted from outside the pool.
std::vector<std::pair<std::size_t, std::size_t>> no_steal_leaves(std::size_t n,
                                                                  std::size_t threads);

}  // namespace zelto
