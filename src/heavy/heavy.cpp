// run_heavy_logic: the chosen leaf kernel summed over the worker pool.
#include "heavy/heavy.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "core/canonical_nan.hpp"
#include "core/halving_tree.hpp"
#include "core/isa.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"
#include "parallel/parallel.hpp"

namespace zelto {
namespace {

// Cost of one repetition of the chain for one element, in ns, and of adding a term: the
// vector chain and the lockstep library calls, as measured here on one core.
constexpr double kNsPerRepetitionVector = 3.3;
constexpr double kNsPerRepetitionLockstep = 15.0;
constexpr double kNsPerTerm = 1.0;

}  // namespace

// Decided once: neither the processor nor the loaded C library changes under a process.
const HeavyKernels& heavy_kernels() noexcept {
  static const HeavyKernels kernels = [] {
    const Isa isa = chosen_isa();
    if (heavy::libm_mirrored(isa)) {
      return HeavyKernels{trig_kernels(isa).chain_leaf_sum, trig_kernels(isa).chain_terms};
    }
    return HeavyKernels{heavy::leaf_sum_lockstep, heavy::terms_lockstep};
  }();
  return kernels;
}

HeavyLeaf heavy_leaf() noexcept { return heavy_kernels().leaf_sum; }

// The lockstep leaf is the only other choice.
bool heavy_leaf_is_vector() noexcept { return heavy_leaf() != heavy::leaf_sum_lockstep; }

namespace {

// Estimated cost of one element's term: the chain's repetitions and the term's addition.
double ns_per_term(std::uint64_t iterations, bool vector) noexcept {
  const double per_repetition = vector ? kNsPerRepetitionVector : kNsPerRepetitionLockstep;
  return kNsPerTerm + per_repetition * static_cast<double>(iterations);
}

// Elements a leaf makes terms for between looks at its operation's stop: about a millisecond
// of estimated work, in whole multiples of 64 (every variant's vector block divides it, so a
// run's terms are the ones the whole leaf gives), at most kMaxRun.
constexpr std::size_t kMaxRun = 1024;

std::size_t run_elements(double ns_per_unit) noexcept {
  const double elements = 1e6 / ns_per_unit;
  if (elements >= static_cast<double>(kMaxRun)) return kMaxRun;
  const std::size_t whole = static_cast<std::size_t>(elements) / 64 * 64;
  return whole < 64 ? 64 : whole;
}

// Repetitions a run of elements makes between looks at the stop, so that a stop is seen after
// about a millisecond of the run's work however long its terms are, for ns_per_unit the
// estimated cost of a term of `iterations` repetitions: a run is costed as at least 64
// elements, since a short one costs about what its vector block's chain does. Cutting a term's
// repetitions changes none of its bits: each repetition maps the value alone.
std::uint64_t slice_repetitions(std::size_t elements, double ns_per_unit,
                                std::uint64_t iterations) noexcept {
  const double costed = static_cast<double>(elements < 64 ? 64 : elements);
  const double repetitions = 1e6 * static_cast<double>(iterations) / (costed * ns_per_unit);
  if (repetitions < 1.0) return 1;
  if (repetitions >= static_cast<double>(iterations)) return iterations;
  return static_cast<std::uint64_t>(repetitions);
}

// out[i] = term(in[i]) for i < count <= kMaxRun, made slice repetitions at a time with a look at
// the stop before every slice after the first.
void sliced_terms(HeavyTerms terms, const float* in, std::size_t count, std::uint64_t iterations,
                  std::uint64_t slice, const StopSignal& stop, float* out) {
  std::uint64_t step = std::min(iterations, slice);
  terms(in, count, step, out);
  float next[kMaxRun];
  for (std::uint64_t left = iterations - step; left != 0; left -= step) {
    stop.check();
    step = std::min(left, slice);
    terms(out, count, step, next);
    std::copy_n(next, count, out);
  }
}

// Nodes of at most this many terms are summed by an unrolled tree.
constexpr std::size_t kTreeTerms = 16;

// The halving tree of K terms.
template <std::size_t K>
float tree_of_terms(const float* t) noexcept {
  return halving_sum<0, K>([t](std::size_t r) { return t[r]; });
}

// tree_of_terms<K> at index K - 1.
template <std::size_t... K>
constexpr auto trees_of_terms(std::index_sequence<K...>) noexcept {
  return std::array<float (*)(const float*) noexcept, sizeof...(K)>{&tree_of_terms<K + 1>...};
}

// The halving tree of the terms of [in, in + count), count >= 1: the terms are made a window at
// a time as the tree's nodes are visited in index order, so each is made once and the window
// stays small whatever the count; before each window after the first, and between the slices
// of a window's repetitions, it looks at the stop.
class TermTree {
 public:
  TermTree(const float* in, std::size_t count, std::uint64_t iterations, HeavyTerms terms,
           std::size_t window, std::uint64_t slice, const StopSignal& stop)
      : in_(in), count_(count), iterations_(iterations), terms_(terms), window_(window),
        slice_(slice), stop_(stop) {}

