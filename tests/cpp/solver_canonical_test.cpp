// The canonical grouping of the gradient sums: the halving tree's bits for every kernel
// variant and pool size, and the pool's grouping repeating run after run.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "parallel_support.hpp"
#include "solver/gradient.hpp"
#include "solver_reference.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using testing_support::first_difference;
using testing_support::same_bits;

FloatVec vec(const std::vector<float>& values) {
  FloatVec v = FloatVec::uninitialized(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) v[i] = values[i];
  return v;
}

// Runs body on a worker of pool, so that the operations it starts divide for that pool.
template <class Body>
void on_pool(detail::WorkerPool& pool, Body&& body) {
  run_divided_on<int>(
      pool, 1, testing_support::kForcePool,
      [&](std::size_t, std::size_t) {
        body();
        return 0;
      },
      [](int, int) { return 0; });
}

// Sizes around the kernel's trees (up to 16 rows), the prediction windows and the pool's
// leaves; columns around every vector width; a share of special values in every input.
TEST(CanonicalGradient, IsTheHalvingTreeForEveryVariantAndPool) {
  const std::size_t kRows[] = {0, 1, 2, 3, 5, 16, 17, 33, 1000, 4099};
  const std::size_t kCols[] = {0, 1, 3, 16, 17, 40};
  for (const std::size_t threads : {1, 2, 3, 7, 64}) {
    auto pool = testing_support::make_pool(threads);
    std::uint32_t seed = 1;
    for (const std::size_t n : kRows) {
      for (const std::size_t m : kCols) {
        const auto x = solver_reference::random_floats(n * m, seed++, 0.01);
        const auto y = solver_reference::random_floats(n, seed++, 0.01);
        const auto w = solver_reference::random_floats(m, seed++, 0.01);
        const float b = 0.25f;
        std::vector<float> want(m, 0.0f);
        const float want_b =
            n == 0 ? 0.0f
                   : solver_reference::tree_gradient(x.data(), 0, n, m, w.data(), b, y.data(),
                                                     want.data());
        const Matrix xm{vec(x), n, m};
        const FloatVec yv = vec(y), wv = vec(w);
        for (const Isa isa : kIsas) {
          if (!isa_available(isa)) continue;
          GradientSums got;
          on_pool(*pool, [&] {
            got = gradient_pass(solver_kernels(isa), xm, yv, wv, b, Grouping::canonical);
          });
          ASSERT_EQ(first_difference(std::vector<float>(got.g.begin(), got.g.end()), want), -1)
              << isa_name(isa) << " T=" << threads << " " << n << "x" << m;
          ASSERT_TRUE(same_bits(got.g_b, want_b)) << isa_name(isa) << " T=" << threads;
        }
      }
    }
  }
}

// The pool's grouping follows the division without take-overs, whatever the workers do: many
// repetitions on a pool whose workers all wake give one result.
TEST(PoolGradient, RepeatsForOnePoolSize) {
  const std::size_t n = 5000, m = 24;
  const auto x = solver_reference::random_floats(n * m, 5, 0.0);
  const auto y = solver_reference::random_floats(n, 6, 0.0);
  const Matrix xm{vec(x), n, m};
  const FloatVec yv = vec(y), wv = vec(std::vector<float>(m, 0.125f));
  for (const std::size_t threads : {2, 3, 7}) {
    auto pool = testing_support::make_pool(threads);
    std::vector<float> first;
    for (int run = 0; run < 30; ++run) {
      GradientSums got;
      on_pool(*pool, [&] {
        got = gradient_pass(solver_kernels(), xm, yv, wv, 0.5f, Grouping::pool);
      });
      std::vector<float> g(got.g.begin(), got.g.end());
      g.push_back(got.g_b);
      if (run == 0) first = g;
      ASSERT_EQ(first_difference(g, first), -1) << "T=" << threads << " run " << run;
    }
  }
}

}  // namespace
}  // namespace zelto
