// The matrix product's division over the pool: blocks of C along its longer side, each
// computed by one kernel call with the running thread's packing scratch.
#pragma once

#include <cstddef>

#include "matrix/matrix_kernels.hpp"

namespace zelto {

// c (r x n, any contents) = a (r x k) times b (k x n) by kernels.matmul_block with the given
// block sizes (the kernels' own, kernels.matmul_blocking(), outside tests), on the pool; n > 0.
// Every element gets the same operations whatever the division, so the result does not depend
// on the pool's size.
void matmul_into(const MatrixKernels& kernels, const MatmulBlocking& blocking, const float* a,
                 const float* b, float* c, std::size_t r, std::size_t k, std::size_t n);

}  // namespace zelto
