// The matrix product's driver for packed operands, the path of large products. Block by block,
// B's pack_depth rows by pack_panels panels and A's pack_rows rows by pack_depth are copied
// into the caller's per-thread scratch; a group of group_panels B panels stays in L2 while
// every row strip of the A block passes over it, and the A strip stays in L1 for the panels of
// the group. Between depth blocks each element's running sum waits in C. Columns after the last
// whole panel are read in place.
#include "matrix/matmul_drivers.hpp"
#include "matrix/matmul_micro_kernel.hpp"
#include "matrix/matmul_packing.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// Picks the full-width tile on a packed panel for the rows (1 .. kTileRows) of one strip.
template <std::size_t R>
inline void panel_rows(std::size_t rows, const float* a, const float* b, float* c, Strides s,
                       DepthBlock block) noexcept {
  if constexpr (R > 1) {
    if (rows < R) {
      panel_rows<R - 1>(rows, a, b, c, s, block);
      return;
    }
  }
  tile<R, kTileVecs, false>(a, b, c, s, block);
}

}  // namespace

void matmul_packed(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                   MatmulBlock block, const MatmulBlocking& blocking, float* scratch) noexcept {
  const std::size_t first = block.row_first, end = block.row_end;
  const std::size_t j0 = block.col_first, j1 = block.col_end;
  const std::size_t pack_cols = blocking.pack_panels * kPanelWidth;
  const std::size_t group_cols = blocking.group_panels * kPanelWidth;
  float* const b_pack = scratch;
  float* const a_pack = scratch + blocking.pack_depth * pack_cols;
  const std::size_t whole_end = j0 + (j1 - j0) / kPanelWidth * kPanelWidth;
  for (std::size_t jc = j0; jc < whole_end; jc += pack_cols) {
    const std::size_t cols = smaller(pack_cols, whole_end - jc);
    for (std::size_t pc = 0; pc < k; pc += blocking.pack_depth) {
      const std::size_t depth = smaller(blocking.pack_depth, k - pc);
      const DepthBlock depth_block{depth, pc == 0, pc + depth == k};
      pack_b(b + pc * n + jc, n, depth, cols, b_pack);
      for (std::size_t ic = first; ic < end; ic += blocking.pack_rows) {
        const std::size_t rows = smaller(blocking.pack_rows, end - ic);
        pack_a(a + ic * k + pc, k, rows, depth, a_pack);
        const Strides s{depth, kPanelWidth, n};
        const Strips strips(rows);
        for (std::size_t jg = 0; jg < cols; jg += group_cols) {
          const std::size_t group_end = smaller(cols, jg + group_cols);
          for (std::size_t t = 0; t < strips.count; ++t) {
            const std::size_t i = strips.begin(t);
            const std::size_t h = strips.begin(t + 1) - i;
            for (std::size_t jr = jg; jr < group_end; jr += kPanelWidth) {
              panel_rows<kTileRows>(h, a_pack + i * depth, b_pack + jr * depth,
                                    c + (ic + i) * n + jc + jr, s, depth_block);
            }
          }
        }
      }
    }
  }
  const MatmulBlock rest{first, end, whole_end, j1};
  if (j1 - whole_end >= kLanes) {
    matmul_in_place(a, b, c, k, n, rest, blocking);
  } else if (whole_end < j1) {
    matmul_few_columns(a, b, c, k, n, rest);
  }
}

}  // namespace zelto::ZELTO_ISA
