// The golden-bit corpus: every operation on fixed inputs, the bytes of each result hashed and
// compared with the hashes committed in golden_bits.txt, on every kernel variant this processor
// runs and with pools of 1, 2, 3 and 7 workers. The same file serves x86-64 and aarch64, so a
// result that differs between variants, pool sizes, compilers or architectures fails here. Every
// NaN an operation computes is stored as 0x7fc00000 and a copy keeps its input's bits, so the
// raw bytes are what must agree.
//
//   zelto_golden_bits FILE           check this machine's results against FILE
//   zelto_golden_bits --write FILE   rewrite FILE from this machine's results
//
// The variant (ZELTO_ISA) and the pool size (RAYON_NUM_THREADS) are fixed once per process, so
// each combination runs in a child forked from this process before it has started any thread.
// run_heavy_logic's terms are the C library's own sinf, cosf and tanf, which differ between
// libraries (aarch64's tanf fuses multiply-adds): its results are kept per platform, keyed by
// architecture and C library, and --write keeps the other platforms' lines.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "core/isa.hpp"
#include "corpus_inputs.hpp"
#include "heavy/heavy.hpp"
#include "matrix/matrix.hpp"
#include "parallel/parallel.hpp"
#include "solver/solver.hpp"

namespace zelto::corpus {
namespace {

constexpr std::size_t kPools[] = {1, 2, 3, 7};

// shared: one hash for every platform; platform: one per architecture and C library.
enum class Scope { shared, platform };

struct Case {
  std::string name;
  std::vector<std::size_t> pools;
  Scope scope;
  std::function<std::vector<float>()> run;
};

// FNV-1a (64 bits) of the floats' bytes, least significant byte first.
std::uint64_t hash_bits(const std::vector<float>& values) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const float value : values) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    for (int byte = 0; byte < 4; ++byte) {
      h = (h ^ ((bits >> (8 * byte)) & 0xffu)) * 0x100000001b3u;
    }
  }
  return h;
}

std::string hex(std::uint64_t h) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::string platform() {
#if defined(__x86_64__)
  std::string arch = "x86_64";
#elif defined(__aarch64__)
  std::string arch = "aarch64";
#else
  std::string arch = "other";
#endif
#if defined(__GLIBC__)
  return arch + " glibc " + gnu_get_libc_version();
#else
  return arch + " other libc";
#endif
}

std::string key_of(const Case& c) {
  return c.scope == Scope::shared ? c.name : c.name + " @ " + platform();
}

