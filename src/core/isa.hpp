// Instruction sets the kernels are compiled for, and the one run-time choice among them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// ZELTO_FOR_EACH_ISA(X): X(name) for each variant this build compiles, from CMakeLists.txt's
// ZELTO_ISAS: baseline first, then from narrower to wider.
#include "isa_list.hpp"

namespace zelto {

// Each kernel file is compiled once per entry, in a namespace of the same name.
#define ZELTO_ISA_ENUMERATOR(isa) isa,
enum class Isa { ZELTO_FOR_EACH_ISA(ZELTO_ISA_ENUMERATOR) };
#undef ZELTO_ISA_ENUMERATOR

// Every variant of this build, in the list's order; where several can run, the last is chosen.
#define ZELTO_ISA_VALUE(isa) Isa::isa,
inline constexpr Isa kIsas[] = {ZELTO_FOR_EACH_ISA(ZELTO_ISA_VALUE)};
#undef ZELTO_ISA_VALUE

inline constexpr std::size_t kIsaCount = sizeof kIsas / sizeof kIsas[0];

// True when this processor (and its operating system, which must save the wider registers)
// supports every CPU feature the variant was compiled for.
bool isa_available(Isa isa) noexcept;

// The variant's namespace name, as ZELTO_ISA takes it and tests and benches report it.
const char* isa_name(Isa isa) noexcept;

// The variant of that name, if this build has one.
std::optional<Isa> isa_named(std::string_view name) noexcept;

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

// One table of kernels per variant, in the order of kIsas; a kernel family keeps one of these
// and looks its variants up by Isa, so tests and benches can run every variant side by side.
// A family fills it with one row per variant: {{ZELTO_FOR_EACH_ISA(ROW)}}.
template <class Table>
struct PerIsa {
  Table tables[kIsaCount];

  constexpr const Table& pick(Isa isa) const noexcept {
    return tables[static_cast<std::size_t>(isa)];
  }

  // The table of the process's variant, the one the operations use.
  const Table& chosen() const noexcept { return pick(chosen_isa()); }
};

}  // namespace zelto
