// Times the matmul kernels of every available instruction set, divided over the pool as the
// module divides them, against the plain i-p-j loop (compiled for baseline x86-64) on the same
// pool with one row of C per unit.
//
// Usage: matrix_bench R K N REPEATS. Multiplies an R x K by a K x N matrix; the pool is sized
// from RAYON_NUM_THREADS as in the module. Prints one JSON object: the thread count and, per
// variant, the median milliseconds and GFLOPS (2 R K N operations per product).
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "bench_support.hpp"
#include "core/float_vec.hpp"
#include "core/isa.hpp"
#include "matrix/matmul.hpp"
#include "matrix/matrix_kernels.hpp"
#include "parallel/parallel.hpp"
#include "per_unit_loops.hpp"

using zelto::bench::median_ms;

namespace {

// count uniform values in [-1, 1), the same for a given seed.
zelto::FloatVec random_matrix(std::size_t count, unsigned seed) {
  return zelto::bench::random_floats(count, seed,
                                     std::uniform_real_distribution<float>(-1.0f, 1.0f));
}

// One row of C by the plain i-p-j loop, in a function of its own with its loops aligned to
// 64 bytes, so that the baseline does not depend on where the linker happens to place it
// (bench/matmul.md).
__attribute__((noinline, optimize("align-loops=64"))) void plain_row(
    const float* a_row, const float* b, float* row, std::size_t k, std::size_t n) {
  for (std::size_t p = 0; p < k; ++p) {
    const float x = a_row[p];
    const float* brow = b + p * n;
    for (std::size_t j = 0; j < n; ++j) row[j] = x * brow[j] + row[j];
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s R K N REPEATS\n", argv[0]);
    return 2;
  }
  const std::size_t r = std::strtoull(argv[1], nullptr, 10);
  const std::size_t k = std::strtoull(argv[2], nullptr, 10);
  const std::size_t n = std::strtoull(argv[3], nullptr, 10);
  const int repeats = std::atoi(argv[4]);
  const zelto::FloatVec a = random_matrix(r * k, 1), b = random_matrix(k * n, 2);
  const double ns_per_row = 0.03 * static_cast<double>(k) * static_cast<double>(n);
  const double flops =
      2.0 * static_cast<double>(r) * static_cast<double>(k) * static_cast<double>(n);

  std::string json = "{\"threads\": " + std::to_string(zelto::pool_thread_count());
  const auto report = [&](const char* name, double ms) {
    char entry[160];
    std::snprintf(entry, sizeof entry, ", \"%s_ms\": %.4f, \"%s_gflops\": %.1f", name, ms, name,
                  flops / ms / 1e6);
    json += entry;
  };

  report("plain", median_ms(repeats, [&] {
           zelto::FloatVec c = zelto::FloatVec::zeros(r * n);
           zelto::parallel_for_each_chunk_mut(
               c, n,
               [&](std::size_t i, float* row, std::size_t) {
                 plain_row(a.data() + i * k, b.data(), row, k, n);
               },
               ns_per_row);
         }));
  for (const zelto::Isa isa : zelto::kIsas) {
    if (!zelto::isa_available(isa)) continue;
    report(zelto::isa_name(isa), median_ms(repeats, [&] {
             // As in the module: the kernel starts every sum itself, so C is not zero-filled.
             zelto::FloatVec c = zelto::FloatVec::uninitialized(r * n);
             const zelto::MatrixKernels& kernels = zelto::matrix_kernels(isa);
             zelto::matmul_into(kernels, kernels.matmul_blocking(), a.data(), b.data(), c.data(),
                                r, k, n);
           }));
  }
  std::printf("%s}\n", json.c_str());
  return 0;
}
