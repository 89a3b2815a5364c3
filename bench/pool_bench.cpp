// Measures the pool's fixed costs: a forced hand-off's round trip (workers spinning, and after
// they went to sleep), the overhead on 10^6 trivial units against a plain loop divided by T,
// the cost a 100-element call pays with the small-work cut-off, and where that cut-off pays.
// Pool size from RAYON_NUM_THREADS like the module. Usage: pool_bench [repeats]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "parallel/parallel.hpp"
#include "per_unit_loops.hpp"

namespace {

constexpr double kForcePool = 1e9;

// Median of repeats runs of body, in nanoseconds; best receives the fastest run, which is
// the figure to read when other processes share the machine.
template <class Body>
double median_ns(int repeats, Body&& body, double* best = nullptr) {
  const std::vector<double> times = zelto::bench::times_ms(repeats, body);
  if (best != nullptr) *best = *std::min_element(times.begin(), times.end()) * 1e6;
  return zelto::bench::median(times) * 1e6;
}

// A unit's worth of dependent float work that the compiler cannot fold away.
float spin_work(float x, int steps) {
  for (int i = 0; i < steps; ++i) x = x * 0.999f + 0.5f;
  return x;
}

// Keeps results alive so no loop is optimised out.
volatile float g_sink;

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 201;
  const std::size_t threads = zelto::pool_thread_count();
  std::printf("pool threads T = %zu\n", threads);

  zelto::FloatVec two = zelto::FloatVec::zeros(2);
  auto two_units = [&] { g_sink = zelto::parallel_map_sum(two, [](float x) { return x; }, kForcePool); };
  for (int i = 0; i < 100; ++i) two_units();
  std::printf("two-unit round trip, back to back: %8.1f us\n", median_ns(repeats * 10, two_units) / 1e3);
  const double after_idle = median_ns(std::max(repeats / 4, 11), [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
  const double idle_and_call = median_ns(std::max(repeats / 4, 11), [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    two_units();
  });
  std::printf("two-unit round trip, after 2 ms idle: %8.1f us\n", (idle_and_call - after_idle) / 1e3);

  constexpr std::size_t kUnits = 1000000;
  zelto::FloatVec big = zelto::FloatVec::zeros(kUnits);
  for (std::size_t i = 0; i < kUnits; ++i) big[i] = static_cast<float>(i % 1000) * 1e-3f;
  auto unit = [](float x) { return spin_work(x, 4); };
  double plain_best = 0.0;
  double pooled_best = 0.0;
  const double plain = median_ns(repeats / 4 + 1, [&] {
    float acc = -0.0f;
    for (std::size_t i = 0; i < kUnits; ++i) acc = acc + unit(big[i]);
    g_sink = acc;
  }, &plain_best);
  const double pooled = median_ns(repeats / 4 + 1, [&] {
    g_sink = zelto::parallel_map_sum(big, unit, kForcePool);
  }, &pooled_best);
  const double ideal = plain / static_cast<double>(threads);
  const double ideal_best = plain_best / static_cast<double>(threads);
  std::printf("10^6 trivial units (median): plain %.0f us, plain/T %.0f us, pool %.0f us, overhead %+.1f%%\n",
              plain / 1e3, ideal / 1e3, pooled / 1e3, (pooled - ideal) / ideal * 100.0);
  std::printf("10^6 trivial units (best):   plain %.0f us, plain/T %.0f us, pool %.0f us, overhead %+.1f%%\n",
              plain_best / 1e3, ideal_best / 1e3, pooled_best / 1e3,
              (pooled_best - ideal_best) / ideal_best * 100.0);

  zelto::FloatVec hundred = zelto::FloatVec::zeros(100);
  auto add_one = [](float x) { return x + 1.0f; };
  const double plain_small = median_ns(repeats * 10, [&] {
    zelto::FloatVec out = zelto::FloatVec::uninitialized(100);
    for (std::size_t i = 0; i < 100; ++i) out[i] = add_one(hundred[i]);
    g_sink = out[7];
  });
  const double cut_off = median_ns(repeats * 10, [&] {
    g_sink = zelto::parallel_map(hundred, add_one, 1.0)[7];
  });
  const double forced = median_ns(repeats * 10, [&] {
    g_sink = zelto::parallel_map(hundred, add_one, kForcePool)[7];
  });
  std::printf("100-element map: plain %.2f us, with cut-off %.2f us (+%.2f), forced through pool %.2f us\n",
              plain_small / 1e3, cut_off / 1e3, (cut_off - plain_small) / 1e3, forced / 1e3);

  std::printf("cut-off sweep (work per call; inline vs pool, back to back):\n");
  for (double work_us : {5.0, 10.0, 20.0, 30.0, 50.0, 100.0, 200.0}) {
    // 256 units whose total cost is about work_us (one step is about 1 ns).
    const int steps = static_cast<int>(work_us * 1000.0 / 256.0);
    zelto::FloatVec units = zelto::FloatVec::zeros(256);
    auto heavy = [steps](float x) { return spin_work(x, steps); };
    const double inline_ns = median_ns(repeats, [&] {
      g_sink = zelto::parallel_map_sum(units, heavy, 0.0);
    });
    const double pool_ns = median_ns(repeats, [&] {
      g_sink = zelto::parallel_map_sum(units, heavy, kForcePool);
    });
    std::printf("  ~%5.0f us: inline %7.1f us, pool %7.1f us\n", work_us, inline_ns / 1e3,
                pool_ns / 1e3);
  }
  return 0;
}
