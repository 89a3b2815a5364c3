// The matrix product's packing, for the kernel files of one instruction set: blocks of B and A
// copied into the order the micro-kernel reads them. B becomes panels of one tile's width whose
// rows follow each other (one sequential stream per tile, whatever the stride of B), A rows
// follow each other (no 4 KiB stride between the rows a tile reads).
#pragma once

#include <cstddef>

#include "core/simd.hpp"

namespace zelto::ZELTO_ISA {

// B rows [0, depth) x columns [0, cols) (cols a multiple of kPanelWidth, row stride n) as
// consecutive panels, each depth rows of kPanelWidth floats.
void pack_b(const float* b, std::size_t n, std::size_t depth, std::size_t cols,
            float* out) noexcept;

// A rows [0, rows) x columns [0, depth) (row stride k), row after row.
void pack_a(const float* a, std::size_t k, std::size_t rows, std::size_t depth,
            float* out) noexcept;

}  // namespace zelto::ZELTO_ISA
