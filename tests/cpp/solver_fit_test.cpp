// Training and prediction through the parallel loops: worked examples, state after failures and
// the fatal errors callers see.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/fatal.hpp"
#include "parallel_support.hpp"
#include "solver/solver.hpp"
#include "solver_reference.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

using testing_support::fatal_message;

FloatVec vec(const std::vector<float>& values) {
  FloatVec v = FloatVec::uninitialized(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) v[i] = values[i];
  return v;
}

std::vector<float> values(const FloatVec& v) { return std::vector<float>(v.begin(), v.end()); }

Matrix matrix(const std::vector<float>& data, std::uint64_t rows, std::uint64_t cols) {
  return Matrix{vec(data), rows, cols};
}

std::string out_of_bounds(std::size_t len) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(len);
}

struct WorkedExample {
  std::uint64_t iters;
  std::vector<float> weights;
  float bias;
  std::vector<float> predictions;
};

class SolverWorkedExamples : public ::testing::TestWithParam<WorkedExample> {};

INSTANTIATE_TEST_SUITE_P(Steps, SolverWorkedExamples,
                         ::testing::Values(WorkedExample{0, {0.0f, 0.0f}, 0.0f, {0.0f, 0.0f}},
                                           WorkedExample{1, {1.75f, 2.5f}, 0.75f, {7.5f, 16.0f}},
                                           WorkedExample{2, {-10.375f, -14.75f}, -4.375f,
                                                         {-44.25f, -94.5f}}));

TEST_P(SolverWorkedExamples, TrainsAndPredictsExactly) {
  const WorkedExample& ex = GetParam();
  Solver s{FloatVec(), 0.0f, 0.5f, ex.iters};
  const Matrix x = matrix({1.0f, 2.0f, 3.0f, 4.0f}, 2, 2);
  fit(s, x, vec({1.0f, 2.0f}));
  EXPECT_EQ(values(s.weights), ex.weights);
  EXPECT_EQ(s.bias, ex.bias);
  EXPECT_EQ(values(predict(s, x)), ex.predictions);
}

TEST(SolverFit, SurplusTargetsAreIgnoredAndRefitStartsFromZero) {
  const Matrix x = matrix({1.0f, 2.0f, 3.0f, 4.0f}, 2, 2);
  Solver s{FloatVec(), 0.0f, 0.5f, 1};
  fit(s, matrix({5.0f, 6.0f, 7.0f}, 1, 3), vec({1.0f}));
  fit(s, x, vec({1.0f, 2.0f, 9.0f, 9.0f, 9.0f, 9.0f, 9.0f}));
  EXPECT_EQ(values(s.weights), (std::vector<float>{1.75f, 2.5f}));
  EXPECT_EQ(s.bias, 0.75f);
}

// Rows 0..n-1 against len(y) targets: every piece from row len(y) on fails, the lowest wins, and
// the solver keeps the zero parameters set before the first step.
TEST(SolverFit, ShortTargetsFailAtTheFirstMissingRowAndLeaveZeros) {
  for (const std::size_t n : {1, 2, 7, 100, 1000}) {
    for (const std::size_t len : {std::size_t{0}, n / 3, n - 1}) {
      std::vector<float> data(n * 3, 1.0f);
      Solver s{vec({4.0f}), 2.0f, 0.5f, 3};
      EXPECT_EQ(fatal_message([&] { fit(s, matrix(data, n, 3), vec(std::vector<float>(len, 1.0f))); }),
                out_of_bounds(len))
          << n << " rows, " << len << " targets";
      EXPECT_EQ(values(s.weights), std::vector<float>(3, 0.0f));
      EXPECT_EQ(s.bias, 0.0f);
      EXPECT_FALSE(std::signbit(s.bias));
    }
  }
}

TEST(SolverFit, NoStepsNeedNoTargets) {
  Solver s{vec({4.0f}), 2.0f, 0.1f, 0};
  fit(s, matrix({1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}, 2, 3), FloatVec());
  EXPECT_EQ(values(s.weights), std::vector<float>(3, 0.0f));
  EXPECT_EQ(s.bias, 0.0f);
}

