// The matrix product's driver for operands read in place: small products, blocks of few rows,
// and products whose B has no more columns than one panel. The depth is cut into blocks
// between which each element's running sum waits in C, so the sum still runs from p = 0 to
// k - 1 in one chain; the columns are cut into panels whose B slice fits in L2, and each tile
// requests the B rows kAheadRows further down into L2 as it goes.
#include "matrix/matmul_drivers.hpp"
#include "matrix/matmul_micro_kernel.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// One narrower tile for the vecs (1 .. V) whole registers left after the full tiles.
template <std::size_t R, std::size_t V>
inline void tile_vecs(std::size_t vecs, const float* a, const float* b, float* c, Strides s,
                      DepthBlock block) noexcept {
  if constexpr (V > 1) {
    if (vecs < V) {
      tile_vecs<R, V - 1>(vecs, a, b, c, s, block);
      return;
    }
  }
  tile<R, V, true>(a, b, c, s, block);
}

// R rows across width (at least kLanes) columns: full tiles, one narrower tile, then the
// columns short of a register as the end of a whole one. Lanes are independent, so those
// columns follow the same sequence as all others, while the lanes before them repeat columns a
// full tile owns and are dropped.
template <std::size_t R>
inline void strip(const float* a, const float* b, float* c, Strides s, DepthBlock block,
                  std::size_t width) noexcept {
  std::size_t j = 0;
  for (; j + kPanelWidth <= width; j += kPanelWidth) {
    tile<R, kTileVecs, true>(a, b + j, c + j, s, block);
  }
  const std::size_t vecs = (width - j) / kLanes;
  if (vecs != 0) tile_vecs<R, kTileVecs - 1>(vecs, a, b + j, c + j, s, block);
  j += vecs * kLanes;
  if (j == width) return;
  const std::size_t dropped = kLanes - (width - j);
  tile<R, 1, true>(a, b + j - dropped, c + j - dropped, s, block, dropped);
}

// Picks the strip instantiation for the rows (1 .. kTileRows) of one strip.
template <std::size_t R>
inline void strip_rows(std::size_t rows, const float* a, const float* b, float* c, Strides s,
                       DepthBlock block, std::size_t width) noexcept {
  if constexpr (R > 1) {
    if (rows < R) {
      strip_rows<R - 1>(rows, a, b, c, s, block, width);
      return;
    }
  }
  strip<R>(a, b, c, s, block, width);
}

}  // namespace

void matmul_in_place(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                     MatmulBlock block, const MatmulBlocking& blocking) noexcept {
  const std::size_t first = block.row_first, j0 = block.col_first, j1 = block.col_end;
  const Strides s{k, n, n};
  const Strips strips(block.row_end - first);
  const std::size_t panel_cols = blocking.panels * kPanelWidth;
  for (std::size_t pc = 0; pc < k; pc += blocking.depth) {
    const std::size_t depth = smaller(blocking.depth, k - pc);
    const DepthBlock depth_block{depth, pc == 0, pc + depth == k};
    for (std::size_t jc = j0; jc < j1; jc += panel_cols) {
      // A last panel narrower than a register joins the one before, so every strip has one.
      std::size_t width = smaller(panel_cols, j1 - jc);
      if (j1 - jc - width < kLanes) width = j1 - jc;
      for (std::size_t t = 0; t < strips.count; ++t) {
        const std::size_t i = first + strips.begin(t);
        strip_rows<kTileRows>(first + strips.begin(t + 1) - i, a + i * k + pc, b + pc * n + jc,
                              c + i * n + jc, s, depth_block, width);
      }
      if (width == j1 - jc) break;
    }
  }
}

}  // namespace zelto::ZELTO_ISA
