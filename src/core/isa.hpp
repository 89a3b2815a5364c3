// Instruction sets the kernels are compiled for, and the one run-time choice among them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelto {

// Each kernel file is compiled once per entry, in a namespace of the same name.
enum class Isa { baseline, avx2, avx512 };

// True when this build holds the variant and this processor (and its operating system, which
// must save the wider registers) supports every CPU feature the variant was compiled for.
bool isa_available(Isa isa) noexcept;

// The variant's namespace name, as ZELTO_ISA takes it and tests and benches report it.
const char* isa_name(Isa isa) noexcept;

// The variant a setting of ZELTO_ISA asks for, or why it cannot run here.
struct IsaChoice {
  Isa isa;
  std::string refusal;  // empty when isa is the asked-for variant
};

// No setting (or an empty one) gives the widest available variant; a variant name gives that
// variant where it is available. Anything else is refused, with the widest variant as the
// stand-in so kernels still run safely.
IsaChoice choose_isa(std::optional<std::string_view> setting);

// choose_isa on ZELTO_ISA, read at the first call and fixed for the process.
const IsaChoice& process_isa() noexcept;

// The variant every kernel family runs in this process.
inline Isa chosen_isa() noexcept { return process_isa().isa; }

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
  constexpr const Table& pick([[maybe_unused]] Isa isa) const noexcept {
#if defined(ZELTO_X86_VARIANTS)
    if (isa == Isa::avx2) return avx2;
    if (isa == Isa::avx512) return avx512;
#endif
    return baseline;
  }

  // The table of the process's variant, the one the operations use.
  const Table& chosen() const noexcept { return pick(chosen_isa()); }
};

}  // namespace zelto
