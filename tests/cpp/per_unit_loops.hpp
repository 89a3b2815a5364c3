// The five parallel loops in their per-unit form, for tests and benches: each is the library's
// *_leaves loop with a leaf that visits its units one at a time in increasing order, so the same
// division and the same results.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "parallel/parallel.hpp"

namespace zelto {

// out[i] = f(in[i]) for every element.
template <class F>
FloatVec parallel_map(const FloatVec& in, F&& f, double ns_per_unit) {
  return parallel_map_leaves(
      in,
      [&](const float* src, float* dst, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) dst[i] = f(src[i]);
      },
      ns_per_unit);
}

// One value per chunk: out[k] = f(chunk_pointer, chunk_length) for chunk k.
template <class F>
FloatVec parallel_map_chunks(const FloatVec& in, std::size_t chunk, F&& f, double ns_per_unit) {
  const float* src = in.data();
  const std::size_t length = in.size();
  return parallel_map_chunks_leaves(
      in, chunk,
      [&](std::size_t begin, std::size_t end, float* dst) {
        for (std::size_t k = begin; k < end; ++k) {
          const std::size_t first = k * chunk;
          dst[k - begin] = f(src + first, length - first < chunk ? length - first : chunk);
        }
      },
      ns_per_unit);
}

// g(chunk_index, chunk_pointer, chunk_length) for every chunk of out, each by one work item.
template <class G>
void parallel_for_each_chunk_mut(FloatVec& out, std::size_t chunk, G&& g, double ns_per_unit) {
  float* dst = out.data();
  const std::size_t length = out.size();
  parallel_for_each_chunk_mut_leaves(
      out, chunk,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) {
          const std::size_t first = k * chunk;
          g(k, dst + first, length - first < chunk ? length - first : chunk);
        }
      },
      ns_per_unit);
}

// Folds the indices [start, end): each leaf folds into identity() in increasing order and then
// passes once through reduce(identity(), folded); pieces combine as reduce(left, right).
template <class Identity, class Fold, class Reduce>
auto parallel_fold_reduce(std::size_t start, std::size_t end, Identity&& identity, Fold&& fold,
                          Reduce&& reduce, double ns_per_unit) {
  using Acc = decltype(identity());
  struct ByValue {
    Identity& identity_fn;
    Fold& fold_fn;
    Reduce& reduce_fn;
    Acc identity() { return identity_fn(); }
    void leaf(Acc& acc, std::size_t first, std::size_t stop) {
      acc = identity_fn();
      for (std::size_t i = first; i < stop; ++i) acc = fold_fn(std::move(acc), i);
      acc = reduce_fn(identity_fn(), std::move(acc));
    }
    void reduce_into(Acc& left, Acc& right) {
      left = reduce_fn(std::move(left), std::move(right));
    }
  } ops{identity, fold, reduce};
  return parallel_fold_reduce_leaves(start, end, ops, ns_per_unit);
}

// Sum of f(in[i]): each leaf starts at -0.0 and adds its terms in index order; pieces add
// as left + right. An empty input gives -0.0.
template <class F>
float parallel_map_sum(const FloatVec& in, F&& f, double ns_per_unit) {
  return parallel_map_sum_leaves(
      in,
      [&](const float* src, std::size_t count, float acc, const StopSignal&) {
        for (std::size_t i = 0; i < count; ++i) acc = acc + f(src[i]);
        return acc;
      },
      ns_per_unit);
}

// The leaves [begin, end) of a division of n units for T threads, submitted from outside the
// pool: the same for every run, whichever workers run the pieces.
inline std::vector<std::pair<std::size_t, std::size_t>> no_steal_leaves(std::size_t n,
                                                                         std::size_t threads) {
  std::vector<std::pair<std::size_t, std::size_t>> leaves;
  auto leaf = [&](std::size_t begin, std::size_t end) {
    leaves.emplace_back(begin, end);
    return 0;
  };
  auto combine = [](int, int) { return 0; };
  StopSignal stop;
  detail::Division<decltype(leaf), decltype(combine)> division{leaf, combine, threads, stop};
  division.run_locally(0, n, threads, false, true);
  return leaves;
}

}  // namespace zelto
