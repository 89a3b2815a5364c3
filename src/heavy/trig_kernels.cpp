// The table of trigonometric kernels per instruction set.
#include "heavy/trig_kernels.hpp"

namespace zelto {
namespace {

// One variant's kernels, from the namespace of its name.
#define ZELTO_TRIG_KERNELS_ROW(isa)          \
  {                                          \
      .mirrors_libm = isa::mirrors_libm,     \
      .sinf_values = isa::sinf_values,       \
      .cosf_values = isa::cosf_values,       \
      .tanf_values = isa::tanf_values,       \
      .chain_terms = isa::chain_terms,       \
      .chain_leaf_sum = isa::chain_leaf_sum, \
  },
constexpr PerIsa<TrigKernels> kKernels{{ZELTO_FOR_EACH_ISA(ZELTO_TRIG_KERNELS_ROW)}};
#undef ZELTO_TRIG_KERNELS_ROW

}  // namespace

// A table lookup, so tests, the guard and benches can run every variant side by side.
const TrigKernels& trig_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

}  // namespace zelto
