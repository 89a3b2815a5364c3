// Instruction sets the kernels are compiled for, and the one run-time choice among them.
#pragma once

namespace zelto {

// Each kernel file is compiled once per entry, in a namespace of the same name.
enum class Isa { baseline, avx2, avx512 };

// True when this build holds the variant and this processor can run it.
bool isa_available(Isa isa) noexcept;

// The widest available variant, decided at the first call and fixed for the process.
Isa best_isa() noexcept;

// The variant's namespace name, for test names and bench reports.
const char* isa_name(Isa isa) noexcept;

// One table of kernels per compiled instruction set; a kernel family keeps one of these and
// looks its variants up by Isa, so tests and benches can run every variant side by side.
template <class Table>
struct PerIsa {
  Table baseline;
#if defined(ZELTO_X86_VARIANTS)
  Table avx2;
  Table avx512;
#endif

  // The table for isa; the baseline one where this build has no such variant.
  constexpr const Table& pick(Isa isa) const noexcept {
#if defined(ZELTO_X86_VARIANTS)
    if (isa == Isa::avx2) return avx2;
    if (isa == Isa::avx512) return avx512;
#endif
    return baseline;
  }
};

}  // namespace zelto
