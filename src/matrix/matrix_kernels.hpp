// The matrix kernels, compiled once per instruction set, and the table that picks one.
//
// Each kernel writes one contiguous range of its output; the parallel loops in matrix.cpp hand it
// a whole leaf at a time. Every variant performs, for every output element, exactly the
// operations of the plain loop in the same order, and stores every NaN that add, mul and matmul
// compute as the canonical quiet NaN (canonical_nan.hpp), so all variants agree bit for bit.
#pragma once

#include <cstddef>

#include "core/isa.hpp"
#include "matrix/matmul_blocking.hpp"

// Declares one instruction set's kernels in the namespace of that name.
#define ZELTO_DECLARE_MATRIX_KERNELS(isa)                                                    \
  namespace zelto::isa {                                                                     \
  /* out[i] = in[i] + v for i < count. */                                                   \
  void add_values(const float* in, float* out, std::size_t count, float v) noexcept;        \
  /* out[i] = in[i] * v for i < count. */                                                   \
  void mul_values(const float* in, float* out, std::size_t count, float v) noexcept;        \
  /* The block of c (r x n, any contents) = a (r x k) times b (k x n), each element summed */ \
  /* in ascending p from +0.0, with the given block sizes; scratch holds                   */ \
  /* kMatmulScratchFloats, 64-byte aligned, and packed_floats(blocking, panel) fit in it.  */ \
  void matmul_block(const float* a, const float* b, float* c, std::size_t k, std::size_t n, \
                    MatmulBlock block, const MatmulBlocking& blocking,                      \
                    float* scratch) noexcept;                                               \
  /* This instruction set's block sizes for matmul_block. */                                \
  MatmulBlocking matmul_blocking() noexcept;                                                \
  /* Rows [first, end) of t (c x r) from a (r x c): t[i][j] = a[j][i]. */                   \
  void transpose_rows(const float* a, float* t, std::size_t r, std::size_t c,               \
                      std::size_t first, std::size_t end) noexcept;                         \
  }

ZELTO_FOR_EACH_ISA(ZELTO_DECLARE_MATRIX_KERNELS)

namespace zelto {

// One instruction set's kernels, so callers bind the choice once.
struct MatrixKernels {
  void (*add_values)(const float*, float*, std::size_t, float) noexcept;
  void (*mul_values)(const float*, float*, std::size_t, float) noexcept;
  void (*matmul_block)(const float*, const float*, float*, std::size_t, std::size_t,
                       MatmulBlock, const MatmulBlocking&, float*) noexcept;
  MatmulBlocking (*matmul_blocking)() noexcept;
  void (*transpose_rows)(const float*, float*, std::size_t, std::size_t, std::size_t,
                         std::size_t) noexcept;
};

// The kernels compiled for isa; the caller checks isa_available(isa) before running them.
const MatrixKernels& matrix_kernels(Isa isa) noexcept;

// The kernels of chosen_isa(), the variant this process runs.
const MatrixKernels& matrix_kernels() noexcept;

}  // namespace zelto
