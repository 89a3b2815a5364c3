// The heavy leaves (lockstep library calls, vector chains) against the plain one-element loop,
// bit for bit, the vector functions against the library on short arrays, and the sum's sign
// and zero conventions.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <math.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <tuple>
#include <vector>

#include "core/float_vec.hpp"
#include "core/isa.hpp"
#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"
#include "parallel/division.hpp"
#include "parallel_support.hpp"
#include "test_support.hpp"

namespace {

using zelto::FloatVec;
using zelto::Isa;

// The lockstep leaf (nullopt) or the vector chain of an instruction set.
using LeafKind = std::optional<Isa>;

std::string leaf_name(LeafKind kind) { return kind ? zelto::isa_name(*kind) : "lockstep"; }

// The variants whose kernels compute sinf, cosf and tanf in registers; the others call the
// library, as the lockstep leaf does.
std::vector<Isa> vector_variants() {
  std::vector<Isa> out;
  for (const Isa isa : zelto::kIsas) {
    if (zelto::trig_kernels(isa).mirrors_libm) out.push_back(isa);
  }
  return out;
}

// Whether the library guard lets this process use any vector variant.
bool some_vector_variant_accepted() {
  for (const Isa isa : vector_variants()) {
    if (zelto::heavy::libm_mirrored(isa)) return true;
  }
  return false;
}

// The leaf of kind, or nullptr when it is a vector chain this machine and library may not run.
zelto::HeavyLeaf leaf_of(LeafKind kind) {
  if (!kind) return zelto::heavy::leaf_sum_lockstep;
  if (!zelto::heavy::libm_mirrored(*kind)) return nullptr;
  return zelto::trig_kernels(*kind).chain_leaf_sum;
}

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

class LeafMatchesPlain
    : public ::testing::TestWithParam<std::tuple<LeafKind, std::size_t, std::uint64_t>> {};

// Whole leaves: the group and register boundaries, every kind of tail (two or one 256-bit
// registers, the library's calls) and the order of the terms in the sum, from several starting
// accumulators; huge finite inputs take the large reductions.
TEST_P(LeafMatchesPlain, SameBitsAsOneElementLoop) {
  const auto [kind, length, iterations] = GetParam();
  const zelto::HeavyLeaf leaf = leaf_of(kind);
  if (leaf == nullptr) {
    GTEST_SKIP() << "The C library guard refuses the " << leaf_name(kind) << " leaf here.";
  }
  const std::vector<float> data = inputs(length, static_cast<unsigned>(length), false);
  for (const float start : {-0.0f, 0.0f, 2.5f, -1.0e10f}) {
    expect_same(zelto::heavy::leaf_sum_plain(data.data(), length, iterations, start),
                leaf(data.data(), length, iterations, start));
  }
}

// A NaN or infinite input makes the leaf NaN from one repetition on, wherever it sits.
TEST_P(LeafMatchesPlain, NonFiniteInputsGiveNaN) {
  const auto [kind, length, iterations] = GetParam();
  const zelto::HeavyLeaf leaf = leaf_of(kind);
  if (leaf == nullptr) {
    GTEST_SKIP() << "The C library guard refuses the " << leaf_name(kind) << " leaf here.";
  }
  if (length > 40) GTEST_SKIP() << "The short lengths cover every position already.";
  const std::vector<float> data = inputs(length, static_cast<unsigned>(length) + 3, true);
  expect_same(zelto::heavy::leaf_sum_plain(data.data(), length, iterations, -0.0f),
              leaf(data.data(), length, iterations, -0.0f));
}

class LockstepLanes : public ::testing::TestWithParam<std::tuple<std::size_t, std::uint64_t>> {};

// Every lane of every group width gives the one-element chain's bits, NaN and infinities
// included; checked term by term, since a one-ulp slip would vanish in a rounded sum.
TEST_P(LockstepLanes, EveryLaneMatchesOneElementChain) {
  const auto [length, iterations] = GetParam();
  if (length > 40) GTEST_SKIP() << "The short lengths cover every lane already.";
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

std::vector<LeafKind> leaf_kinds() {
  std::vector<LeafKind> kinds = {std::nullopt};
  for (const Isa isa : vector_variants()) kinds.push_back(isa);
  return kinds;
}

INSTANTIATE_TEST_SUITE_P(Lengths, LeafMatchesPlain,
                         ::testing::Combine(::testing::ValuesIn(leaf_kinds()),
                                            ::testing::ValuesIn(lengths()),
                                            ::testing::Values(0u, 1u, 2u, 7u)),
                         [](const auto& info) {
                           return leaf_name(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "_" +
                                  std::to_string(std::get<2>(info.param));
                         });

INSTANTIATE_TEST_SUITE_P(Lengths, LockstepLanes,
                         ::testing::Combine(::testing::ValuesIn(lengths()),
                                            ::testing::Values(0u, 1u, 2u, 7u)));

class VectorTrig : public ::testing::TestWithParam<Isa> {};

// Each function over every length up to three registers and a long run, with special values
// sprinkled in: the partial last register and every lane position give the library's bits.
TEST_P(VectorTrig, ShortArraysGiveTheLibraryBits) {
  if (!zelto::heavy::libm_mirrored(GetParam())) {
    GTEST_SKIP() << "The C library guard refuses this variant here.";
  }
  const zelto::TrigKernels& kernels = zelto::trig_kernels(GetParam());
  const auto draw = [](std::mt19937& gen) {
    return std::ldexp(std::uniform_real_distribution<float>(-1.0f, 1.0f)(gen),
                      static_cast<int>(gen() % 140) - 10);
  };
  for (std::size_t length = 0; length <= 1000; length += length < 48 ? 1 : 952) {
    const std::vector<float> in =
        zelto::testing_support::random_floats_with_specials(length, 11 + length, 0.2, draw);
    std::vector<float> out(length);
    using Library = float (*)(float);
    for (const auto& [values, library] : {std::pair{kernels.sinf_values, Library{::sinf}},
                                          std::pair{kernels.cosf_values, Library{::cosf}},
                                          std::pair{kernels.tanf_values, Library{::tanf}}}) {
      values(in.data(), out.data(), length);
      for (std::size_t i = 0; i < length; ++i) {
        EXPECT_EQ(bits(out[i]), bits(library(in[i]))) << "x = " << in[i] << " at " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, VectorTrig, ::testing::ValuesIn(vector_variants()),
                         [](const auto& info) { return std::string(zelto::isa_name(info.param)); });
// A build whose variants all call the library (aarch64) has none to test.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(VectorTrig);

// run_heavy_logic with the lockstep leaf and with the chosen one, each on a one-worker pool
// (a grouping that depends only on the length): the same bits.
TEST(RunHeavyLogicLeaves, ChosenLeafAndLockstepGiveTheSameSum) {
  FloatVec data;
  for (const float v : inputs(5000, 21, false)) data.push_back(v);
  auto pool = zelto::testing_support::make_pool(1);
  for (const std::uint64_t iterations : {1u, 4u}) {
    float sums[2];
    // Two units so both run on the worker; each sum is then a nested operation on its pool.
    zelto::run_divided_on<int>(
        *pool, 2, zelto::testing_support::kForcePool,
        [&](std::size_t begin, std::size_t) {
          sums[begin] = begin == 0
                            ? zelto::run_heavy_logic(data, iterations)
                            : zelto::run_heavy_logic(data, iterations,
                                                     zelto::heavy::leaf_sum_lockstep);
          return 0;
        },
        [](int, int) { return 0; });
    expect_same(sums[1], sums[0]);
  }
}

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

// Terms long enough that their repetitions are made in slices, with looks at the stop between
// them, in both groupings: each term and the sum are those of the plain loop.
TEST(RunHeavyLogicValues, SlicedRepetitionsKeepTheBits) {
  constexpr std::uint64_t kIterations = 100'000;
  const float inputs[] = {0.3f, -2.5f, 7.0f};
  float terms[3];
  for (int i = 0; i < 3; ++i) {
    terms[i] = zelto::heavy::leaf_sum_plain(&inputs[i], 1, kIterations, -0.0f);
  }
  FloatVec one;
  one.push_back(inputs[0]);
  expect_same(terms[0], zelto::run_heavy_logic(one, kIterations));
  FloatVec three;
  for (const float x : inputs) three.push_back(x);
  expect_same(terms[0] + (terms[1] + terms[2]),
              zelto::run_heavy_logic(three, kIterations, zelto::Grouping::canonical));
}

}  // namespace

namespace {

constexpr const char* kSse2Tunable = "glibc.cpu.hwcaps=-AVX2,-FMA";

// Run only as the child of GuardRefusesTheSse2Build, under the tunable that makes glibc pick
// its SSE2 sinf and cosf: the vector kernels would now give other bits, the guard refuses
// them, and run_heavy_logic keeps the library's bits.
TEST(LibmGuardChild, Sse2BuildIsRefused) {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables == nullptr || std::string(tunables) != kSse2Tunable) {
    GTEST_SKIP() << "Runs only in the child that LibmGuard.RefusesTheSse2Build starts.";
  }
  const float witness = std::bit_cast<float>(0x4255b0a9u);  // the two builds' sinf differ here
  for (const Isa isa : vector_variants()) {
    if (!zelto::isa_available(isa)) continue;
    float vector_sin = 0.0f;
    zelto::trig_kernels(isa).sinf_values(&witness, &vector_sin, 1);
    EXPECT_NE(bits(vector_sin), bits(::sinf(witness))) << "the tunable did not take effect";
    EXPECT_FALSE(zelto::heavy::libm_mirrored(isa)) << zelto::isa_name(isa);
  }
  EXPECT_FALSE(zelto::heavy_leaf_is_vector());
  const std::vector<float> data = inputs(300, 2, false);
  expect_same(zelto::heavy::leaf_sum_plain(data.data(), data.size(), 2, -0.0f),
              zelto::heavy_leaf()(data.data(), data.size(), 2, -0.0f));
}

// Runs command through the shell; its exit status and what it wrote to stdout and stderr.
std::pair<int, std::string> run_command(const std::string& command) {
  FILE* child = popen((command + " 2>&1").c_str(), "r");
  if (child == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, child) != nullptr) output += buffer;
  return {pclose(child), output};
}

// This test binary again, with `environment` (shell assignments), running one child test;
// expects that test to pass.
void expect_child_passes(const std::string& environment, const std::string& test) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  const auto [status, output] =
      run_command(environment + " '" + self + "' --gtest_filter=" + test);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test."), std::string::npos) << output;
}

// This test binary again, in a child whose C library picks its SSE2 sinf and cosf.
TEST(LibmGuard, RefusesTheSse2Build) {
  if (!some_vector_variant_accepted()) {
    GTEST_SKIP() << "No vector trigonometry runs here, so the guard has nothing to refuse.";
  }
  expect_child_passes(std::string("GLIBC_TUNABLES=") + kSse2Tunable,
                      "LibmGuardChild.Sse2BuildIsRefused");
}

// A sinf that follows the C library's except on one input in 2^20, those whose low 20 bits
// are kInterposedBits, where it flips the result's last bit: too rare for any sampling
// self-check to meet.
constexpr std::uint32_t kInterposedBits = 0x5a5a5;
constexpr const char* kInterposerName = "zelto_sinf_interposer";

// The interposer's C source.
std::string interposer_source() {
  return R"(
#define _GNU_SOURCE
#include <dlfcn.h>
#include <string.h>
static float (*library_sinf)(float);
__attribute__((constructor)) static void find_library_sinf(void) {
  library_sinf = (float (*)(float))dlsym(RTLD_NEXT, "sinf");
}
float sinf(float x) {
  float y = library_sinf(x);
  unsigned bits;
  memcpy(&bits, &x, sizeof bits);
  if ((bits & 0xfffff) == )" +
         std::to_string(kInterposedBits) + R"() {
    memcpy(&bits, &y, sizeof bits);
    bits ^= 1;
    memcpy(&y, &bits, sizeof bits);
  }
  return y;
}
)";
}

// Inputs where the interposer differs (of both signs, in [2^-7, 16)) between ordinary values.
std::vector<float> interposed_inputs() {
  std::vector<float> out;
  for (std::uint32_t top = 0x3c0; top < 0x420; ++top) {
    for (const std::uint32_t sign : {0u, 0x800u}) {
      out.push_back(std::bit_cast<float>(((top | sign) << 20) | kInterposedBits));
      out.push_back(0.25f * static_cast<float>(top % 7) - 0.7f);
    }
  }
  return out;
}

// Run only as the child of RefusesAnInterposedSinf, with the interposer preloaded: the guard
// refuses every vector variant, and every term, wherever it sits in a run, has the bits of the
// calls as this process makes them.
TEST(LibmGuardChild, InterposedSinfIsRefused) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::string(preload).find(kInterposerName) == std::string::npos) {
    GTEST_SKIP() << "Runs only in the child that LibmGuard.RefusesAnInterposedSinf starts.";
  }
  void* libm = dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD);
  ASSERT_NE(libm, nullptr);
  const auto library_sinf = reinterpret_cast<float (*)(float)>(dlsym(libm, "sinf"));
  dlclose(libm);
  const std::vector<float> data = interposed_inputs();
  for (std::size_t i = 0; i < data.size(); i += 2) {
    ASSERT_NE(bits(::sinf(data[i])), bits(library_sinf(data[i]))) << "interposer not in effect";
  }
  EXPECT_FALSE(some_vector_variant_accepted());
  EXPECT_FALSE(zelto::heavy_leaf_is_vector());
  for (const std::uint64_t iterations : {1u, 2u}) {
    std::vector<float> terms(data.size());
    zelto::heavy_kernels().terms(data.data(), data.size(), iterations, terms.data());
    std::size_t differ_from_library = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
      float want = data[i];
      float library = data[i];
      for (std::uint64_t r = 0; r < iterations; ++r) {
        want = zelto::heavy::chain_step(want);
        library = zelto::heavy::clear_sign(::tanf(::cosf(library_sinf(library))));
      }
      EXPECT_EQ(bits(terms[i]), bits(want)) << "x = " << data[i] << " at " << i;
      differ_from_library += bits(want) != bits(library);
    }
    EXPECT_GT(differ_from_library, 0u) << "no term tells the interposer from the library";
  }
}

