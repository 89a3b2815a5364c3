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

}  // namespace zelto
