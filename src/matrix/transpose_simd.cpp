// Transpose kernel, plain scalar code: it is compiled per instruction set only to sit in the
// kernel table beside the others, and moves bits without arithmetic. Rows [first, end) of T
// (columns of A) are copied in square blocks so that the strided reads of A and the contiguous
// writes of T both stay in L1.
#include "matrix/matrix_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

constexpr std::size_t kBlock = 32;

// The smaller of x and y, in this variant's own code (std::min would be an out-of-line template
// the linker may share with another variant's copy).
inline std::size_t smaller(std::size_t x, std::size_t y) noexcept { return x < y ? x : y; }

}  // namespace

void transpose_rows(const float* a, float* t, std::size_t r, std::size_t c, std::size_t first,
                    std::size_t end) noexcept {
  for (std::size_t jb = 0; jb < r; jb += kBlock) {
    const std::size_t j_end = smaller(jb + kBlock, r);
    for (std::size_t ib = first; ib < end; ib += kBlock) {
      const std::size_t i_end = smaller(ib + kBlock, end);
      for (std::size_t i = ib; i < i_end; ++i) {
        float* trow = t + i * r;
        for (std::size_t j = jb; j < j_end; ++j) trow[j] = a[j * c + i];
      }
    }
  }
}

}  // namespace zelto::ZELTO_ISA
