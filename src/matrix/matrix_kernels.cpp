// The table of matrix kernels per instruction set, and the one-time choice among them.
#include "matrix/matrix_kernels.hpp"

namespace zelto {
namespace {

constexpr PerIsa<MatrixKernels> kKernels{
    {baseline::add_values, baseline::mul_values, baseline::matmul_block, baseline::matmul_blocking,
     baseline::transpose_rows},
#if defined(ZELTO_X86_VARIANTS)
    {avx2::add_values, avx2::mul_values, avx2::matmul_block, avx2::matmul_blocking,
     avx2::transpose_rows},
    {avx512::add_values, avx512::mul_values, avx512::matmul_block, avx512::matmul_blocking,
     avx512::transpose_rows},
#endif
};

}  // namespace

// A table lookup, so tests and benches can run every variant side by side.
const MatrixKernels& matrix_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

const MatrixKernels& matrix_kernels() noexcept { return kKernels.chosen(); }

}  // namespace zelto
