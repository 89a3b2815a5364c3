// The table of solver kernels per instruction set, and the one-time choice among them.
#include "solver/solver_kernels.hpp"

namespace zelto {
namespace {

// One variant's kernels, from the namespace of its name.
#define ZELTO_SOLVER_KERNELS_ROW(isa)            \
  {                                              \
      .predict_rows = isa::predict_rows,         \
      .gradient_rows = isa::gradient_rows,       \
      .leaf_from_errors = isa::leaf_from_errors, \
      .tree_leaf = isa::tree_leaf,               \
      .add_into = isa::add_into,                 \
      .descend = isa::descend,                   \
  },
constexpr PerIsa<SolverKernels> kKernels{{ZELTO_FOR_EACH_ISA(ZELTO_SOLVER_KERNELS_ROW)}};
#undef ZELTO_SOLVER_KERNELS_ROW

}  // namespace

// A table lookup, so tests and benches can run every variant side by side.
const SolverKernels& solver_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

const SolverKernels& solver_kernels() noexcept { return kKernels.chosen(); }

}  // namespace zelto
