// Times the heavy leaves on the same pool and division: the plain one-element loop, the
// lockstep library calls and the leaf run_heavy_logic chose (a vector chain where the library
// guard accepts it), called back to back; on one thread, each vector sinf/cosf/tanf against the
// library's, and the leaves' cost on a few elements; and traces where a call's time goes.
//
// Usage: heavy_bench ELEMENTS ITERATIONS REPEATS   (pool sized from RAYON_NUM_THREADS)
//        heavy_bench functions REPEATS
//        heavy_bench short ITERATIONS REPEATS
//        heavy_bench trace ELEMENTS ITERATIONS REPEATS PAUSE_US  (pool from RAYON_NUM_THREADS)
// Prints one JSON object: median milliseconds per leaf, ns per element per function, ns per
// call of each leaf on short lengths (the leaves of a pool far larger than the machine), or
// where a call's wall time goes (see trace()).
#include <math.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "bench_support.hpp"
#include "core/float_vec.hpp"
#include "core/isa.hpp"
#include "heavy/chain.hpp"
#include "heavy/heavy.hpp"
#include "heavy/libm_guard.hpp"
#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"
#include "parallel/parallel.hpp"

using zelto::bench::median;

namespace {

// Wall time of one call of run, in milliseconds; `sink` keeps the result alive.
template <class Run>
double time_ms(Run run, float& sink) {
  const auto start = zelto::bench::Clock::now();
  sink = sink + run();
  return zelto::bench::elapsed_ms(start);
}

int leaves(std::size_t elements, std::uint64_t iterations, int repeats) {
  const zelto::FloatVec data = zelto::bench::random_floats(
      elements, 12345, std::uniform_real_distribution<float>(-10.0f, 10.0f));
  const auto plain = [&] {
    return zelto::run_heavy_logic(data, iterations, zelto::heavy::leaf_sum_plain);
  };
  const auto lockstep = [&] {
    return zelto::run_heavy_logic(data, iterations, zelto::heavy::leaf_sum_lockstep);
  };
  const auto chosen = [&] { return zelto::run_heavy_logic(data, iterations); };

  // Alternating runs, so load from other processes weighs on every leaf alike.
  float sink = 0.0f;
  std::vector<double> plain_ms, lockstep_ms, chosen_ms;
  for (int i = 0; i < repeats; ++i) {
    plain_ms.push_back(time_ms(plain, sink));
    lockstep_ms.push_back(time_ms(lockstep, sink));
    chosen_ms.push_back(time_ms(chosen, sink));
  }
  const char* chosen_name =
      zelto::heavy_leaf_is_vector() ? zelto::isa_name(zelto::chosen_isa()) : "lockstep";
  std::printf(
      "{\"threads\": %zu, \"plain_ms\": %.3f, \"lockstep_ms\": %.3f, \"chosen_ms\": %.3f, "
      "\"chosen\": \"%s\", \"sink\": %g}\n",
      zelto::pool_thread_count(), median(plain_ms), median(lockstep_ms), median(chosen_ms),
      chosen_name, static_cast<double>(sink));
  return 0;
}

// ns per element of the library's sinf, cosf, tanf called one by one and of each vector
// variant the guard accepts, over inputs in [-10, 10] (the chain's first step) and [0.5, 1]
// (the range of its later steps).
int functions(int repeats) {
  constexpr std::size_t kCount = 4096;
  constexpr int kPasses = 50;
  std::vector<float> in(kCount), out(kCount);
  std::string json = "{";
  for (const auto& [range, lo, hi] : {std::tuple{"wide", -10.0f, 10.0f},
                                      std::tuple{"chain", 0.5f, 1.0f}}) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(lo, hi);
    for (float& x : in) x = dist(rng);
    using Library = float (*)(float);
    const std::pair<const char*, Library> library[] = {{"sinf", ::sinf}, {"cosf", ::cosf},
                                                       {"tanf", ::tanf}};
    for (std::size_t f = 0; f < 3; ++f) {
      const auto scalar = [&] {
        for (int p = 0; p < kPasses; ++p) {
          for (std::size_t i = 0; i < kCount; ++i) out[i] = library[f].second(in[i]);
        }
      };
      char entry[160];
      std::snprintf(entry, sizeof entry, "%s\"%s %s libm\": %.3f", json.size() > 1 ? ", " : "",
                    range, library[f].first,
                    zelto::bench::median_ms(repeats, scalar) * 1e6 / (kPasses * kCount));
      json += entry;
      for (const zelto::Isa isa : zelto::kIsas) {
        if (!zelto::heavy::libm_mirrored(isa)) continue;
        const zelto::TrigKernels& k = zelto::trig_kernels(isa);
        const auto values = f == 0 ? k.sinf_values : f == 1 ? k.cosf_values : k.tanf_values;
        const auto vector = [&] {
          for (int p = 0; p < kPasses; ++p) values(in.data(), out.data(), kCount);
        };
        std::snprintf(entry, sizeof entry, ", \"%s %s %s\": %.3f", range, library[f].first,
                      zelto::isa_name(isa),
                      zelto::bench::median_ms(repeats, vector) * 1e6 / (kPasses * kCount));
        json += entry;
      }
    }
  }
  std::printf("%s}\n", json.c_str());
  return 0;
}

