// The kernels' floating-point environment: the guard sets it and puts back exactly what the
// thread had, and the workers of a pool use it whatever their creator had set.
#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cstdint>

#include "core/float_environment.hpp"
#include "parallel/parallel.hpp"
#include "parallel_support.hpp"

namespace zelto {
namespace {

volatile float g_one = 1.0f;
volatile float g_tiny = 0x1p-30f;
volatile float g_subnormal = 0x1p-149f;

// 1 + 2^-30 (1.0 when rounding to nearest) and the smallest subnormal times 1 (itself unless
// flushed), as bits.
std::uint64_t probe() {
  const float sum = g_one + g_tiny;
  const float product = g_subnormal * g_one;
  return std::uint64_t{std::bit_cast<std::uint32_t>(sum)} << 32 |
         std::bit_cast<std::uint32_t>(product);
}
constexpr std::uint64_t kNearestProbe = 0x3F800000'00000001u;

// Rounding upward, flushing subnormals and a sticky flag raised: what a process may have set.
detail::FloatState foreign_state(detail::FloatState state) {
#if defined(__x86_64__)
  return (state & ~0x6000u) | 0x4000u | 0x8040u | 0x20u;
#elif defined(__aarch64__)
  return detail::FloatState{(state.fpcr & ~(0x3u << 22)) | (0x1u << 22) | (0x1u << 24),
                            state.fpsr | 0x10u};
#else
  return FE_UPWARD;
#endif
}

// Runs body with the thread in foreign_state, then puts the thread's state back.
template <class Body>
void in_foreign_state(Body&& body) {
  const detail::FloatState original = detail::read_float_state();
  detail::write_float_state(foreign_state(original));
  body();
  detail::write_float_state(original);
}

TEST(KernelFloatEnvironment, HoldsNearestAndRestoresExactly) {
  in_foreign_state([] {
    ASSERT_NE(probe(), kNearestProbe);  // the foreign state is in force
    const detail::FloatState foreign = detail::read_float_state();  // with the flags it raised
    {
      const KernelFloatEnvironment environment;
      EXPECT_EQ(probe(), kNearestProbe);
    }
    EXPECT_TRUE(detail::read_float_state() == foreign);
  });
  // Already the kernels' environment: flags the work raises are cleared on the way out.
  const detail::FloatState before = detail::read_float_state();
  {
    const KernelFloatEnvironment environment;
    EXPECT_EQ(probe(), kNearestProbe);
  }
  EXPECT_TRUE(detail::read_float_state() == before);
}

TEST(KernelFloatEnvironment, WorkersOfAPoolMadeInAForeignStateUseNearest) {
  std::unique_ptr<detail::WorkerPool> pool;
  in_foreign_state([&] { pool = testing_support::make_pool(2); });
  const std::uint64_t probes = run_divided_on<std::uint64_t>(
      *pool, 64, testing_support::kForcePool, [](std::size_t, std::size_t) { return probe(); },
      [](std::uint64_t left, std::uint64_t right) { return left == right ? left : 0; });
  EXPECT_EQ(probes, kNearestProbe);
}

}  // namespace
}  // namespace zelto
