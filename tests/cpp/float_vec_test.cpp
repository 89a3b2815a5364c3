// The float vector: allocation limits, growth that keeps elements, and ownership transfer.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <new>
#include <string>

#include "core/fatal.hpp"
#include "core/float_vec.hpp"
#include "test_support.hpp"

namespace zelto {
namespace {

// What a request of n elements through each entry does: "" on success, the fatal message,
// or "bad_alloc".
std::string outcome(const std::function<void()>& request) {
  const testing_support::CapturedStderr reports;
  try {
    request();
  } catch (const FatalError& e) {
    return e.message();
  } catch (const std::bad_alloc&) {
    return "bad_alloc";
  }
  return "";
}

struct LimitCase {
  std::size_t n;
  const char* expected;
};

class FloatVecLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(FloatVecLimit, EveryAllocatingEntryAgrees) {
  const LimitCase c = GetParam();
  EXPECT_EQ(outcome([&] { FloatVec::zeros(c.n); }), c.expected);
  EXPECT_EQ(outcome([&] { FloatVec::uninitialized(c.n); }), c.expected);
  EXPECT_EQ(outcome([&] {
              FloatVec v;
              v.push_back(1.0f);
              v.reserve(c.n);
            }),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FloatVecLimit,
    ::testing::Values(LimitCase{std::size_t{1} << 61, "capacity overflow"},
                      LimitCase{SIZE_MAX, "capacity overflow"},
                      LimitCase{SIZE_MAX / 4 + 1, "capacity overflow"},
                      LimitCase{kMaxFloatVecLen, "bad_alloc"},
                      LimitCase{std::size_t{100'000'000'000'000'000}, "bad_alloc"},
                      LimitCase{1000, ""}));

TEST(FloatVec, FailedReserveKeepsContents) {
  FloatVec v;
  for (int i = 0; i < 5; ++i) v.push_back(static_cast<float>(i));
  EXPECT_THROW(v.reserve(std::size_t{100'000'000'000'000'000}), std::bad_alloc);
  ASSERT_EQ(v.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(v[i], static_cast<float>(i));
  v.push_back(5.0f);
  EXPECT_EQ(v.size(), 6u);
}

TEST(FloatVec, ZerosArePositiveZero) {
  const FloatVec v = FloatVec::zeros(1000);
  ASSERT_EQ(v.size(), 1000u);
  for (float x : v) EXPECT_EQ(std::bit_cast<std::uint32_t>(x), 0u);
  EXPECT_EQ(FloatVec::zeros(0).data(), nullptr);
}

class FloatVecGrowth : public ::testing::TestWithParam<std::size_t> {};

// Appending past any reservation keeps every element bit for bit, including -0.0 and NaN.
TEST_P(FloatVecGrowth, AppendKeepsBits) {
  FloatVec v;
  v.reserve(GetParam());
  const std::size_t n = 10'000;
  for (std::size_t i = 0; i < n; ++i) {
    v.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(0x7fc00000u + i * 2654435761u)));
  }
  ASSERT_EQ(v.size(), n);
  EXPECT_GE(v.capacity(), n);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(v[i]),
              static_cast<std::uint32_t>(0x7fc00000u + i * 2654435761u));
  }
  const FloatVec copy = v.clone();
  ASSERT_EQ(copy.size(), n);
  EXPECT_NE(copy.data(), v.data());
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(copy[i]), std::bit_cast<std::uint32_t>(v[i]));
  }
}

INSTANTIATE_TEST_SUITE_P(Reservations, FloatVecGrowth, ::testing::Values(0, 1, 7, 9999, 20000));

TEST(FloatVec, MoveTransfersOwnership) {
  FloatVec a = FloatVec::zeros(3);
  a[1] = -0.0f;
  const float* storage = a.data();
  FloatVec b = std::move(a);
  EXPECT_EQ(b.data(), storage);
  EXPECT_EQ(b.size(), 3u);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
  FloatVec c = FloatVec::zeros(5);
  c = std::move(b);
  EXPECT_EQ(c.data(), storage);
  EXPECT_TRUE(std::signbit(c[1]));
  FloatVec& same = c;  // self-move through a reference, as generic code meets it
  c = std::move(same);
  EXPECT_EQ(c.data(), storage);
}

}  // namespace
}  // namespace zelto
