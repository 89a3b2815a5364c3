// Timing and input helpers shared by the C++ benches.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <random>
#include <vector>

#include "core/float_vec.hpp"

namespace zelto::bench {

using Clock = std::chrono::steady_clock;

// Milliseconds elapsed since start.
inline double elapsed_ms(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The middle of the sorted times: robust against a run slowed by another process.
inline double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Wall times of repeats calls of run, in milliseconds, in the order they ran.
template <class Run>
std::vector<double> times_ms(int repeats, Run&& run) {
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    run();
    times.push_back(elapsed_ms(start));
  }
  return times;
}

// Median wall time of repeats calls of run after one warm-up call, in milliseconds.
template <class Run>
double median_ms(int repeats, Run&& run) {
  run();
  return median(times_ms(repeats, run));
}

// n values drawn from dist by a generator seeded with seed: the same inputs on every run.
template <class Distribution>
FloatVec random_floats(std::size_t n, unsigned seed, Distribution dist) {
  std::mt19937 rng(seed);
  FloatVec v = FloatVec::uninitialized(n);
  for (float& x : v) x = dist(rng);
  return v;
}

}  // namespace zelto::bench
