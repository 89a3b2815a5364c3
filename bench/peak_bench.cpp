// The processor's single-precision multiply-then-add peak on one core, with register operands
// only: the ceiling against which the matmul kernel is judged. The kernel may not fuse the
// two operations, so the loop here does not either: every step is one multiply and one
// separately rounded add per register, on 12 independent chains, enough to cover the 3 + 3
// cycles of latency with two instructions issued per cycle.
//
// Usage: peak_bench. Prints one JSON object: GFLOPS per core for each register width the
// processor runs (2 flops per lane per step), the best of several runs.
#include <chrono>
#include <cstdio>
#include <string>

#include "core/isa.hpp"

namespace {

constexpr int kChains = 12;
constexpr long kSteps = 20'000'000;

// Defines name(): the best GFLOPS of a few runs of kSteps steps over kChains registers of bytes
// bytes, compiled for the instruction set isa_flag.
#define ZELTO_PEAK_LOOP(name, bytes, isa_flag)                                             \
  __attribute__((target(isa_flag), noinline)) double name() {                             \
    typedef float V __attribute__((vector_size(bytes)));                                 \
    constexpr int lanes = bytes / 4;                                                     \
    double best = 0.0;                                                                   \
    for (int run = 0; run < 10; ++run) {                                                 \
      V acc[kChains];                                                                    \
      for (int c = 0; c < kChains; ++c) acc[c] = V{} + 1.0f + 0.001f * c;                 \
      V scale = V{} + 0.9999f, shift = V{} + 1e-4f;                                      \
      /* Hidden from the compiler so that it cannot precompute any step. */              \
      asm volatile("" : "+v"(scale), "+v"(shift));                                       \
      const auto start = std::chrono::steady_clock::now();                               \
      for (long s = 0; s < kSteps; ++s) {                                                \
        _Pragma("GCC unroll 12") for (int c = 0; c < kChains; ++c) {                     \
          acc[c] = acc[c] * scale + shift;                                               \
        }                                                                                \
      }                                                                                  \
      const double seconds =                                                             \
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); \
      for (int c = 0; c < kChains; ++c) asm volatile("" : : "v"(acc[c]));                \
      const double gflops = 2.0 * lanes * kChains * kSteps / seconds * 1e-9;             \
      if (gflops > best) best = gflops;                                                  \
    }                                                                                    \
    return best;                                                                         \
  }

ZELTO_PEAK_LOOP(peak_sse, 16, "sse2")
ZELTO_PEAK_LOOP(peak_avx2, 32, "avx2")
ZELTO_PEAK_LOOP(peak_avx512, 64, "avx512f")

// The loop of each kernel variant's register width, by the variant's name.
struct Peak {
  const char* isa;
  double (*gflops)();
};
constexpr Peak kPeaks[] = {{"baseline", peak_sse}, {"avx2", peak_avx2}, {"avx512", peak_avx512}};

}  // namespace

int main() {
  std::string json = "{";
  const auto report = [&](const char* name, double gflops) {
    char entry[96];
    std::snprintf(entry, sizeof entry, "%s\"%s_gflops\": %.1f", json.size() > 1 ? ", " : "",
                  name, gflops);
    json += entry;
  };
  for (const zelto::Isa isa : zelto::kIsas) {
    if (!zelto::isa_available(isa)) continue;
    for (const Peak& peak : kPeaks) {
      if (std::string(peak.isa) == zelto::isa_name(isa)) report(peak.isa, peak.gflops());
    }
  }
  std::printf("%s}\n", json.c_str());
  return 0;
}
