// Every one of the 2^32 float inputs through each vector variant's sinf, cosf and tanf against
// the C library's own calls, bit for bit, NaN payloads included: once in whole registers, and
// once more through each path a run's last partial register takes. Only a sweep of all inputs
// is trustworthy: the library's FMA and SSE2 builds differ on 34 inputs in all. A separate
// program and CI stage (two to three minutes on two cores); variants the library guard refuses
// on this machine are never used, so they are not compared. Tail paths that hand large and
// non-finite inputs to the library's own calls see one block of them in 16 (paths_of).
#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/isa.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/trig_kernels.hpp"

namespace {

using zelto::Isa;
using zelto::TrigKernels;

constexpr std::uint64_t kBlock = std::uint64_t{1} << 16;
constexpr std::uint64_t kBlocks = (std::uint64_t{1} << 32) / kBlock;
constexpr int kShownPerCase = 5;

struct Function {
  const char* name;
  float (*library)(float);
  void (*TrigKernels::*values)(const float*, float*, std::size_t) noexcept;
};

const Function kFunctions[] = {{"sinf", ::sinf, &TrigKernels::sinf_values},
                               {"cosf", ::cosf, &TrigKernels::cosf_values},
                               {"tanf", ::tanf, &TrigKernels::tanf_values}};

// A way through a variant's kernels: the call lengths that take it, shortest to longest, and
// whether it sees only one in kRareBlockStride of the blocks of rare inputs (below).
struct Path {
  const char* name;
  std::size_t shortest;
  std::size_t longest;
  bool rare_blocks_sampled;
};

// Whole registers (one call per block), then the paths of a run's last partial register:
// AVX2 pads a 256-bit register; AVX-512 runs up to 8 elements in a 256-bit register (a
// separate build of every function) and pads a 512-bit one beyond. 256-bit registers hand the
// rare inputs to the library's own calls, so on their tail paths a rare input's result is the
// reference itself, at the cost of another library sweep over half of all inputs: those paths
// see one block of rare inputs in kRareBlockStride, which still covers every call length and
// lane position with them. The tail paths are the register layout of each variant, found by
// name; a new vector variant fails here until its own are written down.
std::vector<Path> paths_of(Isa isa) {
  const std::string name = zelto::isa_name(isa);
  if (name == "avx2") {
    return {{"whole registers", kBlock, kBlock, false}, {"padded 256-bit register", 1, 7, true}};
  }
  if (name == "avx512") {
    return {{"whole registers", kBlock, kBlock, false},
            {"256-bit register", 1, 8, true},
            {"padded 512-bit register", 9, 15, false}};
  }
  ADD_FAILURE() << "the tail paths of " << name << " are not known: only whole registers swept";
  return {{"whole registers", kBlock, kBlock, false}};
}

constexpr std::uint64_t kRareBlockStride = 16;

// True when the path skips this block: all its inputs are rare (magnitude 120 or more, since
// 0x42f0 << 16 is 120.0f, infinities and NaN) and it is not one of the sampled ones.
bool sampled_out(const Path& path, std::uint64_t block) {
  const bool rare = ((block >> 4) & 0x7ff) >= 0x42f;
  return path.rare_blocks_sampled && rare && block % kRareBlockStride != 0;
}

// A run's longest partial register, and how far a pass's last call may reach past the block.
constexpr std::size_t kWrap = 16;

// The call lengths a pass over a block cycles through: the path's longest, which takes the
// fewest calls, kLongestRepeats times, then each shorter length once, so every length of the
// path runs on some inputs of every block.
constexpr std::size_t kLongestRepeats = 8;

std::vector<std::size_t> lengths_of(const Path& path) {
  std::vector<std::size_t> lengths(kLongestRepeats, path.longest);
  for (std::size_t length = path.shortest; length < path.longest; ++length) {
    lengths.push_back(length);
  }
  return lengths;
}

// One case of the sweep: a variant's function on one path.
struct Case {
  Case(Isa isa, const Function* function, const Path& path)
      : isa(isa), function(function), path(path), lengths(lengths_of(path)) {}

