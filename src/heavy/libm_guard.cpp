// The check that a vector variant may stand in for the C library's sinf, cosf and tanf.
#include "heavy/libm_guard.hpp"

#include <math.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "heavy/chain.hpp"
#include "heavy/trig_kernels.hpp"

#if defined(__GLIBC__) && defined(ZELTO_X86_VARIANTS) && __has_include(<sys/platform/x86.h>)
#include <gnu/libc-version.h>
#define ZELTO_LIBM_GUARD_KNOWS_PLATFORM 1

// The part of <sys/platform/x86.h> the guard needs, declared here because that header is C
// (its _Bool is no C++ type for clang): glibc's table of the CPU features it found usable.
extern "C" {
struct cpuid_feature {
  unsigned int cpuid_array[4];
  unsigned int active_array[4];
};
const cpuid_feature* __x86_get_cpuid_feature_leaf(unsigned int leaf) __attribute__((pure));
}
#endif

namespace zelto::heavy {
namespace {

#if defined(ZELTO_LIBM_GUARD_KNOWS_PLATFORM)

// Whether glibc counts a feature usable, as its CPU_FEATURE_ACTIVE does: the feature's index is
// its cpuid leaf's place in glibc's table (128 bits each), register (eax to edx) and bit.
bool glibc_feature_active(unsigned int index) noexcept {
  const cpuid_feature* leaf = __x86_get_cpuid_feature_leaf(index / 128);
  return (leaf->active_array[index % 128 / 32] >> (index % 32) & 1u) != 0;
}

// glibc's indices of FMA (leaf 1, ecx bit 12) and AVX2 (leaf 7, ebx bit 5).
constexpr unsigned int kGlibcFma = 0 * 128 + 2 * 32 + 12;
constexpr unsigned int kGlibcAvx2 = 1 * 128 + 1 * 32 + 5;

// The library build the variants mirror, with the choice its sinf/cosf selector makes: the
// FMA build exactly when the library finds FMA and AVX2 usable (a tunable can mask either).
bool library_is_mirrored_build() noexcept {
  return std::strcmp(gnu_get_libc_version(), "2.36") == 0 && glibc_feature_active(kGlibcFma) &&
         glibc_feature_active(kGlibcAvx2);
}

// Bit patterns of the fixed inputs, each also taken with the sign flipped.
constexpr std::array<std::uint32_t, 56> kEdges = {
    // zero, subnormals, the smallest normal, and each branch threshold from both sides
    0x00000000, 0x00000001, 0x007fffff, 0x00800000, 0x39000000, 0x397fffff, 0x39800000,
    0x3f2ca140, 0x3f3fffff, 0x3f400000, 0x3f490fda, 0x3f490fdb, 0x42efffff, 0x42f00000,
    0x3fc90fdb, 0x40490fdb, 0x7f7fffff,
    // infinity and NaNs, quiet and signalling, with payloads
    0x7f800000, 0x7fc00000, 0x7f800001, 0x7fa00000, 0x7fffffff,
    // where sinf's FMA and SSE2 builds differ
    0x4255b0a9, 0x42a35c07, 0x42a35d44, 0x42a97360, 0x42cf5854, 0x42e87a55,
    // where cosf's FMA and SSE2 builds differ
    0x418a3adb, 0x418a3adc, 0x418a3add, 0x418a3ade, 0x41bc76d9, 0x4202eb4b, 0x42687a55,
    0x4280ce28, 0x42870e40, 0x42c55faa, 0x42d8d23e,
    // large arguments near multiples of pi/2, where the reduction cancels most
    0x4b800000, 0x4c800000, 0x5a000000, 0x5f000000, 0x7e000000, 0x47c90fdb, 0x4ac90fdb,
    0x4e490fdb, 0x52490fdb, 0x56c90fdb, 0x5b490fdb, 0x60490fdb, 0x64c90fdb, 0x69490fdb,
    0x6dc90fdb, 0x72490fdb, 0x76c90fdb};

// Random mantissas per exponent and sign.
constexpr std::uint32_t kSamplesPerBinade = 24;

std::vector<float> fixed_inputs() {
  std::vector<float> out;
  out.reserve(2 * kEdges.size() + 512 * kSamplesPerBinade);
  for (const std::uint32_t bits : kEdges) {
    out.push_back(std::bit_cast<float>(bits));
    out.push_back(std::bit_cast<float>(bits | 0x80000000u));
  }
  std::uint64_t state = 0x9E3779B97F4A7C15u;  // xorshift64, fixed seed
  for (std::uint32_t sign_exponent = 0; sign_exponent < 512; ++sign_exponent) {
    for (std::uint32_t k = 0; k < kSamplesPerBinade; ++k) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      const auto mantissa = static_cast<std::uint32_t>(state >> 41);  // 23 bits
      out.push_back(std::bit_cast<float>((sign_exponent << 23) | mantissa));
    }
  }
  return out;
}

// True when values(in) has the bits of f applied to every input, NaN payloads included.
bool agrees(void (*values)(const float*, float*, std::size_t) noexcept, float (*f)(float),
            const std::vector<float>& in) {
  std::vector<float> got(in.size());
  values(in.data(), got.data(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(f(in[i]))) {
      return false;
    }
  }
  return true;
}

// The assembled leaf, over a few repetitions, against the plain loop on the inputs that stay
// finite (a NaN term would hide the others in the sum).
bool leaf_agrees(const TrigKernels& kernels, const std::vector<float>& in) {
  std::vector<float> finite;
  for (std::size_t i = 0; i < in.size() && finite.size() < 61; i += 97) {
    if (std::isfinite(in[i])) finite.push_back(in[i]);
  }
  const float want = leaf_sum_plain(finite.data(), finite.size(), 3, -0.0f);
  const float got = kernels.chain_leaf_sum(finite.data(), finite.size(), 3, -0.0f);
  return std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
}

#endif

}  // namespace

bool libm_mirrored(Isa isa) noexcept {
#if defined(ZELTO_LIBM_GUARD_KNOWS_PLATFORM)
  const TrigKernels& kernels = trig_kernels(isa);
  if (!kernels.mirrors_libm || !isa_available(isa) || !library_is_mirrored_build()) {
    return false;
  }
  try {
    const std::vector<float> in = fixed_inputs();
    return agrees(kernels.sinf_values, ::sinf, in) && agrees(kernels.cosf_values, ::cosf, in) &&
           agrees(kernels.tanf_values, ::tanf, in) && leaf_agrees(kernels, in);
  } catch (...) {  // no memory for the check: use the library's calls
    return false;
  }
#else
  (void)isa;
  return false;
#endif
}

}  // namespace zelto::heavy
