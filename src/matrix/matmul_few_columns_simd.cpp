// The matrix product's driver for blocks narrower than one register (a matrix times a vector):
// rows in lanes instead of columns. Square blocks of A are transposed in registers, and each
// depth step multiplies one column of A by the broadcast b[p][j] and adds it to the rows' sums.
// Each element's sum runs through the whole depth in one register lane or one scalar.
#include <utility>

#include "matrix/canonical_nan.hpp"
#include "matrix/matmul_drivers.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// Rows of C summed side by side as scalar chains when fewer than a register of rows is left.
constexpr std::size_t kScalarRows = 8;
// Floats of A requested ahead of the rows being multiplied, which the prefetchers do not do for
// this access pattern: about 24 KiB (bench/matmul.md).
constexpr std::size_t kAheadFloats = std::size_t{6} << 10;

// Lanes of a and b interleaved from the start (Half = 0) or from the middle (Half = 1):
// a[h], b[h], a[h + 1], b[h + 1], ...
template <std::size_t Half, std::size_t... I>
inline VecF interleave(VecF a, VecF b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b, ((I % 2) * kLanes + Half * kLanes / 2 + I / 2)...);
}

// t[q][r] = a[r * k + q] for q, r < kLanes: rows of A become registers of one column. Each
// round interleaves register i with register i + kLanes / 2; log2(kLanes) rounds transpose.
inline void transpose_block(const float* a, std::size_t k, VecF (&t)[kLanes]) noexcept {
  constexpr auto lanes = std::make_index_sequence<kLanes>{};
#pragma GCC unroll 16
  for (std::size_t r = 0; r < kLanes; ++r) t[r] = load(a + r * k);
#pragma GCC unroll 4
  for (std::size_t width = 1; width < kLanes; width *= 2) {
    VecF u[kLanes];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kLanes / 2; ++i) {
      u[2 * i] = interleave<0>(t[i], t[i + kLanes / 2], lanes);
      u[2 * i + 1] = interleave<1>(t[i], t[i + kLanes / 2], lanes);
    }
#pragma GCC unroll 16
    for (std::size_t r = 0; r < kLanes; ++r) t[r] = u[r];
  }
}

}  // namespace

// kLanes rows at a time, one lane per row; the last k % kLanes terms, and rows short of a
// register, run as scalar chains, kScalarRows rows side by side.
void matmul_few_columns(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                        MatmulBlock block) noexcept {
  const std::size_t end = block.row_end, j0 = block.col_first, j1 = block.col_end;
  const std::size_t strip_floats = kLanes * k;
  const std::size_t ahead_rows =
      (kAheadFloats > strip_floats ? kAheadFloats / strip_floats : 1) * kLanes;
  std::size_t i = block.row_first;
  for (; i + kLanes <= end; i += kLanes) {
    // Whole strips of rows further down are contiguous: each transposed block requests its
    // share of one in address order, while that strip lies within the block's rows.
    const bool ahead = i + ahead_rows + kLanes <= end;
    for (std::size_t j = j0; j < j1; ++j) {
      VecF acc{};
      std::size_t p = 0;
      for (; p + kLanes <= k; p += kLanes) {
        if (ahead) {
          const float* next = a + (i + ahead_rows) * k + p * kLanes;
#pragma GCC unroll 16
          for (std::size_t x = 0; x < kLanes * kLanes; x += 64 / sizeof(float)) {
            __builtin_prefetch(next + x, 0, 3);
          }
        }
        VecF t[kLanes];
        transpose_block(a + i * k + p, k, t);
#pragma GCC unroll 16
        for (std::size_t q = 0; q < kLanes; ++q) acc = t[q] * b[(p + q) * n + j] + acc;
      }
      if (p == k) {
        // No terms left over: the whole register of sums is made canonical at once.
        const VecF sums = canonical(acc);
        for (std::size_t r = 0; r < kLanes; ++r) c[(i + r) * n + j] = sums[r];
      } else {
        for (std::size_t r = 0; r < kLanes; ++r) {
          float sum = acc[r];
          for (std::size_t q = p; q < k; ++q) sum = a[(i + r) * k + q] * b[q * n + j] + sum;
          c[(i + r) * n + j] = canonical(sum);
        }
      }
    }
  }
  for (std::size_t j = j0; j < j1; ++j) {
    std::size_t h = i;
    for (; h + kScalarRows <= end; h += kScalarRows) {
      float acc[kScalarRows] = {};
      for (std::size_t p = 0; p < k; ++p) {
        const float x = b[p * n + j];
#pragma GCC unroll 16
        for (std::size_t r = 0; r < kScalarRows; ++r) acc[r] = a[(h + r) * k + p] * x + acc[r];
      }
      for (std::size_t r = 0; r < kScalarRows; ++r) c[(h + r) * n + j] = canonical(acc[r]);
    }
    for (; h < end; ++h) {
      float acc = 0.0f;
      for (std::size_t p = 0; p < k; ++p) acc = a[h * k + p] * b[p * n + j] + acc;
      c[h * n + j] = canonical(acc);
    }
  }
}

}  // namespace zelto::ZELTO_ISA
