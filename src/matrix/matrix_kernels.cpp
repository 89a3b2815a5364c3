// The table of matrix kernels per instruction set, and the one-time choice among them.
#include "matrix/kernels.hpp"

namespace zelto {
namespace {

constexpr MatrixKernels kBaseline{baseline::add_values, baseline::mul_values,
                                  baseline::matmul_rows, baseline::transpose_rows};
#if defined(ZELTO_X86_VARIANTS)
constexpr MatrixKernels kAvx2{avx2::add_values, avx2::mul_values, avx2::matmul_rows,
                              avx2::transpose_rows};
constexpr MatrixKernels kAvx512{avx512::add_values, avx512::mul_values, avx512::matmul_rows,
                                avx512::transpose_rows};
#endif

}  // namespace

// A table lookup, so tests and benches can run every variant side by side.
const MatrixKernels& matrix_kernels(Isa isa) noexcept {
  switch (isa) {
#if defined(ZELTO_X86_VARIANTS)
    case Isa::avx2:
      return kAvx2;
    case Isa::avx512:
      return kAvx512;
#endif
    default:
      return kBaseline;
  }
}

// Decided once: the processor does not change under a running process.
const MatrixKernels& matrix_kernels() noexcept {
  static const MatrixKernels& chosen = matrix_kernels(best_isa());
  return chosen;
}

}  // namespace zelto