FloatVec to_float_vec(const std::vector<float>& v) {
  FloatVec out = FloatVec::uninitialized(v.size());
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

std::vector<float> to_vector(const FloatVec& v) { return std::vector<float>(v.begin(), v.end()); }

Matrix matrix_of(const std::vector<float>& v, std::size_t rows, std::size_t cols) {
  return make_matrix(to_float_vec(v), rows, cols);
}

// r x c floats of the mix, poison allowed only at (i, j) where poisoned(i, j) holds.
template <class Poisoned>
std::vector<float> striped(std::uint64_t seed, std::size_t r, std::size_t c, Mix elsewhere,
                           int emin, int emax, Poisoned poisoned) {
  BitSource bits(seed);
  std::vector<float> out(r * c);
  for (std::size_t i = 0; i < r; ++i) {
    for (std::size_t j = 0; j < c; ++j) {
      out[i * c + j] = bits.draw(poisoned(i, j) ? Mix::poison : elsewhere, emin, emax);
    }
  }
  return out;
}

// A product's operands, with exponents from emin to emax: NaNs, infinities and huge values
// only in every 61st row of a and every 53rd column of b, so that the rest of the result stays
// finite.
std::vector<float> matmul_case(std::size_t r, std::size_t k, std::size_t n, int emin, int emax) {
  const Matrix a = matrix_of(
      striped(r * 1000003 + k, r, k, Mix::benign, emin, emax,
              [](std::size_t i, std::size_t) { return i % 61 == 7; }),
      r, k);
  const Matrix b = matrix_of(
      striped(k * 1000033 + n, k, n, Mix::benign, emin, emax,
              [](std::size_t, std::size_t j) { return j % 53 == 11; }),
      k, n);
  return to_vector(matmul(a, b)->data);
}

std::vector<float> elementwise_case(bool add, std::size_t r, std::size_t c, std::uint32_t val) {
  BitSource bits(r * 7919 + c);
  const Matrix a = matrix_of(bits.floats(r * c, Mix::poison, -24, 24), r, c);
  const float v = std::bit_cast<float>(val);
  return to_vector((add ? matrix_add(a, v) : matrix_mul(a, v)).data);
}

std::vector<float> transpose_case(std::size_t r, std::size_t c) {
  BitSource bits(r * 104729 + c);
  return to_vector(transpose(matrix_of(bits.floats(r * c, Mix::poison, -24, 24), r, c)).data);
}

// A solver with m random weights (those beyond X's columns unused) and a random bias.
Solver random_solver(std::uint64_t seed, std::size_t m) {
  BitSource bits(seed);
  Solver s;
  s.weights = to_float_vec(bits.floats(m, Mix::benign, -8, 2));
  s.bias = bits.draw(Mix::benign, -8, 2);
  return s;
}

std::vector<float> predict_case(std::size_t rows, std::size_t m, std::size_t weights) {
  const Solver s = random_solver(rows + 31 * m, weights);
  BitSource bits(rows * 15485863 + m);
  return to_vector(predict(s, matrix_of(bits.floats(rows * m, Mix::poison, -12, 12), rows, m)));
}

// Training data of moderate magnitude, with zeros and subnormals, so that descent stays finite;
// with nan_target one target is a NaN, which every weight then carries.
struct FitData {
  Matrix x;
  FloatVec y;
};

FitData fit_data(std::size_t rows, std::size_t m, bool nan_target) {
  BitSource bits(rows * 7 + m);
  std::vector<float> y = bits.floats(rows, Mix::benign, -6, 3);
  if (nan_target) y[rows / 2] = std::bit_cast<float>(0x7fc12345u);
  return FitData{matrix_of(bits.floats(rows * m, Mix::benign, -6, 0), rows, m), to_float_vec(y)};
}

std::vector<float> fit_case(std::size_t rows, std::size_t m, std::uint64_t iters, Grouping g,
                            bool nan_target) {
  const FitData d = fit_data(rows, m, nan_target);
  Solver s;
  s.lr = 0.05f;
  s.iters = iters;
  s.grouping = g;
  fit(s, d.x, d.y);
  std::vector<float> out = to_vector(s.weights);
  out.push_back(s.bias);
  return out;
}

std::vector<float> gradient_case(std::size_t rows, std::size_t m) {
  const FitData d = fit_data(rows, m, false);
  const GradientSums sums = gradient_sums(random_solver(rows + m, m), d.x, d.y);
  std::vector<float> out = to_vector(sums.g);
  out.push_back(sums.g_b);
  return out;
}

std::vector<float> heavy_case(const std::vector<float>& data, std::uint64_t iterations,
                              Grouping g) {
  return {run_heavy_logic(to_float_vec(data), iterations, g)};
}

// Each element's term alone (the sum of one term), which a sum can hide: a term 1 ulp apart
// rarely moves a sum of thousands.
std::vector<float> heavy_terms_case(const std::vector<float>& data, std::uint64_t iterations) {
  std::vector<float> out;
  for (const float x : data) out.push_back(heavy_case({x}, iterations, Grouping::pool)[0]);
  return out;
}

// With iterations, elements of every magnitude up to the largest float (the library's
// large-argument reduction); without, of moderate magnitude, so that the sum depends on its
// grouping. Zeros and subnormals in both; no NaN or infinity, which would make the sum NaN.
std::vector<float> heavy_data(std::uint64_t iterations) {
  return BitSource(4099).floats(4099, iterations == 0 ? Mix::benign : Mix::wide, -8, 8);
}

std::string shape(std::size_t a, std::size_t b) {
  return std::to_string(a) + "x" + std::to_string(b);
}

std::vector<Case> all_cases() {
  const std::vector<std::size_t> independent = {1, 3};
  const std::vector<std::size_t> every(std::begin(kPools), std::end(kPools));
  std::vector<Case> cases;
  const auto add = [&](std::string name, std::vector<std::size_t> pools, Scope scope,
                       std::function<std::vector<float>()> run) {
    cases.push_back(Case{std::move(name), std::move(pools), scope, std::move(run)});
  };
  // Register tiles, narrow blocks (a matrix times a vector), depth blocks, packed blocks and
  // their edges.
  const std::size_t products[][3] = {{1, 1, 1},     {2, 3, 2},      {3, 0, 2},
                                     {7, 13, 5},    {33, 64, 3},    {1000, 300, 1},
                                     {20, 600, 40}, {64, 8, 2000},  {130, 800, 1030},
                                     {1000, 1000, 1000}};
  for (const auto& p : products) {
    add("matmul " + shape(p[0], p[1]) + "x" + std::to_string(p[2]), independent, Scope::shared,
        [p] { return matmul_case(p[0], p[1], p[2], -24, 24); });
  }
  // Products and sums in the subnormal range.
  add("matmul 33x40x37 tiny", independent, Scope::shared,
      [] { return matmul_case(33, 40, 37, -78, -66); });
  // An ordinary value, -0.0, infinity, a NaN with a payload, a product that overflows and
  // one that underflows.
  for (const std::uint32_t val :
       {0x3fc00000u, 0x80000000u, 0x7f800000u, 0x7fc12345u, 0x7f000000u, 0x1d800000u}) {
    for (const bool is_add : {true, false}) {
      add(std::string(is_add ? "add" : "mul") + " 1001x103 val=" + hex(val).substr(8),
          independent, Scope::shared,
          [is_add, val] { return elementwise_case(is_add, 1001, 103, val); });
    }
  }
  add("add 5x3 val=3fc00000", independent, Scope::shared,
      [] { return elementwise_case(true, 5, 3, 0x3fc00000u); });
  const std::size_t transposes[][2] = {{1, 1},   {1, 1000},    {1000, 1},
                                       {37, 53}, {1003, 1000}, {17, 4096}};
  for (const auto& t : transposes) {
    add("transpose " + shape(t[0], t[1]), independent, Scope::shared,
        [t] { return transpose_case(t[0], t[1]); });
  }
  const std::size_t predicts[][3] = {{1, 1, 1}, {9, 5, 5}, {1000, 37, 37}, {4099, 33, 33},
                                     {100, 64, 67}};
  for (const auto& p : predicts) {
    add("predict " + shape(p[0], p[1]) + " weights=" + std::to_string(p[2]), independent,
        Scope::shared, [p] { return predict_case(p[0], p[1], p[2]); });
  }
  // Training: odd shapes, a one-column model, no rows (0 / 0 weights), a NaN target.
  struct Fit {
    std::size_t rows, m;
    std::uint64_t iters;
    bool nan_target;
  };
  for (const Fit f : {Fit{1000, 7, 20, false}, Fit{4099, 33, 10, false}, Fit{37, 1, 50, false},
                      Fit{0, 3, 2, false}, Fit{300, 5, 3, true}}) {
    const std::string name = "fit " + shape(f.rows, f.m) + " iters=" + std::to_string(f.iters) +
                             (f.nan_target ? " nan-target" : "");
    for (const std::size_t t : {1, 3}) {
      add(name + " pool-grouping T=" + std::to_string(t), {t}, Scope::shared,
          [f] { return fit_case(f.rows, f.m, f.iters, Grouping::pool, f.nan_target); });
    }
    add(name + " canonical", every, Scope::shared,
        [f] { return fit_case(f.rows, f.m, f.iters, Grouping::canonical, f.nan_target); });
  }
  add("gradient_sums 4099x33", every, Scope::shared, [] { return gradient_case(4099, 33); });
  // The sum alone (no library call), and a NaN sum.
  add("run_heavy_logic 4099 iterations=0 canonical", every, Scope::shared,
      [] { return heavy_case(heavy_data(0), 0, Grouping::canonical); });
  add("run_heavy_logic 4099 iterations=0 pool-grouping T=1", {1}, Scope::shared,
      [] { return heavy_case(heavy_data(0), 0, Grouping::pool); });
  add("run_heavy_logic [1, inf, 2] iterations=1", every, Scope::shared, [] {
    return heavy_case({1.0f, std::bit_cast<float>(0x7f800000u), 2.0f}, 1, Grouping::canonical);
  });
  for (const std::uint64_t n : {1, 3}) {
    add("run_heavy_logic terms of 4099 iterations=" + std::to_string(n), {1}, Scope::platform,
        [n] { return heavy_terms_case(heavy_data(n), n); });
    const std::string name = "run_heavy_logic 4099 iterations=" + std::to_string(n);
    add(name + " canonical", every, Scope::platform,
        [n] { return heavy_case(heavy_data(n), n, Grouping::canonical); });
    add(name + " pool-grouping T=1", {1}, Scope::platform,
        [n] { return heavy_case(heavy_data(n), n, Grouping::pool); });
  }
  return cases;
}

// One process's variant and pool size.
struct Run {
  Isa isa;
  std::size_t pool;

  std::string label() const { return std::string(isa_name(isa)) + " T=" + std::to_string(pool); }
};

// What one child reports: the hash per case index it ran, and the leaf of run_heavy_logic.
struct RunReport {
  std::map<std::size_t, std::uint64_t> hashes;
  bool vector_leaf = false;
};

// The child's side: fixes the variant and pool, runs the cases of its pool size, and writes
// "leaf <0|1>" and "<index> <hash>" lines to out.
[[noreturn]] void run_child(const Run& run, const std::vector<Case>& cases, int out) {
  int status = 0;
  try {
    ::setenv("ZELTO_ISA", isa_name(run.isa), 1);
    ::setenv("RAYON_NUM_THREADS", std::to_string(run.pool).c_str(), 1);
    if (!process_isa().refusal.empty() || chosen_isa() != run.isa ||
        pool_thread_count() != run.pool) {
      std::fprintf(stderr, "%s: could not fix the variant and pool\n", run.label().c_str());
      _exit(2);
    }
    std::string text = "leaf " + std::to_string(heavy_leaf_is_vector() ? 1 : 0) + "\n";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      if (std::find(c.pools.begin(), c.pools.end(), run.pool) == c.pools.end()) continue;
      const std::vector<float> result = c.run();
      text += std::to_string(i) + " " + hex(hash_bits(result)) + "\n";
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = ::write(out, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(3);
      done += static_cast<std::size_t>(n);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", run.label().c_str(), e.what());
    status = 4;
  }
  _exit(status);
}

// Forks a child for run and parses its report; false when the child failed.
bool run_in_child(const Run& run, const std::vector<Case>& cases, RunReport& report) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return false;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::close(pipe_ends[0]);
    run_child(run, cases, pipe_ends[1]);
  }
  ::close(pipe_ends[1]);
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(pipe_ends[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: child ended with status %d\n", run.label().c_str(), status);
    return false;
  }
  std::istringstream lines(text);
  std::string word;
  int leaf = 0;
  lines >> word >> leaf;
  report.vector_leaf = leaf != 0;
  std::size_t index = 0;
  std::string hash;
  while (lines >> index >> hash) report.hashes[index] = std::stoull(hash, nullptr, 16);
  return true;
}

// The committed file: "<hash> <key>" lines; '#' starts a comment.
std::map<std::string, std::string> read_hashes(const std::string& path) {
  std::map<std::string, std::string> hashes;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::size_t space = line.find(' ');
    hashes[line.substr(space + 1)] = line.substr(0, space);
  }
  return hashes;
}

