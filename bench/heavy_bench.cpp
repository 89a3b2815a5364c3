// Times the lockstep heavy kernel against the plain one-element loop on the same pool.
//
// Usage: heavy_bench ELEMENTS ITERATIONS REPEATS. The pool is sized from RAYON_NUM_THREADS as in
// the module. Prints one JSON object: the thread count and the median milliseconds of each.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "bench_support.hpp"
#include "core/float_vec.hpp"
#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "parallel/parallel.hpp"

using zelto::bench::median;

namespace {

// Wall time of one call of run, in milliseconds; `sink` keeps the result alive.
template <class Run>
double time_ms(Run run, float& sink) {
  const auto start = zelto::bench::Clock::now();
  sink = sink + run();
  return zelto::bench::elapsed_ms(start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ELEMENTS ITERATIONS REPEATS\n", argv[0]);
    return 2;
  }
  const std::size_t elements = std::strtoull(argv[1], nullptr, 10);
  const std::uint64_t iterations = std::strtoull(argv[2], nullptr, 10);
  const int repeats = std::atoi(argv[3]);

  const zelto::FloatVec data = zelto::bench::random_floats(
      elements, 12345, std::uniform_real_distribution<float>(-10.0f, 10.0f));

  // The plain loop on the same pool and division: one element's whole chain, then its term.
  const double ns_per_unit = 50.0 * static_cast<double>(iterations);
  const auto plain = [&] {
    return zelto::parallel_map_sum(
        data,
        [iterations](float x) {
          for (std::uint64_t r = 0; r < iterations; ++r) x = zelto::heavy::chain_step(x);
          return x;
        },
        ns_per_unit);
  };
  const auto lockstep = [&] { return zelto::run_heavy_logic(data, iterations); };

  // Alternating runs, so load from other processes weighs on both sides alike.
  float sink = 0.0f;
  std::vector<double> plain_ms;
  std::vector<double> lockstep_ms;
  for (int i = 0; i < repeats; ++i) {
    plain_ms.push_back(time_ms(plain, sink));
    lockstep_ms.push_back(time_ms(lockstep, sink));
  }
  std::printf("{\"threads\": %zu, \"plain_ms\": %.3f, \"lockstep_ms\": %.3f, \"sink\": %g}\n",
              zelto::pool_thread_count(), median(plain_ms), median(lockstep_ms),
              static_cast<double>(sink));
  return 0;
}
