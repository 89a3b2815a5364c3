// sinf, cosf and tanf over whole registers, giving for every input the bits of the C library
// build this process calls (glibc 2.36 on x86-64: __sinf_fma, __cosf_fma and the generic
// tanf), and the heavy leaf built on them.
//
// Every lane repeats that build's arithmetic operation for operation: the same constants, the
// same reductions, the same polynomials in the same order, one rounding per operation, and a
// fused multiply-add (an intrinsic, since the project compiles with -ffp-contract=off) exactly
// where the library's binary fuses. Branches of the scalar code become masks; a branch no lane
// takes is skipped. The functions are written once over the register width
// (register_width.hpp): each instruction set runs its own register, and AVX-512 also 256-bit
// ones, for the few elements at the end of a run. The reduction is in trig_reduction.hpp, the
// functions in sincosf_lanes.hpp and tanf_lanes.hpp; here, the lanes that need the library,
// and the loops over arrays and chains.
#include <math.h>

#include <cstddef>
#include <cstdint>

#include "heavy/lockstep.hpp"
#include "heavy/trig_kernels.hpp"

#if defined(__AVX2__) && defined(__FMA__)
#include "heavy/register_width.hpp"
#include "heavy/sincosf_lanes.hpp"
#include "heavy/tanf_lanes.hpp"
#include "heavy/trig_reduction.hpp"
#define ZELTO_TRIG_VECTOR 1
#endif

namespace zelto::ZELTO_ISA {

#if defined(ZELTO_TRIG_VECTOR)
const bool mirrors_libm = true;

namespace {

// The lanes with |x| >= 120, infinities and NaN: rare, and the only ones that need the
// large-argument reduction or the special-value results.
template <std::size_t B>
ZELTO_INLINE unsigned rare_lanes(typename Width<B>::F x) noexcept {
  using I = typename Width<B>::I;
  using U = typename Width<B>::U;
  const I top = reinterpret_cast<I>(reinterpret_cast<U>(x) >> 20) & 0x7ff;
  return lane_bits(compare<Compare::ge>(top, kTopLarge));
}

// The common path when no lane is rare; otherwise a 512-bit register computes the rare lanes
// too, and narrower ones take them from the library, one call per rare lane.
template <std::size_t B, class Common, class Rare>
ZELTO_INLINE typename Width<B>::F with_rare_lanes(typename Width<B>::F x, Common common,
                                                  Rare rare,
                                                  float (*library)(float) noexcept) noexcept {
  unsigned lanes = rare_lanes<B>(x);
  if (__builtin_expect(lanes == 0, 1)) return common(x);
  if constexpr (kRareInRegister<B>) {
    (void)library;
    return rare(x);
  } else {
    (void)rare;
    typename Width<B>::F out = common(x);
    for (; lanes != 0; lanes &= lanes - 1) {
      const int k = __builtin_ctz(lanes);
      out[k] = library(x[k]);
    }
    return out;
  }
}

// sinf, cosf and tanf of every lane of a register.
template <std::size_t B>
ZELTO_INLINE typename Width<B>::F sinf_register(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, sincosf_lanes<B, false, false>,
                            sincosf_lanes<B, false, kRareInRegister<B>>, ::sinf);
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F cosf_register(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, sincosf_lanes<B, true, false>,
                            sincosf_lanes<B, true, kRareInRegister<B>>, ::cosf);
}

template <std::size_t B>
ZELTO_INLINE typename Width<B>::F tanf_register(typename Width<B>::F x) noexcept {
  return with_rare_lanes<B>(x, tanf_lanes<B, false>, tanf_lanes<B, kRareInRegister<B>>, ::tanf);
}

// count elements (at most one register of width B) through fn in a register whose unused
// lanes repeat the first element, so they take no branch a real lane does not take.
template <std::size_t B, class Fn>
ZELTO_INLINE void map_short(const float* in, float* out, std::size_t count, Fn fn) noexcept {
  store_first<B>(out, count, fn(load_first<B>(in, count, in[0])));
}

// Applies fn_full to whole registers; the last partial one goes through the 256-bit fn_tail
// when it fits there, else through a padded full register.
template <class FnFull, class FnTail>
ZELTO_INLINE void map_values(const float* in, float* out, std::size_t count, FnFull fn_full,
                             FnTail fn_tail) noexcept {
  constexpr std::size_t kLanes = Width<kRegisterBytes>::kLanes;
  std::size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    store_lanes<kRegisterBytes>(out + i, fn_full(load_lanes<kRegisterBytes>(in + i)));
  }
  if (count - i > Width<kTailBytes>::kLanes) {
    map_short<kRegisterBytes>(in + i, out + i, count - i, fn_full);
  } else if (i < count) {
    map_short<kTailBytes>(in + i, out + i, count - i, fn_tail);
  }
}

