// Times the solver without the Python boundary: fit steps and predict on the pool, and every
// instruction set's kernels on one thread against the plain row loops.
//
// Usage: solver_bench N M ITERS REPEATS. Trains on a random N x M matrix; the pool is sized from
// RAYON_NUM_THREADS as in the module. Prints one JSON object of median milliseconds.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "bench_support.hpp"
#include "core/float_vec.hpp"
#include "core/isa.hpp"
#include "parallel/parallel.hpp"
#include "solver/solver.hpp"
#include "solver/solver_kernels.hpp"

using zelto::bench::median_ms;

namespace {

// n standard normal values, the same for a given seed.
zelto::FloatVec random_vec(std::size_t n, unsigned seed) {
  return zelto::bench::random_floats(n, seed, std::normal_distribution<float>(0.0f, 1.0f));
}

// The plain row loops, one row and one operation at a time.
void plain_predict(const float* x, std::size_t n, std::size_t m, const float* w, float b,
                   float* out) {
  for (std::size_t i = 0; i < n; ++i) {
    float p = b;
    for (std::size_t j = 0; j < m; ++j) p = p + w[j] * x[i * m + j];
    out[i] = p;
  }
}

float plain_gradient(const float* x, std::size_t n, std::size_t m, const float* w, float b,
                     const float* y, float* a, float a_b) {
  for (std::size_t i = 0; i < n; ++i) {
    float p = b;
    for (std::size_t j = 0; j < m; ++j) p = p + w[j] * x[i * m + j];
    const float e = p - y[i];
    for (std::size_t j = 0; j < m; ++j) a[j] = e * x[i * m + j] + a[j];
    a_b = a_b + e;
  }
  return a_b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: solver_bench N M ITERS REPEATS\n");
    return 2;
  }
  const std::size_t n = std::strtoull(argv[1], nullptr, 10);
  const std::size_t m = std::strtoull(argv[2], nullptr, 10);
  const std::uint64_t iters = std::strtoull(argv[3], nullptr, 10);
  const int repeats = std::atoi(argv[4]);

  const zelto::Matrix x{random_vec(n * m, 1), n, m};
  const zelto::FloatVec y = random_vec(n, 2);
  zelto::Solver solver{zelto::FloatVec(), 0.0f, 0.01f, iters};
  const double fit_ms = median_ms(repeats, [&] { zelto::fit(solver, x, y); });
  const double predict_ms = median_ms(repeats * 4, [&] { zelto::predict(solver, x); });

  std::string out = "{\"threads\": " + std::to_string(zelto::pool_thread_count()) +
                    ", \"step_ms\": " + std::to_string(fit_ms / static_cast<double>(iters)) +
                    ", \"predict_ms\": " + std::to_string(predict_ms);
  const float* w = solver.weights.data();
  zelto::FloatVec p = zelto::FloatVec::uninitialized(n), a = zelto::FloatVec::zeros(m);
  auto add_timing = [&](const std::string& name, const std::function<void()>& predict_rows,
                        const std::function<void()>& gradient_rows) {
    out += ", \"" + name + "\": {\"predict_ms\": " +
           std::to_string(median_ms(repeats, predict_rows)) +
           ", \"gradient_ms\": " + std::to_string(median_ms(repeats, gradient_rows)) + "}";
  };
  add_timing(
      "plain", [&] { plain_predict(x.data.data(), n, m, w, solver.bias, p.data()); },
      [&] { plain_gradient(x.data.data(), n, m, w, solver.bias, y.data(), a.data(), 0.0f); });
  for (zelto::Isa isa : {zelto::Isa::baseline, zelto::Isa::avx2, zelto::Isa::avx512}) {
    if (!zelto::isa_available(isa)) continue;
    const zelto::SolverKernels& k = zelto::solver_kernels(isa);
    add_timing(
        zelto::isa_name(isa),
        [&] { k.predict_rows(x.data.data(), n, m, w, solver.bias, p.data()); },
        [&] { k.gradient_rows(x.data.data(), n, m, w, solver.bias, y.data(), a.data(), 0.0f); });
  }
  std::printf("%s}\n", out.c_str());
  return 0;
}
