// Every instruction-set variant of the element conversions against a reference that goes
// through a double the way a Python number does, on random bit patterns (every NaN, infinity,
// subnormal and integer range shows up) in contiguous, strided and reversed layouts.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/element_cast.hpp"

namespace zelto {
namespace {

// The element's value as a double (volatile, so the widening and the rounding to float32 are
// done by the processor, which quiets signalling NaNs), then rounded to float32.
float reference(ElementType type, const std::byte* p) {
  auto read = [p](auto x) {
    std::memcpy(&x, p, sizeof x);
    return x;
  };
  volatile double wide = 0.0;
  switch (type) {
    case ElementType::boolean: wide = read(std::uint8_t{}) != 0 ? 1.0 : 0.0; break;
    case ElementType::i8: wide = static_cast<double>(read(std::int8_t{})); break;
    case ElementType::i16: wide = static_cast<double>(read(std::int16_t{})); break;
    case ElementType::i32: wide = static_cast<double>(read(std::int32_t{})); break;
    case ElementType::i64: wide = static_cast<double>(read(std::int64_t{})); break;
    case ElementType::u8: wide = static_cast<double>(read(std::uint8_t{})); break;
    case ElementType::u16: wide = static_cast<double>(read(std::uint16_t{})); break;
    case ElementType::u32: wide = static_cast<double>(read(std::uint32_t{})); break;
    case ElementType::u64: wide = static_cast<double>(read(std::uint64_t{})); break;
    case ElementType::f32: wide = static_cast<double>(read(float{})); break;
    case ElementType::f64: wide = read(double{}); break;
    case ElementType::f16: {
      const std::uint16_t h = read(std::uint16_t{});
      const int exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
      const double sign = (h & 0x8000) != 0 ? -1.0 : 1.0;
      if (exponent == 0x1f && mantissa != 0) {  // NaN: sign, quiet bit and payload on top
        return std::bit_cast<float>((std::uint32_t{h & 0x8000u} << 16) | 0x7fc00000u |
                                    (std::uint32_t(mantissa) << 13));
      }
      wide = exponent == 0x1f ? sign * INFINITY
             : exponent == 0  ? sign * std::ldexp(mantissa, -24)
                              : sign * std::ldexp(mantissa + 1024, exponent - 25);
      break;
    }
  }
  return static_cast<float>(wide);
}

// Random bytes with some elements replaced by values at the edges of the integer and float
// formats: 2^24 + 1, 2^53 + 1, integers whose rounding to a double makes a tie for float32
// (2^60 + 2^36 + 1), the largest integers, signalling and quiet NaNs.
std::vector<std::byte> random_elements(ElementType type, std::size_t count, std::uint32_t seed) {
  const std::size_t size = element_size(type);
  std::vector<std::byte> bytes(count * size);
  std::mt19937_64 gen(seed);
  for (auto& b : bytes) b = static_cast<std::byte>(gen());
  const std::uint64_t edges[] = {0,
                                 1,
                                 (1ull << 24) + 1,
                                 (1ull << 53) + 1,
                                 (1ull << 60) + (1ull << 36) + 1,
                                 (1ull << 63) + (1ull << 39) + 1,
                                 ~((1ull << 60) + (1ull << 36)),
                                 ~0ull,
                                 0x7f800001u,
                                 0xff800001u,
                                 0x7ff0000000000001ull,
                                 0x7c01,
                                 0x0001,
                                 0x8000};
  for (std::size_t i = 0; i < count; i += 3) {
    const std::uint64_t edge = edges[gen() % std::size(edges)];
    std::memcpy(&bytes[i * size], &edge, size);  // the low bytes (little-endian host)
  }
  return bytes;
}

class ElementCasts : public ::testing::TestWithParam<Isa> {
 protected:
  void SetUp() override {
    if (!isa_available(GetParam())) {
      GTEST_SKIP() << "This processor cannot run the " << isa_name(GetParam()) << " kernels.";
    }
  }
};

INSTANTIATE_TEST_SUITE_P(AllIsas, ElementCasts, ::testing::ValuesIn(kIsas),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

TEST_P(ElementCasts, EveryTypeAndLayoutMatchesTheReference) {
  const zelto::ElementCast cast = element_cast(GetParam());
  for (int t = 0; t < kElementTypeCount; ++t) {
    const auto type = static_cast<ElementType>(t);
    const std::size_t size = element_size(type);
    const std::size_t count = 1003;  // whole registers and a tail for every variant
    const auto bytes = random_elements(type, 3 * count, 17 + t);
    // Contiguous, every third element, and every third backwards from the last.
    const struct {
      std::ptrdiff_t stride;
      std::size_t first;
    } layouts[] = {{static_cast<std::ptrdiff_t>(size), 0},
                   {static_cast<std::ptrdiff_t>(3 * size), 1},
                   {-static_cast<std::ptrdiff_t>(3 * size), 3 * count - 1}};
    for (const auto& layout : layouts) {
      const std::byte* first = bytes.data() + layout.first * size;
      std::vector<float> got(count);
      cast(type, first, layout.stride, count, got.data());
      for (std::size_t i = 0; i < count; ++i) {
        const float want = reference(type, first + static_cast<std::ptrdiff_t>(i) * layout.stride);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want))
            << "type " << t << " stride " << layout.stride << " element " << i;
      }
    }
  }
}

}  // namespace
}  // namespace zelto
