#include "core/isa.hpp"

#include <array>
#include <cstdlib>

namespace zelto {
namespace {

// The CPU features each variant is compiled for, comma-separated: the build compiles the
// variant's kernel files with -m<feature> for exactly these names.
constexpr std::string_view features_of(Isa isa) noexcept {
#define ZELTO_ISA_FEATURES(isa) ZELTO_ISA_FEATURES_##isa,
  constexpr std::string_view kFeatureLists[] = {ZELTO_FOR_EACH_ISA(ZELTO_ISA_FEATURES)};
#undef ZELTO_ISA_FEATURES
  return kFeatureLists[static_cast<std::size_t>(isa)];
}

// A feature name the build may use, with its run-time test. The compiler's test reads CPUID and,
// for AVX and AVX-512 features, also the operating system's XCR0 (XGETBV): a feature counts only
// when the system saves the ymm, or the opmask and zmm, registers across context switches.
struct Feature {
  std::string_view name;
  bool (*present)() noexcept;
};

#define ZELTO_FEATURE(name) \
  Feature { name, []() noexcept { return __builtin_cpu_supports(name) != 0; } }
#if defined(__x86_64__)
constexpr Feature kFeatures[] = {
    ZELTO_FEATURE("sse3"),     ZELTO_FEATURE("ssse3"),    ZELTO_FEATURE("sse4.1"),
    ZELTO_FEATURE("sse4.2"),   ZELTO_FEATURE("popcnt"),   ZELTO_FEATURE("avx"),
    ZELTO_FEATURE("avx2"),     ZELTO_FEATURE("fma"),      ZELTO_FEATURE("avx512f"),
    ZELTO_FEATURE("avx512vl"), ZELTO_FEATURE("avx512dq"), ZELTO_FEATURE("avx512bw"),
};
#else
constexpr Feature kFeatures[] = {{"", nullptr}};
#endif
#undef ZELTO_FEATURE

// Calls visit(name) for each name of a comma-separated list; stops at the first false.
template <class Visit>
constexpr bool each_feature(std::string_view list, Visit visit) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    if (!visit(list.substr(0, comma))) return false;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return true;
}

constexpr const Feature* find_feature(std::string_view name) {
  for (const Feature& feature : kFeatures) {
    if (feature.name == name && feature.present != nullptr) return &feature;
  }
  return nullptr;
}

// A feature the build compiles for but this file cannot test would make a variant run on
// processors that lack it, so it stops the build instead.
constexpr bool all_testable() {
  for (Isa isa : kIsas) {
    if (!each_feature(features_of(isa), [](std::string_view name) { return find_feature(name); }))
      return false;
  }
  return true;
}
static_assert(all_testable(), "a kernel variant is compiled for a CPU feature isa.cpp cannot test");

// The features of isa this processor lacks, comma-separated; empty when it has them all.
std::string missing_features(Isa isa) {
  std::string missing;
  each_feature(features_of(isa), [&](std::string_view name) {
    if (!find_feature(name)->present()) {
      if (!missing.empty()) missing += ", ";
      missing += name;
    }
    return true;
  });
  return missing;
}

// Whether this processor has every feature isa is compiled for; allocates nothing.
bool runs_here(Isa isa) noexcept {
  return each_feature(features_of(isa),
                      [](std::string_view name) { return find_feature(name)->present(); });
}

// The last variant of kIsas this processor runs; baseline runs everywhere.
Isa widest_available() noexcept {
  Isa widest = Isa::baseline;
  for (const Isa isa : kIsas) {
    if (isa_available(isa)) widest = isa;
  }
  return widest;
}

// "baseline, avx2 or avx512": the variants' names as a refusal lists them.
std::string variant_names() {
  std::string names;
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    if (i > 0) names += i + 1 == kIsaCount ? " or " : ", ";
    names += isa_name(kIsas[i]);
  }
  return names;
}

}  // namespace

bool isa_available(Isa isa) noexcept {
  // The answer cannot change under a running process; each variant is tested once.
  static const auto available = [] {
    std::array<bool, kIsaCount> runs{};
    for (std::size_t i = 0; i < kIsaCount; ++i) runs[i] = runs_here(kIsas[i]);
    return runs;
  }();
  return available[static_cast<std::size_t>(isa)];
}

const char* isa_name(Isa isa) noexcept {
#define ZELTO_ISA_NAME(isa) #isa,
  static constexpr const char* kNames[] = {ZELTO_FOR_EACH_ISA(ZELTO_ISA_NAME)};
#undef ZELTO_ISA_NAME
  return kNames[static_cast<std::size_t>(isa)];
}

std::optional<Isa> isa_named(std::string_view name) noexcept {
  for (const Isa isa : kIsas) {
    if (name == isa_name(isa)) return isa;
  }
  return std::nullopt;
}

IsaChoice choose_isa(std::optional<std::string_view> setting) {
  const Isa widest = widest_available();
  if (!setting || setting->empty()) return {widest, {}};
  const std::string prefix = "ZELTO_ISA=" + std::string(*setting);
  const std::optional<Isa> named = isa_named(*setting);
  if (!named) return {widest, prefix + ": not a kernel variant (" + variant_names() + ")"};
  if (!isa_available(*named)) {
    return {widest, prefix + ": this processor or its operating system lacks " +
                        missing_features(*named)};
  }
  return {*named, {}};
}

const IsaChoice& process_isa() noexcept {
  static const IsaChoice choice = [] {
    const char* setting = std::getenv("ZELTO_ISA");
    return choose_isa(setting ? std::optional<std::string_view>(setting) : std::nullopt);
  }();
  return choice;
}

}  // namespace zelto
