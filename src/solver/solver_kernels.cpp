// The table of solver kernels per instruction set, and the one-time choice among them.
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

constexpr PerIsa<SolverKernels> kKernels{
    {baseline::predict_rows, baseline::predict_errors, baseline::gradient_rows, baseline::leaf_from_errors,
     baseline::tree_rows,
     baseline::add_into, baseline::descend},
#if defined(ZELTO_X86_VARIANTS)
    {avx2::predict_rows, avx2::predict_errors, avx2::gradient_rows, avx2::leaf_from_errors,
     avx2::tree_rows,
     avx2::add_into, avx2::descend},
    {avx512::predict_rows, avx512::predict_errors, avx512::gradient_rows, avx512::leaf_from_errors,
     avx512::tree_rows,
     avx512::add_into, avx512::descend},
#endif
};

}  // namespace

// A table lookup, so tests and benches can run every variant side by side.
const SolverKernels& solver_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

const SolverKernels& solver_kernels() noexcept { return kKernels.chosen(); }

}  // namespace zelto
