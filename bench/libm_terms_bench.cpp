// How the C library's sinf, cosf and tanf, and run_heavy_logic's terms, differ between two
// platforms: --dump writes this platform's results on fixed inputs, --compare counts which of
// this platform's results differ from such a dump made elsewhere, and by how many ulps.
//
// Usage: libm_terms_bench --dump FILE | --compare FILE, for example
//   libm_terms_bench --dump /tmp/x86.bin                                          (x86-64)
//   qemu-aarch64 -L /usr/aarch64-linux-gnu libm_terms_bench --compare /tmp/x86.bin (aarch64)
// Results are in bench/aarch64.md.
#include <math.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/float_vec.hpp"
#include "heavy/heavy.hpp"

namespace {

// A set of inputs and the function applied to each.
struct Section {
  const char* name;
  std::vector<float> inputs;
  float (*f)(float);
};

// Every float from bits lo to hi - 1.
std::vector<float> every_float(std::uint32_t lo, std::uint32_t hi) {
  std::vector<float> out;
  out.reserve(hi - lo);
  for (std::uint32_t b = lo; b < hi; ++b) out.push_back(std::bit_cast<float>(b));
  return out;
}

// count uniformly random bit patterns (every float, NaNs included), from splitmix64.
std::vector<float> random_floats(std::size_t count) {
  std::vector<float> out(count);
  std::uint64_t state = 29;
  for (float& x : out) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    x = std::bit_cast<float>(static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32));
  }
  return out;
}

float chain_once(float x) { return zelto::heavy_leaf()(&x, 1, 1, -0.0f); }
float chain_thrice(float x) { return zelto::heavy_leaf()(&x, 1, 3, -0.0f); }

std::vector<Section> sections() {
  const std::vector<float> random = random_floats(1000000);
  // The chain's arguments after its first sinf: cosf sees [-1, 1], tanf [cos 1, 1] (within
  // [0.5, 1]), and sinf from the second repetition on [tan(cos 1), tan 1] (within [0.5, 2]).
  return {{"tanf, every float in [0.5, 1)", every_float(0x3f000000u, 0x3f800000u), ::tanf},
          {"cosf, every float in [0.5, 1)", every_float(0x3f000000u, 0x3f800000u), ::cosf},
          {"sinf, every float in [0.5, 2)", every_float(0x3f000000u, 0x40000000u), ::sinf},
          {"sinf, 10^6 random bit patterns", random, ::sinf},
          {"cosf, 10^6 random bit patterns", random, ::cosf},
          {"tanf, 10^6 random bit patterns", random, ::tanf},
          {"run_heavy_logic term, 1 repetition, 10^6 random bit patterns", random, chain_once},
          {"run_heavy_logic term, 3 repetitions, 10^6 random bit patterns", random,
           chain_thrice}};
}

// Distance in ulps between two floats of the same sign class (NaNs count as equal).
std::uint64_t ulps(std::uint32_t a, std::uint32_t b) {
  const auto ordered = [](std::uint32_t x) {
    return x >> 31 ? -static_cast<std::int64_t>(x & 0x7fffffffu) : static_cast<std::int64_t>(x);
  };
  const std::int64_t d = ordered(a) - ordered(b);
  return static_cast<std::uint64_t>(d < 0 ? -d : d);
}

bool is_nan(std::uint32_t b) { return (b & 0x7fffffffu) > 0x7f800000u; }

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "--dump" && mode != "--compare") {
    std::fprintf(stderr, "usage: %s --dump FILE | --compare FILE\n", argv[0]);
    return 2;
  }
  const bool dump = mode == "--dump";
  std::FILE* file = std::fopen(argv[2], dump ? "wb" : "rb");
  if (file == nullptr) {
    std::perror(argv[2]);
    return 1;
  }
  std::printf("run_heavy_logic terms by %s\n",
              zelto::heavy_leaf_is_vector() ? "the vector chain" : "the library's calls");
  for (const Section& s : sections()) {
    std::vector<std::uint32_t> here(s.inputs.size()), there(s.inputs.size());
    for (std::size_t i = 0; i < s.inputs.size(); ++i) {
      here[i] = std::bit_cast<std::uint32_t>(s.f(s.inputs[i]));
    }
    if (dump) {
      std::fwrite(here.data(), sizeof here[0], here.size(), file);
      continue;
    }
    if (std::fread(there.data(), sizeof there[0], there.size(), file) != there.size()) {
      std::fprintf(stderr, "%s: shorter than this platform's results\n", argv[2]);
      return 1;
    }
    std::size_t differ = 0;
    std::uint64_t worst = 0;
    std::string examples;
    for (std::size_t i = 0; i < here.size(); ++i) {
      if (here[i] == there[i] || (is_nan(here[i]) && is_nan(there[i]))) continue;
      ++differ;
      worst = std::max(worst, ulps(here[i], there[i]));
      if (differ <= 3) {
        char text[96];
        std::snprintf(text, sizeof text, " %08x: %08x here, %08x there;",
                      std::bit_cast<std::uint32_t>(s.inputs[i]), here[i], there[i]);
        examples += text;
      }
    }
    std::printf("%s: %zu of %zu differ, by at most %llu ulp%s\n", s.name, differ, here.size(),
                static_cast<unsigned long long>(worst), examples.c_str());
  }
  return std::fclose(file) == 0 ? 0 : 1;
}