TEST(SolverFit, MatrixWithoutRowsGivesNanParameters) {
  Solver s{FloatVec(), 0.0f, 0.5f, 1};
  fit(s, matrix({}, 0, 3), vec({1.0f}));
  ASSERT_EQ(s.weights.size(), 3u);
  for (float w : s.weights) EXPECT_TRUE(std::isnan(w));
  EXPECT_TRUE(std::isnan(s.bias));
  for (float p : predict(s, matrix({1.0f, 2.0f, 3.0f, 0.0f, 0.0f, 0.0f}, 2, 3))) {
    EXPECT_TRUE(std::isnan(p));
  }
}

TEST(SolverFit, MatrixWithoutColumnsTrainsTheBiasOnly) {
  Solver s{FloatVec(), 0.0f, 0.25f, 3};
  const std::vector<float> y = {1.0f, 2.0f, 6.0f};
  fit(s, matrix({}, 3, 0), vec(y));
  float b = 0.0f;
  for (int step = 0; step < 3; ++step) {
    float sum = 0.0f;
    for (float yi : y) sum = sum + (b - yi);
    b = b - ((sum / 3.0f) * 0.25f);
  }
  EXPECT_EQ(s.weights.size(), 0u);
  EXPECT_EQ(s.bias, b);
}

// A matrix without rows may claim more columns than a weight vector can hold: the refused
// allocation happens before anything is reset.
TEST(SolverFit, ImpossibleWeightVectorLeavesTheSolverUnchanged) {
  Solver s{vec({4.0f}), 2.0f, 0.5f, 1};
  EXPECT_EQ(fatal_message([&] { fit(s, Matrix{FloatVec(), 0, std::uint64_t{1} << 62}, FloatVec()); }),
            "capacity overflow");
  EXPECT_EQ(values(s.weights), std::vector<float>{4.0f});
  EXPECT_EQ(s.bias, 2.0f);
}

// One step from zero on integer data with power-of-two n and lr is exact, so the result cannot
// depend on how the rows were divided: a lost or repeated row would show.
TEST(SolverFit, LargeExactStepCountsEveryRowOnce) {
  const std::size_t n = 4096, m = 37;
  std::vector<float> data(n * m), y(n);
  std::vector<double> g(m, 0.0);
  double g_b = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    y[i] = static_cast<float>(static_cast<int>(i % 7) - 3);
    for (std::size_t j = 0; j < m; ++j) {
      data[i * m + j] = static_cast<float>(static_cast<int>((i * 31 + j * 17) % 9) - 4);
      g[j] += -y[i] * data[i * m + j];
    }
    g_b += -y[i];
  }
  Solver s{FloatVec(), 0.0f, 0.5f, 1};
  fit(s, matrix(data, n, m), vec(y));
  for (std::size_t j = 0; j < m; ++j) {
    EXPECT_EQ(s.weights[j], static_cast<float>(-(g[j] / n) * 0.5)) << j;
  }
  EXPECT_EQ(s.bias, static_cast<float>(-(g_b / n) * 0.5));
}

// A pool of many more workers than rows cuts the gradient pass into leaves of one or a few
// rows, which are folded from errors predicted once per piece: one step must still give the
// sums of the plain row loop grouped by the pass's division. One awake worker takes nothing
// over, so the reference runs the same division.
TEST(SolverFit, ManyWorkersKeepTheDivisionsSums) {
  for (const std::size_t threads : {1, 5, 300}) {
    detail::WorkerPool pool(threads, detail::WorkerPool::Lifetime::kScoped, 1);
    ASSERT_EQ(pool.start(), 0);
    for (const std::size_t n : {1, 37, 700}) {
      for (const std::size_t m : {3, 16, 40}) {
        const auto data = solver_reference::random_floats(n * m, 7 * n + m, 0.0);
        const auto y = solver_reference::random_floats(n, 11 * n + m, 0.0);
        Solver s{FloatVec(), 0.0f, 0.5f, 1};
        std::pair<std::vector<float>, float> g;
        run_divided_on<int>(
            pool, 2, testing_support::kForcePool,
            [&](std::size_t begin, std::size_t) {
              if (begin != 0) return 0;
              fit(s, matrix(data, n, m), vec(y));
              // The first step's sums at w = 0, b = 0, one row at a time.
              using Acc = std::pair<std::vector<float>, float>;
              g = parallel_fold_reduce(
                  0, n, [m] { return Acc(std::vector<float>(m, 0.0f), 0.0f); },
                  [&](Acc acc, std::size_t i) {
                    const float* row = data.data() + i * m;
                    const std::vector<float> w(m, 0.0f);
                    const float e = solver_reference::predict_row(row, m, w.data(), 0.0f) - y[i];
                    for (std::size_t j = 0; j < m; ++j) acc.first[j] = e * row[j] + acc.first[j];
                    acc.second = acc.second + e;
                    return acc;
                  },
                  [m](Acc l, Acc r) {
                    for (std::size_t j = 0; j < m; ++j) l.first[j] = l.first[j] + r.first[j];
                    l.second = l.second + r.second;
                    return l;
                  },
                  3.0 + 0.15 * static_cast<double>(m));
              return 0;
            },
            [](int, int) { return 0; });
        const float n_f = static_cast<float>(n);
        for (std::size_t j = 0; j < m; ++j) {
          ASSERT_EQ(s.weights[j], 0.0f - ((g.first[j] / n_f) * 0.5f)) << threads << " " << n << "x" << m;
        }
        ASSERT_EQ(s.bias, 0.0f - ((g.second / n_f) * 0.5f));
      }
    }
  }
}

