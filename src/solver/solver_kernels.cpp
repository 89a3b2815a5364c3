// The table of solver kernels per instruction set, and the one-time choice among them.
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

constexpr SolverKernels kBaseline{baseline::predict_rows, baseline::gradient_rows,
                                  baseline::add_into, baseline::descend};
#if defined(ZELTO_X86_VARIANTS)
constexpr SolverKernels kAvx2{avx2::predict_rows, avx2::gradient_rows, avx2::add_into,
                              avx2::descend};
constexpr SolverKernels kAvx512{avx512::predict_rows, avx512::gradient_rows, avx512::add_into,
                                avx512::descend};
#endif

}  // namespace

// A table lookup, so tests can run every variant side by side.
const SolverKernels& solver_kernels(Isa isa) noexcept {
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
const SolverKernels& solver_kernels() noexcept {
  static const SolverKernels& chosen = solver_kernels(best_isa());
  return chosen;
}

}  // namespace zelto
