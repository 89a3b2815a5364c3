// The blocking drivers of the matrix product, for the kernel files of one instruction set: each
// computes one block of C (rows [row_first, row_end) x columns [col_first, col_end)) of
// c (r x n) = a (r x k) times b (k x n), k > 0, every element summed in ascending p from +0.0
// and made canonical as it is stored for the last time. matmul_block (matmul_simd.cpp) picks one.
#pragma once

#include <cstddef>

#include "core/simd.hpp"
#include "matrix/matmul_blocking.hpp"

namespace zelto::ZELTO_ISA {

// Both operands read in place, cut into depth blocks and column panels; at least one register
// of columns.
void matmul_in_place(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                     MatmulBlock block, const MatmulBlocking& blocking) noexcept;

// Blocks of A and B copied into scratch (kMatmulScratchFloats, 64-byte aligned) as the
// micro-kernel reads them; the columns after the last whole panel through the other drivers.
void matmul_packed(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                   MatmulBlock block, const MatmulBlocking& blocking, float* scratch) noexcept;

// Fewer columns than one register (a matrix times a vector): rows in lanes.
void matmul_few_columns(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                        MatmulBlock block) noexcept;

// The smaller of x and y, in the variant's own code (std::min would be an out-of-line template
// the linker may share with another variant's copy).
inline std::size_t smaller(std::size_t x, std::size_t y) noexcept { return x < y ? x : y; }

}  // namespace zelto::ZELTO_ISA
