// The table of matrix kernels per instruction set, and the one-time choice among them.
#include "matrix/matrix_kernels.hpp"

namespace zelto {
namespace {

// One variant's kernels, from the namespace of its name.
#define ZELTO_MATRIX_KERNELS_ROW(isa)          \
  {                                            \
      .add_values = isa::add_values,           \
      .mul_values = isa::mul_values,           \
      .matmul_block = isa::matmul_block,       \
      .matmul_blocking = isa::matmul_blocking, \
      .transpose_rows = isa::transpose_rows,   \
  },
constexpr PerIsa<MatrixKernels> kKernels{{ZELTO_FOR_EACH_ISA(ZELTO_MATRIX_KERNELS_ROW)}};
#undef ZELTO_MATRIX_KERNELS_ROW

}  // namespace

// A table lookup, so tests and benches can run every variant side by side.
const MatrixKernels& matrix_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

const MatrixKernels& matrix_kernels() noexcept { return kKernels.chosen(); }

}  // namespace zelto
