// Reuse of released large blocks: which sizes are kept and handed out again, that a reused
// block never reaches two owners, and that zeros() still means zeros on a reused block.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <thread>
#include <vector>

#include "core/block_cache.hpp"
#include "core/float_vec.hpp"
#include "core/mapped_block.hpp"

namespace zelto {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;


struct TakeCase {
  std::size_t cached;     // size of the released block
  std::size_t requested;  // size asked for next
  bool reused;
};

class BlockCacheTake : public ::testing::TestWithParam<TakeCase> {};

// A block is handed out again only for a request of between half its size and its size; any
// other request frees it, leaving the slot empty.
TEST_P(BlockCacheTake, ReusesOnlyFittingSizes) {
  const TakeCase c = GetParam();
  void* block = detail::map_block(c.cached);
  ASSERT_TRUE(detail::cache_block(block, c.cached));
  std::size_t bytes = 0;
  void* taken = detail::take_cached_block(c.requested, &bytes);
  EXPECT_EQ(taken, c.reused ? block : nullptr);
  if (taken != nullptr) {
    EXPECT_EQ(bytes, c.cached);
    detail::unmap_block(taken, bytes);
  }
  EXPECT_EQ(detail::take_cached_block(c.requested, &bytes), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockCacheTake,
    ::testing::Values(TakeCase{8 * kMiB, 8 * kMiB, true}, TakeCase{8 * kMiB, 4 * kMiB, true},
                      TakeCase{8 * kMiB, 4 * kMiB - 64, false},
                      TakeCase{8 * kMiB, 8 * kMiB + 64, false},
                      TakeCase{64 * kMiB, 40 * kMiB, true}));

// Blocks below the mapped size class or above the retention limit are never kept.
TEST(BlockCache, RefusesSizesOutsideTheCachedRange) {
  EXPECT_FALSE(detail::cache_block(nullptr, detail::kCachedBlockMin - 64));
  EXPECT_FALSE(detail::cache_block(nullptr, detail::kCachedBlockMax + 2 * kMiB));
}

// A released big vector's block comes back for the next vector of its size, and zeros()
// clears what the previous owner left in it.
TEST(BlockCache, ReusedBlockIsZeroedByZeros) {
  const std::size_t n = 3'000'000;  // 12 MB
  const float* storage = nullptr;
  {
    FloatVec v = FloatVec::uninitialized(n);
    for (float& x : v) x = -1.5f;
    storage = v.data();
  }
  const FloatVec z = FloatVec::zeros(n);
  EXPECT_EQ(z.data(), storage);
  for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(std::bit_cast<std::uint32_t>(z[i]), 0u) << i;
}

// A vector that reused a larger block gives that whole block back: the next vector of the
// block's own size gets it again.
TEST(BlockCache, ReusedBlockIsReleasedAtItsOwnSize) {
  const float* storage = nullptr;
  { storage = FloatVec::uninitialized(4 * kMiB).data(); }  // a 16 MiB block, now cached
  {
    const FloatVec smaller = FloatVec::uninitialized(9 * kMiB / 4);  // 9 MiB reuses it
    EXPECT_EQ(smaller.data(), storage);
  }
  EXPECT_EQ(FloatVec::uninitialized(4 * kMiB).data(), storage);
}

// Threads allocating, filling, checking and releasing vectors of cacheable sizes: a block
// handed to two owners at once would show the other owner's values.
TEST(BlockCache, ConcurrentOwnersNeverShareABlock) {
  constexpr int kThreads = 4;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int round = 0; round < 40; ++round) {
        const std::size_t n = (std::size_t{1} << 20) * (1 + (t + round) % 3) + 17;
        FloatVec v = FloatVec::uninitialized(n);
        const float mark = static_cast<float>(t * 1000 + round);
        for (std::size_t i = 0; i < n; i += 1024) v[i] = mark;
        std::this_thread::yield();
        for (std::size_t i = 0; i < n; i += 1024) failures[t] += v[i] != mark;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace zelto
