// The division of a fold-reduce whose accumulators are combined in place.
//
// A piece run whole on one thread folds its leaves into a stack of accumulators made once for
// the piece: slot d holds the left result at depth d while the right half is computed in the
// slots above it. Leaves of one or a few units then cost their folding and one in-place
// reduction, not two new accumulators each, which is what keeps a pool of many more workers
// than processors (thousands of small leaves) near the cost of a small one. Every value is the
// one the by-value division gives: each leaf is reduce(identity(), folded), and adjacent pieces
// combine as reduce(left, right).
#pragma once

#include <bit>
#include <cstddef>
#include <utility>
#include <vector>

#include "parallel/division.hpp"

namespace zelto::detail {

// Ops provides, for its accumulator type Acc (indices are the caller's, start + unit):
//   Acc identity()                     a new identity accumulator
//   void leaf(Acc&, first, end)        acc <- reduce(identity(), folded), where folded is
//                                      identity() with the indices [first, end) folded in
//                                      increasing order; acc's old value is not read
//   void reduce_into(Acc& left, Acc& right)   left <- reduce(left, right); right's value is
//                                             not read again
// and may provide local(first, end): a folder for the indices [first, end) that one thread
// runs leaf by leaf, with its own leaf(Acc&, first, end), for work those leaves share.
template <class Acc, class Ops>
struct FoldDivision {
  Ops& ops;
  std::size_t start;
  std::size_t threads;
  StopSignal& stop;
  std::size_t local_units = 0;

  // A leaf on its own.
  Acc leaf(std::size_t begin, std::size_t end) {
    Acc acc = ops.identity();
    ops.leaf(acc, start + begin, start + end);
    return acc;
  }

  Acc combine(Acc left, Acc right) {
    ops.reduce_into(left, right);
    return left;
  }

  // Runs [begin, end) and its whole subtree on this thread, offering no piece to other workers,
  // with one accumulator per level of the subtree.
  Acc run_locally(std::size_t begin, std::size_t end, std::size_t budget, bool moved,
                  bool halves_moved) {
    const std::size_t units = end - begin;
    const std::size_t depth = units < 2 ? 0 : std::bit_width(units - 1);
    std::vector<Acc> slots;
    slots.reserve(depth + 1);
    for (std::size_t d = 0; d <= depth; ++d) slots.push_back(ops.identity());
    if constexpr (requires { ops.local(begin, end); }) {
      auto folder = ops.local(start + begin, start + end);
      fold_locally(folder, slots.data(), begin, end, budget, moved, halves_moved);
    } else {
      fold_locally(ops, slots.data(), begin, end, budget, moved, halves_moved);
    }
    return std::move(slots[0]);
  }

 private:
  // The result of [begin, end) into slot[0], using the slots above it for right halves.
  template <class Folder>
  void fold_locally(Folder& folder, Acc* slot, std::size_t begin, std::size_t end,
                 std::size_t budget, bool moved, bool halves_moved) {
    std::size_t next = 0;
    if (!split_budget(end - begin, budget, moved, threads, next)) {
      folder.leaf(slot[0], start + begin, start + end);
      return;
    }
    const std::size_t middle = begin + (end - begin) / 2;
    fold_locally(folder, slot, begin, middle, next, halves_moved, false);
    fold_locally(folder, slot + 1, middle, end, next, halves_moved, false);
    ops.reduce_into(slot[0], slot[1]);
  }
};

}  // namespace zelto::detail
