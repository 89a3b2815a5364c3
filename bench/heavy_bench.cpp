// Times the heavy leaves on the same pool and division: the plain one-element loop, the
// lockstep library calls and the leaf run_heavy_logic chose (a vector chain where the library
// guard accepts it); and, on one thread, each vector sinf/cosf/tanf against the library's.
//
// Usage: heavy_bench ELEMENTS ITERATIONS REPEATS   (pool sized from RAYON_NUM_THREADS)
//        heavy_bench functions REPEATS
// Prints one JSON object: median milliseconds per leaf, or ns per element per function.
#include <math.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "core/float_vec.hpp"
#include "core/isa.hpp"
#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"
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

int leaves(std::size_t elements, std::uint64_t iterations, int repeats) {
  const zelto::FloatVec data = zelto::bench::random_floats(
      elements, 12345, std::uniform_real_distribution<float>(-10.0f, 10.0f));
  const auto plain = [&] {
    return zelto::run_heavy_logic(data, iterations, zelto::heavy::leaf_sum_plain);
  };
  const auto lockstep = [&] {
    return zelto::run_heavy_logic(data, iterations, zelto::heavy::leaf_sum_lockstep);
  };
  const auto chosen = [&] { return zelto::run_heavy_logic(data, iterations); };

  // Alternating runs, so load from other processes weighs on every leaf alike.
  float sink = 0.0f;
  std::vector<double> plain_ms, lockstep_ms, chosen_ms;
  for (int i = 0; i < repeats; ++i) {
    plain_ms.push_back(time_ms(plain, sink));
    lockstep_ms.push_back(time_ms(lockstep, sink));
    chosen_ms.push_back(time_ms(chosen, sink));
  }
  const char* chosen_name =
      zelto::heavy_leaf_is_vector() ? zelto::isa_name(zelto::chosen_isa()) : "lockstep";
  std::printf(
      "{\"threads\": %zu, \"plain_ms\": %.3f, \"lockstep_ms\": %.3f, \"chosen_ms\": %.3f, "
      "\"chosen\": \"%s\", \"sink\": %g}\n",
      zelto::pool_thread_count(), median(plain_ms), median(lockstep_ms), median(chosen_ms),
      chosen_name, static_cast<double>(sink));
  return 0;
}

// ns per element of the library's sinf, cosf, tanf called one by one and of each vector
// variant the guard accepts, over inputs in [-10, 10] (the chain's first step) and [0.5, 1]
// (the range of its later steps).
int functions(int repeats) {
  constexpr std::size_t kCount = 4096;
  constexpr int kPasses = 50;
  std::vector<float> in(kCount), out(kCount);
  std::string json = "{";
  for (const auto& [range, lo, hi] : {std::tuple{"wide", -10.0f, 10.0f},
                                      std::tuple{"chain", 0.5f, 1.0f}}) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (float& x : in) x = dist(rng);
    using Library = float (*)(float);
    const std::pair<const char*, Library> library[] = {{"sinf", ::sinf}, {"cosf", ::cosf},
                                                       {"tanf", ::tanf}};
    for (std::size_t f = 0; f < 3; ++f) {
      const auto scalar = [&] {
        for (int p = 0; p < kPasses; ++p) {
          for (std::size_t i = 0; i < kCount; ++i) out[i] = library[f].second(in[i]);
        }
      };
      char entry[160];
      std::snprintf(entry, sizeof entry, "%s\"%s %s libm\": %.3f", json.size() > 1 ? ", " : "",
                    range, library[f].first,
                    zelto::bench::median_ms(repeats, scalar) * 1e6 / (kPasses * kCount));
      json += entry;
      for (const zelto::Isa isa : {zelto::Isa::avx2, zelto::Isa::avx512}) {
        if (!zelto::heavy::libm_mirrored(isa)) continue;
        const zelto::TrigKernels& k = zelto::trig_kernels(isa);
        const auto values = f == 0 ? k.sinf_values : f == 1 ? k.cosf_values : k.tanf_values;
        const auto vector = [&] {
          for (int p = 0; p < kPasses; ++p) values(in.data(), out.data(), kCount);
        };
        std::snprintf(entry, sizeof entry, ", \"%s %s %s\": %.3f", range, library[f].first,
                      zelto::isa_name(isa),
                      zelto::bench::median_ms(repeats, vector) * 1e6 / (kPasses * kCount));
        json += entry;
      }
    }
  }
  std::printf("%s}\n", json.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "functions") == 0) return functions(std::atoi(argv[2]));
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s ELEMENTS ITERATIONS REPEATS | functions REPEATS\n", argv[0]);
    return 2;
  }
  return leaves(std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10),
                std::atoi(argv[3]));
}