  Isa isa;
  const Function* function;
  Path path;
  std::vector<std::size_t> lengths;
  std::atomic<std::uint64_t> mismatches{0};
};

TEST(TrigExhaustive, EveryAcceptedVariantGivesTheLibraryBitsForEveryInputOnEveryPath) {
  std::vector<Isa> variants;
  for (const Isa isa : zelto::kIsas) {
    if (zelto::heavy::libm_mirrored(isa)) variants.push_back(isa);
  }
  if (variants.empty()) GTEST_SKIP() << "The C library guard accepts no vector variant here.";

  // Cases by function, so the library's value is computed once per input and function.
  std::array<std::deque<Case>, 3> cases;
  for (std::size_t f = 0; f < 3; ++f) {
    for (const Isa isa : variants) {
      for (const Path& path : paths_of(isa)) cases[f].emplace_back(isa, &kFunctions[f], path);
    }
  }
  std::mutex report_mutex;
  std::vector<std::string> report;
  std::atomic<std::uint64_t> next_block{0};
  const auto sweep = [&] {
    // The block, then its first kWrap inputs again: every call of a pass covers only lengths
    // of its path, the last one reaching into the repeat.
    std::vector<float> in(kBlock + kWrap), want(kBlock + kWrap), got(kBlock + kWrap);
    for (std::uint64_t block; (block = next_block.fetch_add(1)) < kBlocks;) {
      for (std::uint64_t i = 0; i < kBlock + kWrap; ++i) {
        in[i] = std::bit_cast<float>(static_cast<std::uint32_t>(block * kBlock + i % kBlock));
      }
      for (std::size_t f = 0; f < 3; ++f) {
        for (std::uint64_t i = 0; i < kBlock; ++i) want[i] = kFunctions[f].library(in[i]);
        std::copy_n(want.begin(), kWrap, want.begin() + kBlock);
        for (Case& c : cases[f]) {
          if (sampled_out(c.path, block)) continue;
          const auto values = zelto::trig_kernels(c.isa).*c.function->values;
          std::size_t end = 0;
          for (std::size_t k = 0; end < kBlock; k = (k + 1) % c.lengths.size()) {
            values(in.data() + end, got.data() + end, c.lengths[k]);
            end += c.lengths[k];
          }
          for (std::uint64_t i = 0; i < end; ++i) {
            const auto w = std::bit_cast<std::uint32_t>(want[i]);
            const auto g = std::bit_cast<std::uint32_t>(got[i]);
            if (w == g) continue;
            if (c.mismatches.fetch_add(1) < kShownPerCase) {
              char line[160];
              std::snprintf(line, sizeof line, "%s %s(0x%08x), %s: library 0x%08x, vector 0x%08x",
                            zelto::isa_name(c.isa), c.function->name,
                            std::bit_cast<std::uint32_t>(in[i]), c.path.name, w, g);
              const std::lock_guard<std::mutex> lock(report_mutex);
              report.emplace_back(line);
            }
          }
        }
      }
    }
  };
  std::vector<std::thread> threads(std::max(1u, std::thread::hardware_concurrency()));
  for (auto& t : threads) t = std::thread(sweep);
  for (auto& t : threads) t.join();

  for (const std::string& line : report) ADD_FAILURE() << line;
  for (const std::deque<Case>& by_function : cases) {
    for (const Case& c : by_function) {
      EXPECT_EQ(c.mismatches.load(), 0u)
          << zelto::isa_name(c.isa) << " " << c.function->name << ", " << c.path.name;
    }
  }
  for (const Isa isa : variants) {
    std::string paths;
    for (const Path& path : paths_of(isa)) {
      paths += std::string(paths.empty() ? "" : ", ") + path.name;
      if (path.rare_blocks_sampled) paths += " (rare inputs: one block in 16)";
    }
    std::printf("%s: sinf, cosf, tanf compared on all 2^32 inputs through %s\n",
                zelto::isa_name(isa), paths.c_str());
  }
}

}  // namespace
