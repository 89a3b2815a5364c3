// Every one of the 2^32 float inputs through each vector variant's sinf, cosf and tanf against
// the C library's own calls, bit for bit, NaN payloads included. Only a sweep of all inputs
// is trustworthy: the library's FMA and SSE2 builds differ on 34 inputs in all. A separate
// program and CI stage (about a minute on two cores); variants the library guard refuses on
// this machine are never used, so they are not compared.
#include <gtest/gtest.h>

#include <math.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
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
constexpr int kShownPerFunction = 5;

struct Function {
  const char* name;
  float (*library)(float);
  void (*TrigKernels::*values)(const float*, float*, std::size_t) noexcept;
};

const Function kFunctions[] = {{"sinf", ::sinf, &TrigKernels::sinf_values},
                               {"cosf", ::cosf, &TrigKernels::cosf_values},
                               {"tanf", ::tanf, &TrigKernels::tanf_values}};

TEST(TrigExhaustive, EveryAcceptedVariantGivesTheLibraryBitsForEveryInput) {
  std::vector<Isa> variants;
  for (const Isa isa : {Isa::avx2, Isa::avx512}) {
    if (zelto::heavy::libm_mirrored(isa)) variants.push_back(isa);
  }
  if (variants.empty()) GTEST_SKIP() << "the library guard accepts no vector variant here";

  // mismatches[v][f]; the library's value is computed once per input and function.
  std::vector<std::array<std::atomic<std::uint64_t>, 3>> mismatches(variants.size());
  std::mutex report_mutex;
  std::vector<std::string> report;
  std::atomic<std::uint64_t> next_block{0};
  const auto sweep = [&] {
    std::vector<float> in(kBlock), want(kBlock), got(kBlock);
    for (std::uint64_t block; (block = next_block.fetch_add(1)) < kBlocks;) {
      for (std::uint64_t i = 0; i < kBlock; ++i) {
        in[i] = std::bit_cast<float>(static_cast<std::uint32_t>(block * kBlock + i));
      }
      for (std::size_t f = 0; f < 3; ++f) {
        for (std::uint64_t i = 0; i < kBlock; ++i) want[i] = kFunctions[f].library(in[i]);
        for (std::size_t v = 0; v < variants.size(); ++v) {
          (zelto::trig_kernels(variants[v]).*kFunctions[f].values)(in.data(), got.data(), kBlock);
          for (std::uint64_t i = 0; i < kBlock; ++i) {
            const auto w = std::bit_cast<std::uint32_t>(want[i]);
            const auto g = std::bit_cast<std::uint32_t>(got[i]);
            if (w == g) continue;
            if (mismatches[v][f].fetch_add(1) < kShownPerFunction) {
              char line[128];
              std::snprintf(line, sizeof line, "%s %s(0x%08x): library 0x%08x, vector 0x%08x",
                            zelto::isa_name(variants[v]), kFunctions[f].name,
                            std::bit_cast<std::uint32_t>(in[i]), w, g);
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
  for (std::size_t v = 0; v < variants.size(); ++v) {
    for (std::size_t f = 0; f < 3; ++f) {
      EXPECT_EQ(mismatches[v][f].load(), 0u)
          << zelto::isa_name(variants[v]) << " " << kFunctions[f].name;
    }
    std::printf("%s: sinf, cosf, tanf compared on all 2^32 inputs\n",
                zelto::isa_name(variants[v]));
  }
}

}  // namespace
