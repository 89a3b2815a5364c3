// The lockstep heavy kernel against the plain one-element loop, bit for bit, and the sum's
// sign and zero conventions.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "core/float_vec.hpp"
#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "heavy/lockstep.hpp"
#include "test_support.hpp"

namespace {

using zelto::FloatVec;

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Same bits, or both NaN (x86 may pick either NaN operand's payload).
void expect_same(float expected, float actual) {
  EXPECT_TRUE(zelto::testing_support::same_bits(actual, expected)) << expected << " vs " << actual;
}

// Awkward values in every third place, random floats over many binades between them; seeded so
// failures repeat. Without non_finite the terms stay finite, so a sum keeps every term's bits in
// play instead of collapsing to NaN.
std::vector<float> inputs(std::size_t n, unsigned seed, bool non_finite) {
  std::vector<float> specials = {
      -0.0f,   0.0f,   std::numeric_limits<float>::denorm_min(), -1.0e-40f, 1.0f, -1.5707964f,
      3.4028235e38f,   1.0e30f, -7.25f, 1.0e-20f,
  };
  if (non_finite) {
    specials.insert(specials.end(), {std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(),
                                     std::numeric_limits<float>::quiet_NaN(),
                                     std::bit_cast<float>(0xFFC01234u)});  // negative, payload
  }
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> exponent(-30.0f, 30.0f);
  std::vector<float> out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 3 == 0) {
      out.push_back(specials[(i / 3 + seed) % specials.size()]);
    } else {
      const float magnitude = std::exp2(exponent(rng));
      out.push_back(rng() % 2 ? magnitude : -magnitude);
    }
  }
  return out;
}

class LockstepMatchesPlain
    : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint64_t>> {};

// Whole leaves: the group boundaries, the tail and the order of the terms in the sum, from
// several starting accumulators.
TEST_P(LockstepMatchesPlain, SameBitsAsOneElementLoop) {
  const auto [length, iterations] = GetParam();
  const std::vector<float> data = inputs(length, static_cast<unsigned>(length), false);
  for (const float start : {-0.0f, 0.0f, 2.5f, -1.0e10f}) {
    expect_same(zelto::heavy::leaf_sum_plain(data.data(), length, iterations, start),
                zelto::heavy::leaf_sum_lockstep(data.data(), length, iterations, start));
  }
}

// Every lane of every group width gives the one-element chain's bits, NaN and infinities
// included; checked term by term, since a one-ulp slip would vanish in a rounded sum.
TEST_P(LockstepMatchesPlain, EveryLaneMatchesOneElementChain) {
  const auto [length, iterations] = GetParam();
  if (length > 40) GTEST_SKIP() << "lanes are covered by the short lengths";
  const std::vector<float> data = inputs(length, static_cast<unsigned>(length) + 7, true);
  for (std::size_t first = 0; first < length; ++first) {
    const std::size_t width = std::min(zelto::heavy::kLockstep, length - first);
    float lanes[zelto::heavy::kLockstep];
    std::copy_n(data.begin() + first, width, lanes);
    zelto::heavy::advance_together(lanes, width, iterations);
    for (std::size_t k = 0; k < width; ++k) {
      float x = data[first + k];
      for (std::uint64_t r = 0; r < iterations; ++r) x = zelto::heavy::chain_step(x);
      expect_same(x, lanes[k]);
    }
  }
}

std::vector<std::size_t> lengths() {
  std::vector<std::size_t> out;
  for (std::size_t n = 0; n <= 40; ++n) out.push_back(n);
  out.push_back(1000);
  out.push_back(4099);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Lengths, LockstepMatchesPlain,
                         ::testing::Combine(::testing::ValuesIn(lengths()),
                                            ::testing::Values(0u, 1u, 2u, 7u)));

// The chain masks the sign: NaN (from NaN or an infinity) and negative inputs leave positive.
TEST(HeavyChain, ClearsSignOfEveryResult) {
  for (const float x : {std::bit_cast<float>(0xFFC01234u), -std::numeric_limits<float>::infinity(),
                        -0.5f, -1.0e-40f, -0.0f}) {
    const float term = zelto::heavy::leaf_sum_lockstep(&x, 1, 3, -0.0f);
    EXPECT_EQ(bits(term) >> 31, 0u) << x;
    EXPECT_EQ(bits(zelto::heavy::chain_step(x)) >> 31, 0u) << x;
  }
}

// One repetition is |tanf(cosf(sinf(x)))| of the C library, evaluated here at run time.
TEST(HeavyChain, OneRepetitionIsTheLibraryChain) {
  volatile float seed = 0.7f;
  const float x = seed;
  const float expected = std::fabs(::tanf(::cosf(::sinf(x))));
  expect_same(expected, zelto::heavy::leaf_sum_lockstep(&x, 1, 1, -0.0f));
}

class RunHeavyLogic : public ::testing::TestWithParam<std::uint64_t> {};

// With repetitions every finite input gives a term in [tan(cos 1), tan 1].
TEST_P(RunHeavyLogic, FiniteDataStaysWithinTermBounds) {
  const std::vector<float> values = inputs(3000, 3, true);
  FloatVec data;
  std::size_t finite = 0;
  for (const float v : values) {
    if (!std::isfinite(v)) continue;
    data.push_back(v);
    ++finite;
  }
  const float sum = zelto::run_heavy_logic(data, GetParam());
  EXPECT_GT(sum, 0.5998f * static_cast<float>(finite));
  EXPECT_LT(sum, 1.5575f * static_cast<float>(finite));
}

INSTANTIATE_TEST_SUITE_P(Iterations, RunHeavyLogic, ::testing::Values(1u, 5u));

// No terms: the sum keeps its -0.0 start, whatever the repetition count.
TEST(RunHeavyLogicValues, EmptyDataIsNegativeZero) {
  for (const std::uint64_t iterations : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
    EXPECT_EQ(bits(zelto::run_heavy_logic(FloatVec(), iterations)), 0x80000000u);
  }
}

// Exactly representable inputs and partial sums: every grouping of the sum gives the same value.
TEST(RunHeavyLogicValues, ZeroRepetitionsSumTheInputs) {
  FloatVec data;
  float expected = -0.0f;
  for (int i = 0; i < 1000; ++i) {
    data.push_back(static_cast<float>(i % 17) * 0.25f);
    expected += static_cast<float>(i % 17) * 0.25f;
  }
  EXPECT_EQ(zelto::run_heavy_logic(data, 0), expected);
}

// A single -0.0 or +0.0 with no repetition keeps its sign; an infinity gives +inf, then NaN.
TEST(RunHeavyLogicValues, ZerosAndInfinity) {
  FloatVec negative;
  negative.push_back(-0.0f);
  EXPECT_EQ(bits(zelto::run_heavy_logic(negative, 0)), 0x80000000u);
  FloatVec positive;
  positive.push_back(0.0f);
  EXPECT_EQ(bits(zelto::run_heavy_logic(positive, 0)), 0u);
  FloatVec infinite;
  infinite.push_back(std::numeric_limits<float>::infinity());
  infinite.push_back(1.0f);
  EXPECT_EQ(zelto::run_heavy_logic(infinite, 0), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(zelto::run_heavy_logic(infinite, 1)));
}

}  // namespace
