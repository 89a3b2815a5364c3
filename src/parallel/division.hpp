// The division policy: how a range of units becomes leaf pieces, and where they run.
//
// TEMPORARY serial executor: runs the division tree of a run without take-overs on the calling
// thread. The work-stealing pool replaces the body of run_divided; its signature stays.
#pragma once

#include <cstddef>
#include <utility>

namespace zelto {

std::size_t pool_thread_count();

namespace detail {

// One piece [begin, end) with its split budget, run as if no piece is ever taken over.
template <class R, class Leaf, class Combine>
R run_piece_inline(std::size_t begin, std::size_t end, std::size_t budget, bool moved,
                   std::size_t threads, Leaf& leaf, Combine& combine) {
  const std::size_t half = (end - begin) / 2;
  if (half >= 1 && (moved || budget > 0)) {
    const std::size_t next = moved ? (threads > budget / 2 ? threads : budget / 2) : budget / 2;
    R left = run_piece_inline<R>(begin, begin + half, next, false, threads, leaf, combine);
    R right = run_piece_inline<R>(begin + half, end, next, false, threads, leaf, combine);
    return combine(std::move(left), std::move(right));
  }
  return leaf(begin, end);
}

}  // namespace detail

// Divides [0, n) and returns combine-of-leaves; leaf(begin, end) -> R, combine(R, R) -> R.
template <class R, class Leaf, class Combine>
R run_divided(std::size_t n, double /*ns_per_unit*/, Leaf&& leaf, Combine&& combine) {
  const std::size_t threads = pool_thread_count();
  if (n / 2 >= 1) {
    const std::size_t next = threads / 2;
    R left = detail::run_piece_inline<R>(0, n / 2, next, true, threads, leaf, combine);
    R right = detail::run_piece_inline<R>(n / 2, n, next, true, threads, leaf, combine);
    return combine(std::move(left), std::move(right));
  }
  return leaf(0, n);
}

}  // namespace zelto
