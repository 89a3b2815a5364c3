// The block sizes of the matrix product, a parameter set per instruction set. Each variant
// exports its own (matrix_kernels.hpp); tests shrink them so that small matrices cross every
// block edge of every path. Column widths count panels, the variant's register-tile width,
// so every set of positive values is valid for every variant.
#pragma once

#include <cstddef>

namespace zelto {

// The rectangle of C that one call of a matmul kernel computes.
struct MatmulBlock {
  std::size_t row_first, row_end;
  std::size_t col_first, col_end;
};

struct MatmulBlocking {
  // Operands read in place: rows of B per depth block, and panels per column block.
  std::size_t depth;
  std::size_t panels;
  // Packed operands: rows of B per depth block, rows of A per row block, panels per column
  // block, and panels that share one pass of the A block's row strips.
  std::size_t pack_depth;
  std::size_t pack_rows;
  std::size_t pack_panels;
  std::size_t group_panels;
  // A block of C is computed from packed copies when it has at least pack_min_rows rows, more
  // columns than one panel, and B at least pack_min_b elements.
  std::size_t pack_min_rows;
  std::size_t pack_min_b;
};

// Floats of per-thread scratch a matmul kernel may use for packed copies of A and B blocks.
inline constexpr std::size_t kMatmulScratchFloats = std::size_t{1} << 19;  // 2 MiB

// Floats the packed copies of one block take with panels panel_width floats wide, which must
// not exceed kMatmulScratchFloats.
constexpr std::size_t packed_floats(const MatmulBlocking& blocking,
                                    std::size_t panel_width) noexcept {
  return blocking.pack_depth * (blocking.pack_panels * panel_width + blocking.pack_rows);
}

}  // namespace zelto