// ns per call of the plain, lockstep and chosen leaves on 1 .. 40 elements, one thread: what a
// leaf's fixed cost is when an oversubscribed pool cuts the work into leaves of a few elements.
int short_leaves(std::uint64_t iterations, int repeats) {
  constexpr std::size_t kMax = 40;
  constexpr int kCalls = 2000;
  const zelto::FloatVec data = zelto::bench::random_floats(
      kMax * kCalls, 99, std::uniform_real_distribution<float>(-10.0f, 10.0f));
  const std::pair<const char*, zelto::HeavyLeaf> leaves[] = {
      {"plain", zelto::heavy::leaf_sum_plain},
      {"lockstep", zelto::heavy::leaf_sum_lockstep},
      {"chosen", zelto::heavy_leaf()}};
  std::string json = "{";
  float sink = 0.0f;
  for (std::size_t count = 1; count <= kMax; ++count) {
    for (const auto& [name, leaf] : leaves) {
      const auto calls = [&] {
        for (int c = 0; c < kCalls; ++c) {
          sink = sink + leaf(data.data() + c * kMax, count, iterations, -0.0f);
        }
      };
      char entry[96];
      std::snprintf(entry, sizeof entry, "%s\"%s %zu\": %.1f", json.size() > 1 ? ", " : "", name,
                    count, zelto::bench::median_ms(repeats, calls) * 1e6 / kCalls);
      json += entry;
    }
  }
  std::printf("%s, \"sink\": %g}\n", json.c_str(), static_cast<double>(sink));
  return 0;
}

// One leaf call as the trace saw it: which thread, when it started and ended (us from the
// call's start), and how many elements it summed.
struct LeafRecord {
  int thread;
  int cpu;
  double start_us;
  double end_us;
  std::size_t count;
};

std::atomic<std::size_t> g_records{0};
LeafRecord g_trace[1 << 16];
zelto::bench::Clock::time_point g_call_start;
std::atomic<int> g_next_thread{0};

// The chosen leaf, with its start, end and thread written to the trace.
float traced_leaf(const float* in, std::size_t count, std::uint64_t iterations,
                  float acc) noexcept {
  thread_local const int thread = g_next_thread.fetch_add(1);
  const auto us = [] {
    return std::chrono::duration<double, std::micro>(zelto::bench::Clock::now() - g_call_start)
        .count();
  };
  const double start = us();
  const float sum = zelto::heavy_leaf()(in, count, iterations, acc);
  const std::size_t slot = g_records.fetch_add(1) % (sizeof g_trace / sizeof g_trace[0]);
  g_trace[slot] = {thread, sched_getcpu(), start, us(), count};
  return sum;
}

