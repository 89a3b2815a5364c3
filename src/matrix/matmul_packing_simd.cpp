// The matrix product's packing: copies only, so the values keep their bits.
#include "matrix/matmul_packing.hpp"

#include "matrix/matmul_micro_kernel.hpp"

namespace zelto::ZELTO_ISA {

// Row by row, so B is read in address order.
void pack_b(const float* b, std::size_t n, std::size_t depth, std::size_t cols,
            float* out) noexcept {
  for (std::size_t p = 0; p < depth; ++p) {
    const float* row = b + p * n;
    for (std::size_t j = 0; j < cols; j += kPanelWidth) {
      float* dst = out + j * depth + p * kPanelWidth;
#pragma GCC unroll 16
      for (std::size_t v = 0; v < kTileVecs; ++v) {
        store(dst + v * kLanes, load(row + j + v * kLanes));
      }
    }
  }
}

// Whole registers, then the row's last elements one by one.
void pack_a(const float* a, std::size_t k, std::size_t rows, std::size_t depth,
            float* out) noexcept {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = a + i * k;
    float* dst = out + i * depth;
    std::size_t p = 0;
    for (; p + kLanes <= depth; p += kLanes) store(dst + p, load(row + p));
    for (; p < depth; ++p) dst[p] = row[p];
  }
}

}  // namespace zelto::ZELTO_ISA
