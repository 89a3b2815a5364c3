// Times the solver without the Python boundary: fit steps and predict on the pool beside what
// bounds them, and every instruction set's kernels on one thread against the plain row loops.
//
// The bounds, on the same pool and the same division of the rows as a fit step:
//   read_ms      a plain streaming read of X (a sum of every float): the bandwidth limit of a
//                pass that reads X once;
//   overhead_ms  the gradient pass with empty leaves: waking the pool, the per-leaf zero
//                accumulators and their combination, everything of a step but its rows.
//
// step_ms and canonical_step_ms are fit steps with the pool's and the canonical grouping.
//
// Usage: solver_bench N M ITERS REPEATS. Trains on a random N x M matrix; the pool is sized from
// RAYON_NUM_THREADS as in the module. Prints one JSON object of median milliseconds.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Sum of n floats in eight independent vector sums: as fast as the data arrives.
float stream_sum(const float* x, std::size_t n) {
  typedef float V4 __attribute__((vector_size(16)));
  V4 acc[8] = {};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 8; ++k) {
      V4 v;
      std::memcpy(&v, x + i + 4 * k, sizeof v);
      acc[k] += v;
    }
  }
  float s = 0.0f;
  for (; i < n; ++i) s += x[i];
  for (const V4& v : acc) s += v[0] + v[1] + v[2] + v[3];
  return s;
}

// One pass over the rows of x divided as a fit step divides them, each leaf summing its rows.
float read_pass(const zelto::Matrix& x) {
  const std::size_t m = x.cols;
  const float* data = x.data.data();
  struct ReadOps {
    const float* data;
    std::size_t m;
    float identity() const { return 0.0f; }
    void leaf(float& acc, std::size_t first, std::size_t end) const {
      acc = 0.0f + stream_sum(data + first * m, (end - first) * m);
    }
    void reduce_into(float& left, float& right) const { left += right; }
  } ops{data, m};
  return zelto::parallel_fold_reduce_leaves(0, x.rows, ops, 3.0 + 0.15 * static_cast<double>(m));
}

// A gradient pass whose leaves fold nothing: its pool, accumulator and combination costs.
float empty_gradient_pass(const zelto::Matrix& x, const zelto::SolverKernels& k) {
  const std::size_t m = x.cols;
  struct EmptyOps {
    const zelto::SolverKernels& k;
    std::size_t m;
    zelto::FloatVec identity() const { return zelto::FloatVec::zeros(m); }
    void leaf(zelto::FloatVec& acc, std::size_t, std::size_t) const {
      std::fill(acc.begin(), acc.end(), 0.0f);
    }
    void reduce_into(zelto::FloatVec& left, zelto::FloatVec& right) const {
      k.add_into(left.data(), right.data(), m);
    }
  } ops{k, m};
  const zelto::FloatVec sum =
      zelto::parallel_fold_reduce_leaves(0, x.rows, ops, 3.0 + 0.15 * static_cast<double>(m));
  return m != 0 ? sum[0] : 0.0f;
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
  zelto::Solver canonical{zelto::FloatVec(), 0.0f, 0.01f, iters, zelto::Grouping::canonical};
  const double canonical_fit_ms = median_ms(repeats, [&] { zelto::fit(canonical, x, y); });
  const double predict_ms = median_ms(repeats * 4, [&] { zelto::predict(solver, x); });

  volatile float sink = 0.0f;
  const double read_ms = median_ms(repeats * 4, [&] { sink = read_pass(x); });
  const double overhead_ms =
      median_ms(repeats * 4, [&] { sink = empty_gradient_pass(x, zelto::solver_kernels()); });

  std::string out = "{\"threads\": " + std::to_string(zelto::pool_thread_count()) +
                    ", \"step_ms\": " + std::to_string(fit_ms / static_cast<double>(iters)) +
                    ", \"canonical_step_ms\": " +
                    std::to_string(canonical_fit_ms / static_cast<double>(iters)) +
                    ", \"predict_ms\": " + std::to_string(predict_ms) +
                    ", \"read_ms\": " + std::to_string(read_ms) +
                    ", \"overhead_ms\": " + std::to_string(overhead_ms);
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
  for (const zelto::Isa isa : zelto::kIsas) {
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
