#include "core/isa.hpp"

namespace zelto {

bool isa_available(Isa isa) noexcept {
  switch (isa) {
    case Isa::baseline:
      return true;
#if defined(ZELTO_X86_VARIANTS)
    case Isa::avx2:
      return __builtin_cpu_supports("avx2");
    case Isa::avx512:
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

Isa best_isa() noexcept {
  static const Isa choice = [] {
    if (isa_available(Isa::avx512)) return Isa::avx512;
    if (isa_available(Isa::avx2)) return Isa::avx2;
    return Isa::baseline;
  }();
  return choice;
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

}  // namespace zelto
