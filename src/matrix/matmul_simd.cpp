// The matrix product kernel of one instruction set: its block sizes, and the choice of driver
// for one block of C. The sizes are those of bench/matmul.md, the same in floats for every
// variant: the packed B block (pack_depth x pack_panels panels, 1.5 MiB) sits in L3 with its
// panel groups in L2, the packed A block in L2; B read in place is cut into panels of 512 KiB.
#include "matrix/matmul_drivers.hpp"
#include "matrix/matmul_micro_kernel.hpp"
#include "matrix/matrix_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

constexpr MatmulBlocking kBlocking{
    .depth = 512,
    .panels = 256 / kPanelWidth,
    .pack_depth = 384,
    .pack_rows = 96,
    .pack_panels = 1024 / kPanelWidth,
    .group_panels = 4,
    // Packing pays from this many multiply-adds per B element copied, i.e. rows of C per block
    // (copying costs as much as about 8 multiply-adds), and from this many B elements: a
    // smaller B stays in L2 whatever its stride.
    .pack_min_rows = 128,
    .pack_min_b = std::size_t{256} << 10,
};
static_assert(256 % kPanelWidth == 0 && 1024 % kPanelWidth == 0);
static_assert(packed_floats(kBlocking, kPanelWidth) <= kMatmulScratchFloats);

}  // namespace

MatmulBlocking matmul_blocking() noexcept { return kBlocking; }

void matmul_block(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                  MatmulBlock block, const MatmulBlocking& blocking, float* scratch) noexcept {
  const std::size_t rows = block.row_end - block.row_first;
  const std::size_t cols = block.col_end - block.col_first;
  if (rows == 0 || cols == 0) return;
  if (k == 0) {
    for (std::size_t i = block.row_first; i < block.row_end; ++i) {
      for (std::size_t j = block.col_first; j < block.col_end; ++j) c[i * n + j] = 0.0f;
    }
  } else if (cols < kLanes) {
    matmul_few_columns(a, b, c, k, n, block);
  } else if (rows >= blocking.pack_min_rows && cols > kPanelWidth && k * n >= blocking.pack_min_b) {
    matmul_packed(a, b, c, k, n, block, blocking, scratch);
  } else {
    matmul_in_place(a, b, c, k, n, block, blocking);
  }
}

}  // namespace zelto::ZELTO_ISA
