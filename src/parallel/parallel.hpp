// The five parallel loops every kernel runs on, and the size of the pool behind them.
//
// Each loop divides its units (elements, chunks or indices) into contiguous pieces through
// run_divided, by the division policy of division.hpp, runs leaf pieces sequentially in
// increasing unit order, and combines partial results as (left, right). A failure in a work
// item (FatalError or any other exception) is carried to the caller; the lowest-indexed
// failing unit's error wins.
//
// Every loop takes ns_per_unit, the caller's estimate of one unit's cost: work too small to
// pay for waking workers runs on the calling thread, as its whole division tree, or as one
// leaf over all units in the loops whose units write independent results (see Units). The
// sums also take an interrupt check, asked while the calling thread waits for the workers, or
// at the leaves' looks at the stop when that thread runs the work itself (core/interrupt.hpp).
//
// Each loop hands its kernel a whole leaf at once, so the kernel can process several rows or
// elements per call; tests/cpp/per_unit_loops.hpp has the per-unit forms the tests use.
#pragma once

#include <bit>
#include <cstddef>
#include <optional>
#include <utility>

#include "core/fatal.hpp"
#include "core/float_vec.hpp"
#include "core/interrupt.hpp"
#include "parallel/division.hpp"
#include "parallel/fold_division.hpp"
#include "parallel/pool.hpp"
#include "parallel/submitted_job.hpp"