  float node(std::size_t lo, std::size_t hi) {
    if (hi - lo <= kTreeTerms) {
      static constexpr auto kTrees = trees_of_terms(std::make_index_sequence<kTreeTerms>{});
      return kTrees[hi - lo - 1](window(lo, hi));
    }
    const std::size_t middle = halving_middle(lo, hi);
    const float left = node(lo, middle);
    return left + node(middle, hi);
  }

 private:
  // The terms of [lo, hi), made from lo on when not all in the window.
  const float* window(std::size_t lo, std::size_t hi) {
    if (lo < first_ || hi > end_) {
      if (end_ != 0) stop_.check();
      const std::size_t count = count_ - lo < window_ ? count_ - lo : window_;
      sliced_terms(terms_, in_ + lo, count, iterations_, slice_, stop_, terms_window_);
      first_ = lo;
      end_ = lo + count;
    }
    return terms_window_ + (lo - first_);
  }

  const float* in_;
  std::size_t count_;
  std::uint64_t iterations_;
  HeavyTerms terms_;
  std::size_t window_;  // at least kTreeTerms, at most kMaxRun
  std::uint64_t slice_;
  const StopSignal& stop_;
  std::size_t first_ = 0;
  std::size_t end_ = 0;
  float terms_window_[kMaxRun];
};

}  // namespace

float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, Grouping grouping,
                      InterruptCheck interrupt) {
  const HeavyKernels& k = heavy_kernels();
  const double ns_per_unit = ns_per_term(iterations, heavy_leaf_is_vector());
  if (grouping == Grouping::canonical) {
    return canonical_nan(canonical_heavy_sum(data, iterations, k.terms, ns_per_unit, interrupt));
  }
  // A leaf's sum continues run after run from the same accumulator: the leaf's bits. A run whose
  // repetitions are cut into slices makes its terms first and adds them in index order, as the
  // leaf kernel does.
  const std::size_t run = run_elements(ns_per_unit);
  return canonical_nan(parallel_map_sum_leaves(
      data,
      [iterations, &k, run, ns_per_unit](const float* in, std::size_t count, float acc,
                                         const StopSignal& stop) {
        for (std::size_t first = 0; first < count; first += run) {
          if (first != 0) stop.check();
          const std::size_t length = count - first < run ? count - first : run;
          const std::uint64_t slice = slice_repetitions(length, ns_per_unit, iterations);
          if (iterations <= slice) {
            acc = k.leaf_sum(in + first, length, iterations, acc);
            continue;
          }
          float terms[kMaxRun];
          sliced_terms(k.terms, in + first, length, iterations, slice, stop, terms);
          for (std::size_t i = 0; i < length; ++i) acc = acc + terms[i];
        }
        return acc;
      },
      ns_per_unit, interrupt));
}

// Leaves start at -0.0 and pieces combine left + right (parallel_map_sum_leaves), so the
// result is -0.0 for empty data and the first term of a leaf passes unchanged.
float run_heavy_logic(const FloatVec& data, std::uint64_t iterations, HeavyLeaf leaf) {
  return parallel_map_sum_leaves(
      data,
      [iterations, leaf](const float* in, std::size_t count, float acc, const StopSignal&) {
        return leaf(in, count, iterations, acc);
      },
      ns_per_term(iterations, leaf == heavy_leaf() && heavy_leaf_is_vector()));
}

// Each leaf of the pool's division is a node of the halving tree, and the division adds nodes
// as the tree does, so every division gives the tree's sum; a one-term node is -0.0 + term,
// the term itself.
float canonical_heavy_sum(const FloatVec& data, std::uint64_t iterations, HeavyTerms terms,
                          double ns_per_unit, InterruptCheck interrupt) {
  const std::size_t window = run_elements(ns_per_unit);
  const std::uint64_t slice = slice_repetitions(window, ns_per_unit, iterations);
  return parallel_map_sum_leaves(
      data,
      [iterations, terms, window, slice](const float* in, std::size_t count, float acc,
                                         const StopSignal& stop) {
        if (count == 0) return acc;
        return TermTree(in, count, iterations, terms, window, slice, stop).node(0, count);
      },
      ns_per_unit, interrupt);
}

}  // namespace zelto
