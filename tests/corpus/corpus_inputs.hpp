// The golden-bit corpus's inputs: floats drawn from a seed with the same bits on every
// platform. splitmix64 supplies the bits and every float is assembled from them by integer
// operations alone (sign, exponent, mantissa), so no library distribution and no floating-point
// arithmetic stands between the seed and the value.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace zelto::corpus {

// What a draw may return besides ordinary numbers; each level adds to the one before.
enum class Mix {
  ordinary,  // normal numbers of both signs with exponents in the caller's range
  benign,    // + both zeros, subnormals, the smallest normal, and values near 2^-70 whose
             //   products are subnormal or zero
  wide,      // + finite values up to the largest float, whose products and sums overflow
  poison,    // + infinities and NaNs: quiet and signalling, both signs, several payloads
};

class BitSource {
 public:
  explicit BitSource(std::uint64_t seed) noexcept : state_(seed) {}

  // splitmix64: the next 64 bits.
  std::uint64_t next() noexcept {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }

  // An integer in [0, n), by multiply-shift of 32 fresh bits.
  std::uint32_t below(std::uint32_t n) noexcept {
    return static_cast<std::uint32_t>(((next() >> 32) * n) >> 32);
  }

  // A float of the given mix: 0.5% of the draws from the widest class the mix allows, 5% from
  // the benign class, the rest ordinary with an unbiased exponent in [emin, emax].
  float draw(Mix mix, int emin, int emax) noexcept {
    const std::uint32_t r = below(1000);
    if (mix >= Mix::wide && r < 5) return mix == Mix::poison && r < 3 ? poison() : huge();
    if (mix >= Mix::benign && r < 55) return benign();
    return ordinary(emin, emax);
  }

  std::vector<float> floats(std::size_t n, Mix mix, int emin, int emax) {
    std::vector<float> out(n);
    for (float& x : out) x = draw(mix, emin, emax);
    return out;
  }

 private:
  float assemble(std::uint32_t exponent_field) noexcept {
    const std::uint64_t bits = next();
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits >> 63) << 31 |
                                exponent_field << 23 | static_cast<std::uint32_t>(bits) >> 9);
  }

  float ordinary(int emin, int emax) noexcept {
    const int e = emin + static_cast<int>(below(static_cast<std::uint32_t>(emax - emin + 1)));
    return assemble(static_cast<std::uint32_t>(127 + e));
  }

  float benign() noexcept {
    switch (below(5)) {
      case 0:
        return std::bit_cast<float>(below(2) << 31);  // +0.0 or -0.0
      case 1:
        return assemble(0);  // a subnormal (or, rarely, a zero)
      case 2:
        return std::bit_cast<float>(below(2) << 31 | 0x00800000u);  // the smallest normal
      default:
        return assemble(127 - 75 + below(16));  // 2^-75 .. 2^-60
    }
  }

  float huge() noexcept { return assemble(127 + 100 + below(28)); }  // 2^100 .. 2^127

  float poison() noexcept {
    static constexpr std::uint32_t kSpecials[] = {
        0x7f800000, 0xff800000,              // infinities
        0x7fc00000, 0xffc00000,              // the two default quiet NaNs (ARM, x86)
        0x7fc12345, 0xffe54321, 0x7fffffff,  // quiet NaNs with payloads
        0x7f800001, 0xff812345, 0x7fa00000,  // signalling NaNs
    };
    return std::bit_cast<float>(kSpecials[below(std::size(kSpecials))]);
  }

  std::uint64_t state_;
};

}  // namespace zelto::corpus