namespace zelto {

// The pool's thread count T; the first call from outside the pool creates the pool.
std::size_t pool_thread_count();

namespace detail {

// Below this much estimated work (its units' and its leaves' costs) an operation runs its whole
// division tree on the thread that started it: handing pieces to other threads and waking
// workers costs more than the parallel part saves (crossover measured by bench/pool_bench.cpp at
// 20-30 us).
inline constexpr double kInlineCutoffNs = 30000.0;

// The pool that runs operations started on this thread: its own pool for a worker, otherwise
// the process-wide pool (created by the first call).
WorkerPool& current_pool();

}  // namespace detail

// What a loop's leaves produce. combined: results that are combined across leaves (sums), so
// their grouping, and the value, follows the division for the pool's T. independent: each unit
// writes its own result, so every division gives the same values; such a loop runs small work
// as one leaf over all units (sparing a small matrix product the per-leaf calls, a fifth of a
// 64 x 64 product's time) and divides for no more threads than can be awake at once, so a pool
// larger than the machine does not cut its work into needlessly small leaves.
enum class Units { combined, independent };

namespace detail {

// Estimated fixed cost of one leaf (a kernel call, a leaf's accumulator), counted with the
// units' work when deciding whether an operation is small: a pool of many more workers than
// processors divides even a short range into thousands of leaves, which then share the awake
// workers instead of running on the caller alone.
inline constexpr double kNsPerLeaf = 10.0;

// Leaves of n units divided for threads with no take-over: about 2^(floor(log2 T) + 3), at most n.
inline std::size_t leaf_estimate(std::size_t n, std::size_t threads) noexcept {
  const std::size_t leaves = std::size_t{8} << (std::bit_width(threads) - 1);
  return n < leaves ? n : leaves;
}

// Runs the whole division of [0, n) on the calling thread, its leaves' looks at the stop asking
// interrupt. It is the division the pool's workers run, so the result has the same bits.
template <class R, class D>
R run_here(std::size_t n, D& division, InterruptCheck interrupt) {
  division.stop.ask_at_checks(interrupt);
  return division.run_locally(0, n, division.threads, false, true);
}

// Runs the division of [0, n) over pool: small work on the calling thread, the rest through
// the pool's workers, with interrupt asked while the calling thread waits.
template <class R, class D>
R run_division(WorkerPool& pool, std::size_t n, double ns_per_unit, D& division,
               InterruptCheck interrupt = nullptr) {
  const double work = static_cast<double>(n) * ns_per_unit +
                      static_cast<double>(leaf_estimate(n, division.threads)) * kNsPerLeaf;
  const bool small = work < kInlineCutoffNs;
  division.local_units = local_units(ns_per_unit);
  Worker* worker = WorkerPool::current_worker();
  if (worker != nullptr && &worker->pool() == &pool) {
    // A nested operation: a fork-join on this worker, divided as if submitted from outside.
    if (small) return division.run_locally(0, n, division.threads, false, true);
    return run_piece<R>(*worker, division, 0, n, division.threads, false, true);
  }
  // An operation that a signal handler starts while this thread waits for another runs here:
  // the workers are busy with the one it interrupted.
  if (n < 2 || small || WorkerPool::checking_while_waiting()) {
    return run_here<R>(n, division, interrupt);
  }
  SubmittedJob<R, D> job(division, n);
  pool.inject(&job);
  if (std::optional<R> result = job.wait(interrupt)) return std::move(*result);
  // A signal handler forked the process during the wait, and this is the child: it has the
  // operation's inputs but none of the workers that ran it, so it runs the operation itself.
  return run_here<R>(n, division, interrupt);
}

}  // namespace detail

// Divides [0, n) over pool and returns the combination of leaf(begin, end) results. stop, set
// when interrupt throws, is the leaves' to look at during long runs; null: the operation's own.
template <class R, class Leaf, class Combine>
R run_divided_on(detail::WorkerPool& pool, std::size_t n, double ns_per_unit, Leaf&& leaf,
                 Combine&& combine, Units units = Units::combined,
                 InterruptCheck interrupt = nullptr, StopSignal* stop = nullptr) {
  const bool small = static_cast<double>(n) * ns_per_unit < detail::kInlineCutoffNs;
  if (small && units == Units::independent) return leaf(std::size_t{0}, n);
  const std::size_t threads =
      units == Units::independent ? pool.runnable_threads() : pool.threads();
  StopSignal own_stop;
  detail::Division<Leaf, Combine> division{leaf, combine, threads,
                                           stop != nullptr ? *stop : own_stop};
  return detail::run_division<R>(pool, n, ns_per_unit, division, interrupt);
}

// Divides [0, n) over the current pool: leaf(begin, end) -> R, combine(R, R) -> R.
template <class R, class Leaf, class Combine>
R run_divided(std::size_t n, double ns_per_unit, Leaf&& leaf, Combine&& combine,
              Units units = Units::combined, InterruptCheck interrupt = nullptr,
              StopSignal* stop = nullptr) {
  return run_divided_on<R>(detail::current_pool(), n, ns_per_unit, std::forward<Leaf>(leaf),
                           std::forward<Combine>(combine), units, interrupt, stop);
}

namespace detail {

// Number of chunks of size chunk in length elements; a zero chunk is refused before anything.
inline std::size_t chunk_count(std::size_t length, std::size_t chunk) {
  if (chunk == 0) raise_fatal("chunk_size must not be zero");
  return length / chunk + (length % chunk != 0 ? 1 : 0);
}

// Checks that a collecting loop wrote one value per unit.
void check_write_count(std::size_t expected, std::size_t written);

// Runs write(begin, end) on every leaf of the division of units, then checks that the leaves
// together covered every unit: each leaf counts its units and pieces add the counts. The leaf
// holds its own copy of write (a few references), so a leaf call costs what a direct one does.
// Each unit's result is its own, so small work is written by one call over all units.
template <class Write>
void run_writing(std::size_t units, double ns_per_unit, Write write) {
  const std::size_t written = run_divided<std::size_t>(
      units, ns_per_unit,
      [write](std::size_t begin, std::size_t end) {
        write(begin, end);
        return end - begin;
      },
      [](std::size_t left, std::size_t right) { return left + right; }, Units::independent);
  check_write_count(units, written);
}

}  // namespace detail

// As parallel_map, with leaf(const float* in, float* out, count) writing a whole leaf.
template <class Leaf>
FloatVec parallel_map_leaves(const FloatVec& in, Leaf&& leaf, double ns_per_unit) {
  FloatVec out = FloatVec::uninitialized(in.size());
  const float* src = in.data();
  float* dst = out.data();
  detail::run_writing(in.size(), ns_per_unit, [&](std::size_t begin, std::size_t end) {
    leaf(src + begin, dst + begin, end - begin);
  });
  return out;
}

// As parallel_map_chunks, with leaf(first_chunk, end_chunk, out) writing out[0 .. end-first).
template <class Leaf>
FloatVec parallel_map_chunks_leaves(const FloatVec& in, std::size_t chunk, Leaf&& leaf,
                                    double ns_per_unit) {
  const std::size_t chunks = detail::chunk_count(in.size(), chunk);
  FloatVec out = FloatVec::uninitialized(chunks);
  float* dst = out.data();
  detail::run_writing(chunks, ns_per_unit, [&](std::size_t begin, std::size_t end) {
    leaf(begin, end, dst + begin);
  });
  return out;
}

// As parallel_for_each_chunk_mut, with leaf(first_chunk, end_chunk) writing those chunks.
// Chunks are written independently, so small work is one call over all chunks.
template <class Leaf>
void parallel_for_each_chunk_mut_leaves(FloatVec& out, std::size_t chunk, Leaf&& leaf,
                                        double ns_per_unit) {
  const std::size_t chunks = detail::chunk_count(out.size(), chunk);
  run_divided<std::size_t>(
      chunks, ns_per_unit,
      [&](std::size_t begin, std::size_t end) {
        leaf(begin, end);
        return std::size_t{0};
      },
      [](std::size_t, std::size_t) { return std::size_t{0}; }, Units::independent);
}

// As parallel_fold_reduce, with the accumulators combined in place by ops (see FoldDivision):
// ops.leaf(acc, first_index, end_index) makes a whole leaf's result.
template <class Ops>
auto parallel_fold_reduce_leaves(std::size_t start, std::size_t end, Ops& ops, double ns_per_unit,
                                 InterruptCheck interrupt = nullptr) {
  using Acc = decltype(ops.identity());
  detail::WorkerPool& pool = detail::current_pool();
  StopSignal stop;
  detail::FoldDivision<Acc, Ops> division{ops, start, pool.threads(), stop};
  return detail::run_division<Acc>(pool, end - start, ns_per_unit, division, interrupt);
}

// As parallel_map_sum, with leaf(const float* in, count, -0.0f, stop) returning the leaf's
// sum; a long leaf may end early by stop.check() (see StopSignal).
template <class Leaf>
float parallel_map_sum_leaves(const FloatVec& in, Leaf&& leaf, double ns_per_unit,
                              InterruptCheck interrupt = nullptr) {
  const float* src = in.data();
  StopSignal stop;
  return run_divided<float>(
      in.size(), ns_per_unit,
      [&](std::size_t begin, std::size_t end) {
        return leaf(src + begin, end - begin, -0.0f, stop);
      },
      [](float left, float right) { return left + right; }, Units::combined, interrupt, &stop);
}

}  // namespace zelto