// A temporary directory, removed with its files when this goes out of scope.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = ::testing::TempDir() + "zelto_heavy_XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// This test binary again, with an interposing sinf built here by the system's C compiler.
TEST(LibmGuard, RefusesAnInterposedSinf) {
  if (!some_vector_variant_accepted()) {
    GTEST_SKIP() << "No vector trigonometry runs here, so the guard has nothing to refuse.";
  }
  if (run_command("command -v cc").first != 0) {
    GTEST_SKIP() << "No C compiler (cc) is on PATH to build the interposed sinf.";
  }
  const TemporaryDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string source = directory.path() + "/" + kInterposerName + ".c";
  const std::string library = directory.path() + "/" + kInterposerName + ".so";
  {
    std::ofstream out(source);
    out << interposer_source();
  }
  const auto [status, output] =
      run_command("cc -shared -fPIC -O2 -o '" + library + "' '" + source + "'");
  ASSERT_EQ(status, 0) << output;
  // A sanitizer runtime loaded as a library wants to come first; the interposer defines nothing
  // it intercepts.
  expect_child_passes("LD_PRELOAD='" + library +
                          "' ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                          "verify_asan_link_order=0\"",
                      "LibmGuardChild.InterposedSinfIsRefused");
}

}  // namespace

namespace {

// The halving tree of the plain one-element terms of in[lo, hi).
float plain_tree(const std::vector<float>& in, std::size_t lo, std::size_t hi,
                 std::uint64_t iterations) {
  if (hi - lo == 1) return zelto::heavy::leaf_sum_plain(&in[lo], 1, iterations, -0.0f);
  const std::size_t middle = lo + (hi - lo) / 2;
  const float left = plain_tree(in, lo, middle, iterations);
  return left + plain_tree(in, middle, hi, iterations);
}

// The canonical sum with the lockstep terms and every vector variant's, on pools of several
// sizes: the halving tree of the plain terms, bit for bit, at sizes around the unrolled trees
// and the term window.
TEST(CanonicalHeavySum, IsTheHalvingTreeForEveryKernelAndPool) {
  std::vector<std::pair<std::string, zelto::HeavyTerms>> kernels = {
      {"lockstep", zelto::heavy::terms_lockstep}};
  for (const Isa isa : vector_variants()) {
    if (zelto::heavy::libm_mirrored(isa)) {
      kernels.emplace_back(zelto::isa_name(isa), zelto::trig_kernels(isa).chain_terms);
    }
  }
  const std::vector<float> values = inputs(5000, 41, false);
  for (const std::size_t threads : {1, 2, 3, 7, 64}) {
    auto pool = zelto::testing_support::make_pool(threads);
    for (const std::size_t n : {0, 1, 2, 3, 5, 17, 1000, 1025, 4099}) {
      const std::vector<float> in(values.begin(), values.begin() + n);
      FloatVec data;
      for (const float v : in) data.push_back(v);
      const float want = n == 0 ? -0.0f : plain_tree(in, 0, n, 2);
      for (const auto& [name, terms] : kernels) {
        float got = 0.0f;
        zelto::run_divided_on<int>(
            *pool, 1, zelto::testing_support::kForcePool,
            [&](std::size_t, std::size_t) {
              got = zelto::canonical_heavy_sum(data, 2, terms, 1e9);
              return 0;
            },
            [](int, int) { return 0; });
        ASSERT_EQ(bits(got), bits(want)) << name << " T=" << threads << " n=" << n;
      }
    }
  }
}

}  // namespace
