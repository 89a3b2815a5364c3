// The table of trigonometric kernels per instruction set.
#include "heavy/trig_kernels.hpp"

namespace zelto {
namespace {

constexpr PerIsa<TrigKernels> kKernels{
    {false, baseline::sinf_values, baseline::cosf_values, baseline::tanf_values,
     baseline::chain_terms, baseline::chain_leaf_sum},
#if defined(ZELTO_X86_VARIANTS)
    {true, avx2::sinf_values, avx2::cosf_values, avx2::tanf_values, avx2::chain_terms,
     avx2::chain_leaf_sum},
    {true, avx512::sinf_values, avx512::cosf_values, avx512::tanf_values, avx512::chain_terms,
     avx512::chain_leaf_sum},
#endif
};

}  // namespace

// A table lookup, so tests, the guard and benches can run every variant side by side.
const TrigKernels& trig_kernels(Isa isa) noexcept { return kKernels.pick(isa); }

}  // namespace zelto