struct PredictFailure {
  std::size_t trained_cols;  // 0: never trained
  std::uint64_t rows, cols;
  std::string message;
};

class SolverPredictFailures : public ::testing::TestWithParam<PredictFailure> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, SolverPredictFailures,
    ::testing::Values(PredictFailure{0, 1, 1, out_of_bounds(0)},
                      PredictFailure{3, 5, 4, out_of_bounds(3)},
                      PredictFailure{3, 1000, 4, out_of_bounds(3)},
                      PredictFailure{0, 0, 0, "chunk_size must not be zero"},
                      PredictFailure{3, 4, 0, "chunk_size must not be zero"}));

TEST_P(SolverPredictFailures, RaisesAndChangesNothing) {
  const PredictFailure& c = GetParam();
  Solver s{FloatVec(), 0.0f, 0.5f, 1};
  if (c.trained_cols > 0) fit(s, matrix(std::vector<float>(c.trained_cols, 1.0f), 1, c.trained_cols), vec({2.0f}));
  const std::vector<float> weights = values(s.weights);
  const Matrix x = matrix(std::vector<float>(c.rows * c.cols, 1.0f), c.rows, c.cols);
  EXPECT_EQ(fatal_message([&] { predict(s, x); }), c.message);
  EXPECT_EQ(values(s.weights), weights);
}

TEST(SolverPredict, UsesOnlyTheLeadingWeightsAndAcceptsEmptyMatrices) {
  const Solver s{vec({2.0f, 3.0f, 100.0f}), 0.5f, 0.0f, 0};
  EXPECT_EQ(values(predict(s, matrix({1.0f, 1.0f, 2.0f, -1.0f}, 2, 2))),
            (std::vector<float>{5.5f, 1.5f}));
  EXPECT_TRUE(predict(s, matrix({}, 0, 4)).empty());
  EXPECT_TRUE(predict(Solver{}, matrix({}, 0, 4)).empty());
}

}  // namespace
}  // namespace zelto

namespace zelto {
namespace {

int g_fit_checks = 0;

void stop_at_third_check() {
  if (++g_fit_checks == 3) throw std::runtime_error("stop");
}

// A fit stopped by its interrupt check holds the parameters of its last completed step: those of
// a fit of fewer steps, exactly.
TEST(SolverFit, InterruptedFitHoldsTheLastCompletedStep) {
  const std::size_t n = 100000, m = 8;
  const auto data = solver_reference::random_floats(n * m, 3, 0.0);
  const auto y = solver_reference::random_floats(n, 4, 0.0);
  const Matrix x = matrix(data, n, m);
  Solver s{FloatVec(), 0.0f, 0.01f, 1000};
  g_fit_checks = 0;
  EXPECT_THROW(fit(s, x, vec(y), stop_at_third_check), std::runtime_error);
  bool matched = false;
  for (std::uint64_t k = 1; k < 1000 && !matched; ++k) {
    Solver shorter{FloatVec(), 0.0f, 0.01f, k};
    fit(shorter, x, vec(y));
    matched = values(shorter.weights) == values(s.weights) && shorter.bias == s.bias;
  }
  EXPECT_TRUE(matched);
}

}  // namespace
}  // namespace zelto
