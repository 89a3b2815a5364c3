// Whether a vector variant of the trigonometric kernels gives the bits of the sinf, cosf and
// tanf this process calls.
#pragma once

#include "core/isa.hpp"

namespace zelto::heavy {

// True when the variant of isa mirrors the C library and this processor can run it, the
// process runs the one library build it mirrors (glibc 2.36, whose sinf and cosf pick their
// FMA build when FMA and AVX2 are usable), its calls of sinf, cosf and tanf reach that
// library's own definitions (no interposer), and the variant agrees bit for bit with the
// library's own calls on a fixed set of inputs: every special value, the inputs where the FMA
// and SSE2 builds of sinf and cosf differ, and samples from every binade of both signs.
// Anything unknown gives false. Costs about 1-2 ms; the caller decides once per process.
bool libm_mirrored(Isa isa) noexcept;

}  // namespace zelto::heavy
