// The division policy: leaf boundaries without take-overs, and what take-overs may change.
#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <thread>

#include "parallel/division.hpp"
#include "parallel_support.hpp"

namespace zelto {
namespace {

using testing_support::Leaves;
using testing_support::kForcePool;

TEST(NoStealDivision, OneThreadCutsHundredIntoEighthsOf12Or13) {
  const Leaves expected = {{0, 12},  {12, 25}, {25, 37}, {37, 50},
                           {50, 62}, {62, 75}, {75, 87}, {87, 100}};
  EXPECT_EQ(no_steal_leaves(100, 1), expected);
}

TEST(NoStealDivision, TinyRangesEndInSingleUnitsOrOneLeaf) {
  EXPECT_EQ(no_steal_leaves(0, 4), (Leaves{{0, 0}}));
  EXPECT_EQ(no_steal_leaves(1, 4), (Leaves{{0, 1}}));
  EXPECT_EQ(no_steal_leaves(2, 1), (Leaves{{0, 1}, {1, 2}}));
  EXPECT_EQ(no_steal_leaves(3, 1), (Leaves{{0, 1}, {1, 2}, {2, 3}}));
}

struct LeafCountCase {
  std::size_t threads;
  std::size_t leaves;  // 2^(floor(log2 T) + 3)
};

class NoStealLeafCount : public ::testing::TestWithParam<LeafCountCase> {};

INSTANTIATE_TEST_SUITE_P(Threads, NoStealLeafCount,
                         ::testing::Values(LeafCountCase{1, 8}, LeafCountCase{2, 16},
                                           LeafCountCase{3, 16}, LeafCountCase{4, 32},
                                           LeafCountCase{8, 64}));

TEST_P(NoStealLeafCount, LongRangeGivesPowerOfTwoBalancedLeaves) {
  const auto [threads, count] = GetParam();
  for (std::size_t n : {std::size_t{1} << 20, std::size_t{1000003}}) {
    const Leaves leaves = no_steal_leaves(n, threads);
    ASSERT_EQ(leaves.size(), count) << "n=" << n;
    for (const auto& [begin, end] : leaves) {
      EXPECT_GE(end - begin, n / count);
      EXPECT_LE(end - begin, n / count + 1);
    }
  }
}

// Whether leaves (sorted) are exactly the leaves of some halving of [begin, end): each piece is
// a leaf or splits into its first floor(m/2) units and the rest.
bool is_halving(const std::set<std::pair<std::size_t, std::size_t>>& leaves, std::size_t begin,
                std::size_t end, int depth = 0) {
  if (leaves.count({begin, end}) != 0) return true;
  if (end - begin < 2 || depth > 128) return false;
  const std::size_t middle = begin + (end - begin) / 2;
  return is_halving(leaves, begin, middle, depth + 1) && is_halving(leaves, middle, end, depth + 1);
}

class PoolDivision : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Threads, PoolDivision, ::testing::Values(1, 2, 3, 4, 8));

// Take-overs may only cut pieces further: the leaves stay a halving of the range, and every
// leaf of the no-take-over division is a union of actual leaves. With one thread nothing can
// be taken over, so the division is exactly the no-take-over one.
TEST_P(PoolDivision, TakeOversOnlyRefineTheNoStealDivision) {
  const std::size_t threads = GetParam();
  auto pool = testing_support::make_pool(threads);
  for (std::size_t n : {2, 3, 7, 100, 4096, 100000}) {
    for (int repeat = 0; repeat < 5; ++repeat) {
      const Leaves leaves = testing_support::record_leaves(*pool, n, kForcePool);
      const Leaves reference = no_steal_leaves(n, threads);
      if (threads == 1) {
        ASSERT_EQ(leaves, reference) << "n=" << n;
        continue;
      }
      const std::set<std::pair<std::size_t, std::size_t>> actual(leaves.begin(), leaves.end());
      ASSERT_TRUE(is_halving(actual, 0, n)) << "n=" << n;
      for (const auto& [begin, end] : reference) {
        ASSERT_TRUE(is_halving(actual, begin, end)) << "n=" << n << " leaf " << begin;
      }
    }
  }
}

// Small work runs the same no-take-over tree on the calling thread.
TEST_P(PoolDivision, SmallWorkRunsTheSameTreeOnTheCaller) {
  const std::size_t threads = GetParam();
  auto pool = testing_support::make_pool(threads);
  const auto caller = std::this_thread::get_id();
  bool elsewhere = false;
  run_divided_on<int>(
      *pool, 100, 1.0,
      [&](std::size_t, std::size_t) {
        elsewhere = elsewhere || std::this_thread::get_id() != caller;
        return 0;
      },
      [](int, int) { return 0; });
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(testing_support::record_leaves(*pool, 100, 1.0), no_steal_leaves(100, threads));
}

// Loops of independent units run small work as one leaf on the caller, from outside the pool
// and nested inside a worker; work above the cut-off is still divided.
TEST_P(PoolDivision, SmallIndependentWorkIsOneLeaf) {
  auto pool = testing_support::make_pool(GetParam());
  const auto record = [&](std::size_t n, double ns_per_unit) {
    return testing_support::record_leaves(*pool, n, ns_per_unit, Units::independent);
  };
  EXPECT_EQ(record(100, 1.0), (Leaves{{0, 100}}));
  EXPECT_EQ(record(0, 1.0), (Leaves{{0, 0}}));
  EXPECT_GE(record(100, kForcePool).size(), no_steal_leaves(100, GetParam()).size());
  Leaves nested;
  run_divided_on<int>(
      *pool, 2, kForcePool,
      [&](std::size_t begin, std::size_t) {
        if (begin == 0) nested = record(100, 1.0);
        return 0;
      },
      [](int, int) { return 0; });
  EXPECT_EQ(nested, (Leaves{{0, 100}}));
}

// An operation started inside a worker forks on that worker, divided as one submitted from
// outside (its top piece's halves moved), so its sums group as they would from a Python call.
TEST(PoolDivision, NestedOperationDividesAsASubmittedOne) {
  auto pool = testing_support::make_pool(1);
  Leaves inner;
  run_divided_on<int>(
      *pool, 2, kForcePool,
      [&](std::size_t begin, std::size_t) {
        if (begin == 0) inner = testing_support::record_leaves(*pool, 100, kForcePool);
        return 0;
      },
      [](int, int) { return 0; });
  EXPECT_EQ(inner, no_steal_leaves(100, 1));
}

// A pool of 64 workers of which only one may be awake: nothing is ever taken over, so sums
// are divided for T = 64 and independent units for the one worker that runs them.
TEST(PoolDivision, IndependentUnitsDivideForTheWorkersThatCanRun) {
  detail::WorkerPool pool(64, detail::WorkerPool::Lifetime::kScoped, 1);
  ASSERT_EQ(pool.start(), 0);
  EXPECT_EQ(testing_support::record_leaves(pool, 10000, kForcePool), no_steal_leaves(10000, 64));
  EXPECT_EQ(testing_support::record_leaves(pool, 10000, kForcePool, Units::independent),
            no_steal_leaves(10000, 1));
}

// A fold-reduce combines its accumulators in place, in a stack for pieces run whole on one
// thread: the grouping it builds is the by-value one, whether the work runs on the caller, is
// handed out piece by piece or mixes both. One awake worker takes nothing over, so both runs
// see the same division.
TEST(FoldDivision, InPlaceCombinationKeepsTheByValueGrouping) {
  for (const std::size_t threads : {1, 3, 64}) {
    detail::WorkerPool pool(threads, detail::WorkerPool::Lifetime::kScoped, 1);
    ASSERT_EQ(pool.start(), 0);
    for (const double ns_per_unit : {1.0, 300.0, kForcePool}) {
      for (const std::size_t n : {0, 1, 2, 37, 1000}) {
        std::string by_value, in_place;
        // Nested in a worker, so that both operations run on this pool.
        run_divided_on<int>(
            pool, 2, kForcePool,
            [&](std::size_t begin, std::size_t) {
              if (begin != 0) return 0;
              by_value = run_divided_on<std::string>(
                  pool, n, ns_per_unit,
                  [](std::size_t b, std::size_t e) {
                    const std::string units = b == e ? "" : std::to_string(b) + "-" + std::to_string(e);
                    return "(<><>" + units + ")";
                  },
                  [](std::string l, std::string r) { return "(" + l + r + ")"; });
              in_place = parallel_fold_reduce(
                  0, n, [] { return std::string("<>"); },
                  [](std::string acc, std::size_t i) {
                    return acc.size() > 2 ? acc.substr(0, acc.find('-') + 1) + std::to_string(i + 1)
                                          : acc + std::to_string(i) + "-" + std::to_string(i + 1);
                  },
                  [](std::string l, std::string r) { return "(" + l + r + ")"; }, ns_per_unit);
              return 0;
            },
            [](int, int) { return 0; });
        ASSERT_EQ(in_place, by_value) << "T=" << threads << " n=" << n << " ns=" << ns_per_unit;
      }
    }
  }
}

}  // namespace
}  // namespace zelto
