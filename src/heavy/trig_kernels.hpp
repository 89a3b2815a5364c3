// Vector sinf, cosf and tanf that give the C library's bits, and the heavy leaf built on them,
// compiled once per instruction set (trig_simd.cpp), with the table that picks one.
//
// The x86 variants repeat the arithmetic of one known C library build (glibc 2.36's FMA sinf
// and cosf, its generic tanf); they are only used where libm_guard.hpp has confirmed that the
// process calls that build. The baseline variant calls the C library itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/isa.hpp"

// Declares one instruction set's kernels in the namespace of that name.
#define ZELTO_TRIG_KERNELS(isa)                                                              \
  namespace zelto::isa {                                                                     \
  /* True where the functions below repeat the C library's arithmetic in registers, false */ \
  /* where they call the library. */                                                        \
  extern const bool mirrors_libm;                                                           \
  /* out[i] = sinf(in[i]) for i < count. */                                                 \
  void sinf_values(const float* in, float* out, std::size_t count) noexcept;                \
  /* out[i] = cosf(in[i]) for i < count. */                                                 \
  void cosf_values(const float* in, float* out, std::size_t count) noexcept;                \
  /* out[i] = tanf(in[i]) for i < count. */                                                 \
  void tanf_values(const float* in, float* out, std::size_t count) noexcept;                \
  /* out[i] = term(in[i]) for i < count, each term being `iterations` repetitions of */      \
  /* x <- |tanf(cosf(sinf(x)))|. */                                                         \
  void chain_terms(const float* in, std::size_t count, std::uint64_t iterations,            \
                   float* out) noexcept;                                                     \
  /* acc + term(in[0]) + ... + term(in[count - 1]), added in index order, each term being */ \
  /* `iterations` repetitions of x <- |tanf(cosf(sinf(x)))|. */                             \
  float chain_leaf_sum(const float* in, std::size_t count, std::uint64_t iterations,        \
                       float acc) noexcept;                                                  \
  }

ZELTO_FOR_EACH_ISA(ZELTO_TRIG_KERNELS)

namespace zelto {

// One instruction set's kernels, so callers bind the choice once.
struct TrigKernels {
  // False for a variant whose functions are the C library's own calls (baseline). A reference
  // to the variant's constant, which is data: reading it runs none of the variant's code.
  const bool& mirrors_libm;
  void (*sinf_values)(const float*, float*, std::size_t) noexcept;
  void (*cosf_values)(const float*, float*, std::size_t) noexcept;
  void (*tanf_values)(const float*, float*, std::size_t) noexcept;
  void (*chain_terms)(const float*, std::size_t, std::uint64_t, float*) noexcept;
  float (*chain_leaf_sum)(const float*, std::size_t, std::uint64_t, float) noexcept;
};

// The kernels compiled for isa; the caller checks isa_available(isa) and the library guard.
const TrigKernels& trig_kernels(Isa isa) noexcept;

}  // namespace zelto