constexpr const char* kHeader =
    "# Golden bits: FNV-1a 64 of the bytes of each result of tests/corpus/golden_bits.cpp, NaNs\n"
    "# of arithmetic results as 0x7fc00000. Shared lines hold for every kernel variant, pool\n"
    "# size and architecture; lines ending in \"@ <architecture> <C library>\" hold where that\n"
    "# C library computes run_heavy_logic's terms. `bash scripts/stage-aarch64 --write` rewrites\n"
    "# this file from both architectures.\n";

int main_with(bool write, const std::string& path) {
  const std::vector<Case> cases = all_cases();
  std::vector<Run> runs;
  std::string variants;
  for (const Isa isa : kIsas) {
    if (!isa_available(isa)) continue;
    variants += std::string(variants.empty() ? "" : " ") + isa_name(isa);
    for (const std::size_t pool : kPools) runs.push_back(Run{isa, pool});
  }
  std::printf("golden bits on %s: variants %s, pools of 1 2 3 7 workers\n", platform().c_str(),
              variants.c_str());

  std::vector<RunReport> reports(runs.size());
  std::string vector_leaf, library_leaf;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    if (!run_in_child(runs[r], cases, reports[r])) return 1;
    std::string& list = reports[r].vector_leaf ? vector_leaf : library_leaf;
    const std::string name = isa_name(runs[r].isa);
    if (list.find(name) == std::string::npos) list += (list.empty() ? "" : " ") + name;
  }
  std::printf("run_heavy_logic terms: library calls with [%s], vector chain with [%s]\n",
              library_leaf.c_str(), vector_leaf.c_str());

  const std::map<std::string, std::string> committed = read_hashes(path);
  std::map<std::string, std::string> fresh;  // --write: key -> the hash every run agrees on
  std::size_t results = 0, numbers_differ = 0, unreferenced = 0;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string key = key_of(c);
    const auto found = committed.find(key);
    if (!write && found == committed.end()) {
      const bool shared = c.scope == Scope::shared;
      std::printf("%s: no committed hash for %s\n", shared ? "MISSING" : "note", key.c_str());
      (shared ? numbers_differ : unreferenced) += 1;
      continue;
    }
    std::string differ;  // labels of the runs
    for (std::size_t r = 0; r < runs.size(); ++r) {
      const auto got = reports[r].hashes.find(i);
      if (got == reports[r].hashes.end()) continue;
      ++results;
      const std::string hash = hex(got->second);
      // --write: the first run's hash is the one every other run must agree with.
      const std::string& want = write ? fresh.emplace(key, hash).first->second : found->second;
      if (want != hash) differ += " " + runs[r].label();
    }
    if (!differ.empty()) {
      ++numbers_differ;
      std::printf("DIFFERS: %s [%s ]\n", key.c_str(), differ.c_str());
    }
  }

  if (write) {
    if (numbers_differ != 0) {
      std::printf("%zu cases differ between runs: %s left unchanged\n", numbers_differ,
                  path.c_str());
      return 1;
    }
    // Other platforms' lines stay as they were.
    const std::string suffix = " @ " + platform();
    for (const auto& [key, hash] : committed) {
      if (key.find(" @ ") != std::string::npos && !key.ends_with(suffix)) fresh.emplace(key, hash);
    }
    std::ofstream out(path);
    out << kHeader;
    for (const Case& c : cases) {
      if (c.scope == Scope::shared) out << fresh[c.name] << ' ' << c.name << '\n';
    }
    for (const auto& [key, hash] : fresh) {
      if (key.find(" @ ") != std::string::npos) out << hash << ' ' << key << '\n';
    }
    std::printf("%zu cases, %zu results agree: written to %s\n", cases.size(), results,
                path.c_str());
    return out ? 0 : 1;
  }
  std::printf("%zu cases, %zu results: %zu cases differ, %zu without a hash for this platform\n",
              cases.size(), results, numbers_differ, unreferenced);
  return numbers_differ != 0 ? 1 : 0;
}

}  // namespace
}  // namespace zelto::corpus

int main(int argc, char** argv) {
  const bool write = argc == 3 && std::string(argv[1]) == "--write";
  if (argc != 2 + (write ? 1 : 0)) {
    std::fprintf(stderr, "usage: %s [--write] FILE\n", argv[0]);
    return 2;
  }
  return zelto::corpus::main_with(write, argv[argc - 1]);
}