// `width` elements' chains (at most kChains registers of width B) run their repetitions
// together, unused lanes repeating the first element; the finished terms go to out[0 .. width).
template <std::size_t B, std::size_t kChains>
ZELTO_INLINE void chain_block(const float* in, std::size_t width, std::uint64_t iterations,
                              float* out) noexcept {
  using F = typename Width<B>::F;
  using I = typename Width<B>::I;
  constexpr std::size_t kLanes = Width<B>::kLanes;
  const I sign_clear = broadcast<I>(0x7fffffff);
  float terms[kChains * kLanes];
  for (std::size_t k = 0; k < kChains * kLanes; ++k) terms[k] = in[k < width ? k : 0];
  F x[kChains];
  for (std::size_t c = 0; c < kChains; ++c) x[c] = load_lanes<B>(terms + c * kLanes);
  for (std::uint64_t r = 0; r < iterations; ++r) {
    for (std::size_t c = 0; c < kChains; ++c) x[c] = sinf_register<B>(x[c]);
    for (std::size_t c = 0; c < kChains; ++c) x[c] = cosf_register<B>(x[c]);
    for (std::size_t c = 0; c < kChains; ++c) {
      x[c] = from_bits<B>(to_bits<B>(tanf_register<B>(x[c])) & sign_clear);
    }
  }
  for (std::size_t c = 0; c < kChains; ++c) store_lanes<B>(terms + c * kLanes, x[c]);
  for (std::size_t k = 0; k < width; ++k) out[k] = terms[k];
}

// Registers advanced together in the chain: each repetition is a long serial dependency, so
// independent registers fill the pipelines while one waits; two are fastest on both widths
// (measurements in bench/heavy_leaves.md).
constexpr std::size_t kChains = 2;

}  // namespace

void sinf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, sinf_register<kRegisterBytes>, sinf_register<kTailBytes>);
}

void cosf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, cosf_register<kRegisterBytes>, cosf_register<kTailBytes>);
}

void tanf_values(const float* in, float* out, std::size_t count) noexcept {
  map_values(in, out, count, tanf_register<kRegisterBytes>, tanf_register<kTailBytes>);
}

// Up to this many elements, the library's own calls advanced in lockstep beat a vector block:
// a repetition of a block costs about its chain's latency however few lanes are used
// (measurements in bench/heavy_leaves.md).
constexpr std::size_t kLibraryMax = 3;

// Elements per full block of this instruction set's registers.
constexpr std::size_t kBlock = kChains * Width<kRegisterBytes>::kLanes;

// Blocks of kChains full registers while more than two 256-bit registers' worth remains; the
// rest, which is all of a short run, in the narrowest block that holds it: two or one 256-bit
// registers, or the library's calls for the last few elements, since a short leaf costs what
// its block's chain does however few lanes it fills. Each element gets the same operations in
// every block, so the split changes no bit.
void chain_terms(const float* in, std::size_t count, std::uint64_t iterations,
                 float* out) noexcept {
  constexpr std::size_t kTailLanes = Width<kTailBytes>::kLanes;
  std::size_t rest = count;
  for (; rest > kChains * kTailLanes; in += kBlock, out += kBlock) {
    const std::size_t width = rest < kBlock ? rest : kBlock;
    chain_block<kRegisterBytes, kChains>(in, width, iterations, out);
    rest -= width;
  }
  if (rest > kTailLanes) return chain_block<kTailBytes, 2>(in, rest, iterations, out);
  if (rest > kLibraryMax) return chain_block<kTailBytes, 1>(in, rest, iterations, out);
  heavy::terms_lockstep(in, rest, iterations, out);
}

// The terms of whole blocks at a time, then added in index order: chain_terms on runs that are
// multiples of kBlock splits no block, so each term is the one chain_terms gives for the leaf.
float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,
                     float acc) noexcept {
  constexpr std::size_t kRun = 8 * kBlock;
  float terms[kRun];
  for (std::size_t first = 0; first < count; first += kRun) {
    const std::size_t width = count - first < kRun ? count - first : kRun;
    chain_terms(in + first, width, iterations, terms);
    for (std::size_t k = 0; k < width; ++k) acc = acc + terms[k];
  }
  return acc;
}

#else  // no vector variant: the library's own calls

const bool mirrors_libm = false;

void sinf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::sinf(in[i]);
}

void cosf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::cosf(in[i]);
}

void tanf_values(const float* in, float* out, std::size_t count) noexcept {
  for (std::size_t i = 0; i < count; ++i) out[i] = ::tanf(in[i]);
}

void chain_terms(const float* in, std::size_t count, std::uint64_t iterations,
                 float* out) noexcept {
  heavy::terms_lockstep(in, count, iterations, out);
}

float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,
                     float acc) noexcept {
  return heavy::leaf_sum_lockstep(in, count, iterations, acc);
}

#endif

}  // namespace zelto::ZELTO_ISA
