#include "core/isa.hpp"

#include <cstdlib>

namespace zelto {
namespace {

#if defined(ZELTO_X86_VARIANTS)
constexpr Isa kWidestFirst[] = {Isa::avx512, Isa::avx2, Isa::baseline};
#else
constexpr Isa kWidestFirst[] = {Isa::baseline};
#endif

// The CPU features each variant is compiled for, comma-separated: the build compiles the
// variant's kernel files with -m<feature> for exactly these names.
constexpr std::string_view features_of(Isa isa) noexcept {
  switch (isa) {
#if defined(ZELTO_X86_VARIANTS)
    case Isa::avx2:
      return ZELTO_ISA_FEATURES_avx2;
    case Isa::avx512:
      return ZELTO_ISA_FEATURES_avx512;
#endif
    default:
      return ZELTO_ISA_FEATURES_baseline;
  }
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
#if defined(ZELTO_X86_VARIANTS)
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
  for (Isa isa : kWidestFirst) {
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

bool compiled(Isa isa) noexcept {
  for (Isa variant : kWidestFirst) {
    if (variant == isa) return true;
  }
  return false;
}

// Whether this processor has every feature isa is compiled for; allocates nothing.
bool runs_here(Isa isa) noexcept {
  return compiled(isa) && each_feature(features_of(isa), [](std::string_view name) {
           return find_feature(name)->present();
         });
}

Isa widest_available() noexcept {
  for (Isa isa : kWidestFirst) {
    if (isa_available(isa)) return isa;
  }
  return Isa::baseline;
}

}  // namespace

bool isa_available(Isa isa) noexcept {
  // The answer cannot change under a running process; each variant is tested once.
  static const bool available[] = {runs_here(Isa::baseline), runs_here(Isa::avx2),
                                   runs_here(Isa::avx512)};
  return available[static_cast<int>(isa)];
}

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::avx2:
      return "avx2";
    case Isa::avx512:
      return "avx512";
    default:
      return "baseline";
  }
}

IsaChoice choose_isa(std::optional<std::string_view> setting) {
  const Isa widest = widest_available();
  if (!setting || setting->empty()) return {widest, {}};
  const std::string prefix = "ZELTO_ISA=" + std::string(*setting);
  for (Isa isa : {Isa::baseline, Isa::avx2, Isa::avx512}) {
    if (*setting != isa_name(isa)) continue;
    if (!compiled(isa)) {
      return {widest, prefix + ": this build has no " + isa_name(isa) + " kernels"};
    }
    if (!isa_available(isa)) {
      return {widest, prefix + ": this processor or its operating system lacks " +
                          missing_features(isa)};
    }
    return {isa, {}};
  }
  return {widest, prefix + ": not a kernel variant (baseline, avx2 or avx512)"};
}

const IsaChoice& process_isa() noexcept {
  static const IsaChoice choice = [] {
    const char* setting = std::getenv("ZELTO_ISA");
    return choose_isa(setting ? std::optional<std::string_view>(setting) : std::nullopt);
  }();
  return choice;
}

}  // namespace zelto
