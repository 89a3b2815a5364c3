// The check that a vector variant may stand in for the C library's sinf, cosf and tanf.
#include "heavy/libm_guard.hpp"

#include <math.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "heavy/chain.hpp"
#include "heavy/trig_kernels.hpp"

#if defined(__GLIBC__) && defined(ZELTO_X86_VARIANTS) && __has_include(<sys/platform/x86.h>)
#include <dlfcn.h>
#include <gnu/libc-version.h>

#include <string>
// glibc's header is C: its inline functions return _Bool, which clang's C++ does not know.
#if defined(__clang__)
#define _Bool bool
#endif
#include <sys/platform/x86.h>
#if defined(__clang__)
#undef _Bool
#endif
#define ZELTO_LIBM_GUARD_KNOWS_PLATFORM 1
#endif

namespace zelto::heavy {
namespace {

#if defined(ZELTO_LIBM_GUARD_KNOWS_PLATFORM)

// The library build the variants mirror, with the choice its sinf/cosf selector makes: the
// FMA build exactly when the library finds FMA and AVX2 usable (a tunable can mask either).
bool library_is_mirrored_build() noexcept {
  return std::strcmp(gnu_get_libc_version(), "2.36") == 0 && CPU_FEATURE_ACTIVE(FMA) &&
         CPU_FEATURE_ACTIVE(AVX2);
}

// A library opened by dlopen, closed when this goes out of scope.
class LoadedLibrary {
 public:
  explicit LoadedLibrary(void* handle) noexcept : handle_(handle) {}
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;
  ~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
  }
  void* get() const noexcept { return handle_; }

 private:
  void* handle_;
};

// True when this library's calls of sinf, cosf and tanf reach the C library's own definitions:
// those of the libm.so.6 beside the libc.so.6 whose version was checked, already loaded. An
// interposer (LD_PRELOAD, or a library earlier in the lookup order) fails here however
// closely it follows the library, since the self-check below only samples inputs. A function's
// address is where the calls go (a library binds each symbol once); in the rare main program
// built without position-independent code that takes such an address itself, the address is
// a stub in that program, and the guard refuses, which is safe.
bool calls_reach_the_library() {
  Dl_info libc{};
  if (dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &libc) == 0 ||
      libc.dli_fname == nullptr) {
    return false;
  }
  std::string libm_path = libc.dli_fname;
  const std::size_t directory_end = libm_path.rfind('/');
  if (directory_end == std::string::npos) return false;
  libm_path.replace(directory_end + 1, std::string::npos, "libm.so.6");
  const LoadedLibrary libm(dlopen(libm_path.c_str(), RTLD_LAZY | RTLD_NOLOAD));
  if (libm.get() == nullptr) return false;
  using Function = float (*)(float);
  const std::pair<const char*, Function> called[] = {
      {"sinf", ::sinf}, {"cosf", ::cosf}, {"tanf", ::tanf}};
  for (const auto& [name, function] : called) {
    const void* own = dlsym(libm.get(), name);
    if (own == nullptr || own != reinterpret_cast<const void*>(function)) return false;
  }
  return true;
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
    if (!calls_reach_the_library()) return false;
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