// Where a call's wall time goes, median over the repeats (us): until the first leaf starts
// (hand-off and wake-up), until the last worker's first leaf, after the last leaf ends (the
// caller's wake-up), the most and least time a worker spent in leaves, the time one worker
// stood idle at the end while another still ran a leaf; and counts of calls in which a worker
// ran no leaf, joined after a quarter of the call, or started on a processor another worker
// already ran on. Before each call the calling thread pauses PAUSE_US: sleeping when positive,
// spinning when negative (as while numpy computes between the Python bench's calls), so the
// workers may have gone to sleep. HEAVY_BENCH_INPUT names a file of raw floats to use instead
// of the generated inputs (the Python bench's own numbers).
int trace(std::size_t elements, std::uint64_t iterations, int repeats, int pause_us) {
  zelto::FloatVec data = zelto::bench::random_floats(
      elements, 12345, std::uniform_real_distribution<float>(-10.0f, 10.0f));
  // The Python bench's own inputs, when it passes them, so both sides time the same numbers.
  if (const char* path = std::getenv("HEAVY_BENCH_INPUT")) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr || std::fread(data.data(), sizeof(float), elements, file) != elements) {
      std::fprintf(stderr, "cannot read %zu floats from %s\n", elements, path);
      return 1;
    }
    std::fclose(file);
  }
  float sink = zelto::run_heavy_logic(data, iterations, traced_leaf);
  std::vector<double> total, first, second, tail, busy_max, busy_min, end_gap, leaves, threads;
  int short_handed = 0;  // calls in which some worker ran no leaf
  int late_join = 0;     // calls whose last worker to start did so after a quarter of the call
  int shared_cpu = 0;    // calls whose workers started on fewer processors than workers
  for (int r = 0; r < repeats; ++r) {
    if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
    if (pause_us < 0) {
      const auto until = zelto::bench::Clock::now() + std::chrono::microseconds(-pause_us);
      while (zelto::bench::Clock::now() < until) {
      }
    }
    g_records.store(0);
    g_call_start = zelto::bench::Clock::now();
    sink = sink + zelto::run_heavy_logic(data, iterations, traced_leaf);
    const double wall = zelto::bench::elapsed_ms(g_call_start) * 1e3;
    const std::size_t n = std::min(g_records.load(), sizeof g_trace / sizeof g_trace[0]);
    std::vector<LeafRecord> rec(g_trace, g_trace + n);
    std::sort(rec.begin(), rec.end(),
              [](const LeafRecord& a, const LeafRecord& b) { return a.start_us < b.start_us; });
    std::vector<int> ids;
    for (const LeafRecord& l : rec) {
      if (std::find(ids.begin(), ids.end(), l.thread) == ids.end()) ids.push_back(l.thread);
    }
    std::vector<double> busy, last_end;
    double second_start = rec.front().start_us;
    for (const int id : ids) {
      double sum = 0.0, end = 0.0, begin = -1.0;
      for (const LeafRecord& l : rec) {
        if (l.thread != id) continue;
        sum += l.end_us - l.start_us;
        end = std::max(end, l.end_us);
        if (begin < 0.0) begin = l.start_us;
      }
      busy.push_back(sum);
      last_end.push_back(end);
      if (id == ids.back()) second_start = begin;
    }
    const double end_all = *std::max_element(last_end.begin(), last_end.end());
    total.push_back(wall);
    first.push_back(rec.front().start_us);
    second.push_back(second_start);
    tail.push_back(wall - end_all);
    busy_max.push_back(*std::max_element(busy.begin(), busy.end()));
    busy_min.push_back(*std::min_element(busy.begin(), busy.end()));
    end_gap.push_back(end_all - *std::min_element(last_end.begin(), last_end.end()));
    leaves.push_back(static_cast<double>(n));
    threads.push_back(static_cast<double>(ids.size()));
    if (ids.size() < zelto::pool_thread_count()) ++short_handed;
    if (second_start > 0.25 * wall) ++late_join;
    // Each thread's first leaf: on fewer processors than threads means two workers started on
    // one processor while another stood idle.
    std::vector<int> first_cpus;
    for (const int id : ids) {
      const auto l = std::find_if(rec.begin(), rec.end(),
                                  [id](const LeafRecord& r) { return r.thread == id; });
      if (std::find(first_cpus.begin(), first_cpus.end(), l->cpu) == first_cpus.end()) {
        first_cpus.push_back(l->cpu);
      }
    }
    if (first_cpus.size() < ids.size()) ++shared_cpu;
  }
  std::printf(
      "{\"threads\": %zu, \"total_us\": %.1f, \"first_leaf_us\": %.1f, "
      "\"last_thread_first_leaf_us\": %.1f, \"after_last_leaf_us\": %.1f, "
      "\"busy_max_us\": %.1f, \"busy_min_us\": %.1f, \"idle_at_end_us\": %.1f, "
      "\"leaves\": %.0f, \"threads_used\": %.0f, \"calls\": %d, \"short_handed_calls\": %d, "
      "\"late_join_calls\": %d, \"shared_cpu_calls\": %d, \"sink\": %g}\n",
      zelto::pool_thread_count(), median(total), median(first), median(second), median(tail),
      median(busy_max), median(busy_min), median(end_gap), median(leaves), median(threads),
      repeats, short_handed, late_join, shared_cpu, static_cast<double>(sink));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "functions") == 0) return functions(std::atoi(argv[2]));
  if (argc == 6 && std::strcmp(argv[1], "trace") == 0) {
    return trace(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                 std::atoi(argv[4]), std::atoi(argv[5]));
  }
  if (argc == 4 && std::strcmp(argv[1], "short") == 0) {
    return short_leaves(std::strtoull(argv[2], nullptr, 10), std::atoi(argv[3]));
  }
  if (argc != 4) {
    std::fprintf(stderr,
                 "usage: %s ELEMENTS ITERATIONS REPEATS | functions REPEATS | short ITERATIONS "
                 "REPEATS | trace ELEMENTS ITERATIONS REPEATS PAUSE_US\n",
                 argv[0]);
    return 2;
  }
  return leaves(std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10),
                std::atoi(argv[3]));
}
