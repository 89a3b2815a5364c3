// Solver kernels for one instruction set (compiled once per ZELTO_ISA).
//
// Prediction runs kLanes rows at once with one row per vector lane: a kLanes x kLanes tile of X
// is transposed in registers, so lane r of column vector jj holds x[r][j0 + jj] and each lane
// adds its own row's products in ascending j, exactly like the plain loop. The gradient then
// walks the same block of rows (still in L1) in ascending order, updating the accumulator a
// vector of columns at a time. Every lane-wise operation is one IEEE single-precision operation,
// so each output sees the plain loop's operation sequence.
#include <cstring>
#include <utility>

#include "core/simd.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// Accumulator vectors kept in registers while a block of rows is folded into them.
constexpr std::size_t kAccVectors = 8;

struct Tile {
  VecF v[kLanes];
};

// Interleaves the low halves of a and b: a0 b0 a1 b1 ...
template <std::size_t... I>
inline VecF zip_low(VecF a, VecF b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b, (I % 2 == 0 ? I / 2 : kLanes + I / 2)...);
}

// Interleaves the high halves of a and b.
template <std::size_t... I>
inline VecF zip_high(VecF a, VecF b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b,
                                 (I % 2 == 0 ? kLanes / 2 + I / 2 : kLanes + kLanes / 2 + I / 2)...);
}

// Transposes the tile in place.
// 1. Zipping row r with row r + kLanes/2 into rows 2r and 2r+1 moves the top bit of the row
//    index to the bottom of the column index and the top bit of the column index to the bottom
//    of the row index.
// 2. After log2(kLanes) such rounds every bit has crossed over: row and column are exchanged.
inline void transpose(Tile& t) noexcept {
  constexpr auto lanes = std::make_index_sequence<kLanes>{};
  for (std::size_t bit = 1; bit < kLanes; bit *= 2) {
    Tile next;
    for (std::size_t r = 0; r < kLanes / 2; ++r) {
      next.v[2 * r] = zip_low(t.v[r], t.v[r + kLanes / 2], lanes);
      next.v[2 * r + 1] = zip_high(t.v[r], t.v[r + kLanes / 2], lanes);
    }
    t = next;
  }
}

// The first count floats at p in the low lanes, zeros above.
inline VecF load_partial(const float* p, std::size_t count) noexcept {
  VecF v = {};
  for (std::size_t k = 0; k < count; ++k) v[k] = p[k];
  return v;
}

// The rows of the block [x, x + rows * m) as one row pointer walk.
struct Block {
  const float* x;
  std::size_t rows;  // at most kLanes
  std::size_t m;
  std::size_t limit;  // floats readable from x: the end of the caller's rows
};

// Loads columns [j0, j0 + cols) of the block's rows as a tile, missing rows as zeros. A full
// vector is read past the row's end when that stays inside the caller's rows; the extra lanes
// land in columns the caller never uses.
inline void load_tile(const Block& blk, std::size_t j0, std::size_t cols, Tile& t) noexcept {
  for (std::size_t r = 0; r < kLanes; ++r) {
    const std::size_t at = r * blk.m + j0;
    if (r >= blk.rows) {
      t.v[r] = VecF{};
    } else if (at + kLanes <= blk.limit) {
      t.v[r] = load(blk.x + at);
    } else {
      t.v[r] = load_partial(blk.x + at, cols);
    }
  }
}

// p (lane r = row r) <- b, then p <- p + (w_j * x_rj) for j ascending.
inline VecF predict_block(const Block& blk, const float* w, float b) noexcept {
  VecF p = splat(b);
  std::size_t j0 = 0;
  for (; j0 + kLanes <= blk.m; j0 += kLanes) {
    Tile t;
    load_tile(blk, j0, kLanes, t);
    transpose(t);
    for (std::size_t jj = 0; jj < kLanes; ++jj) p = p + splat(w[j0 + jj]) * t.v[jj];
  }
  if (j0 < blk.m) {
    const std::size_t cols = blk.m - j0;
    Tile t;
    load_tile(blk, j0, cols, t);
    transpose(t);
    for (std::size_t jj = 0; jj < cols; ++jj) p = p + splat(w[j0 + jj]) * t.v[jj];
  }
  return p;
}

// a_j <- (e_r * x_rj) + a_j for the V vectors of columns at a, rows ascending; x points at the
// same columns of the block's first row.
template <std::size_t V>
inline void fold_columns(const float* x, std::size_t rows, std::size_t m, VecF e,
                         float* a) noexcept {
  VecF acc[V];
  for (std::size_t k = 0; k < V; ++k) acc[k] = load(a + k * kLanes);
  for (std::size_t r = 0; r < rows; ++r) {
    const VecF er = splat(e[r]);
    const float* row = x + r * m;
    for (std::size_t k = 0; k < V; ++k) acc[k] = er * load(row + k * kLanes) + acc[k];
  }
  for (std::size_t k = 0; k < V; ++k) store(a + k * kLanes, acc[k]);
}

// Folds fewer than kAccVectors vectors of columns by unrolling to their exact count.
template <std::size_t V>
inline void fold_column_rest(std::size_t vectors, const float* x, std::size_t rows, std::size_t m,
                             VecF e, float* a) noexcept {
  if constexpr (V > 0) {
    if (vectors == V) {
      fold_columns<V>(x, rows, m, e, a);
    } else {
      fold_column_rest<V - 1>(vectors, x, rows, m, e, a);
    }
  }
}

// a_j <- (e_r * x_rj) + a_j for every column j, rows ascending within each column.
inline void fold_block(const Block& blk, VecF e, float* a) noexcept {
  std::size_t j = 0;
  for (; j + kAccVectors * kLanes <= blk.m; j += kAccVectors * kLanes) {
    fold_columns<kAccVectors>(blk.x + j, blk.rows, blk.m, e, a + j);
  }
  const std::size_t vectors = (blk.m - j) / kLanes;
  fold_column_rest<kAccVectors - 1>(vectors, blk.x + j, blk.rows, blk.m, e, a + j);
  for (j += vectors * kLanes; j < blk.m; ++j) {
    float aj = a[j];
    for (std::size_t r = 0; r < blk.rows; ++r) aj = e[r] * blk.x[r * blk.m + j] + aj;
    a[j] = aj;
  }
}

}  // namespace

void predict_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                  float* out) noexcept {
  const std::size_t limit = rows * m;
  for (std::size_t i0 = 0; i0 < rows; i0 += kLanes) {
    const std::size_t count = rows - i0 < kLanes ? rows - i0 : kLanes;
    const Block blk{x + i0 * m, count, m, limit - i0 * m};
    const VecF p = predict_block(blk, w, b);
    if (count == kLanes) {
      store(out + i0, p);
    } else {
      for (std::size_t r = 0; r < count; ++r) out[i0 + r] = p[r];
    }
  }
}

float gradient_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                    const float* y, float* a, float a_b) noexcept {
  const std::size_t limit = rows * m;
  for (std::size_t i0 = 0; i0 < rows; i0 += kLanes) {
    const std::size_t count = rows - i0 < kLanes ? rows - i0 : kLanes;
    const Block blk{x + i0 * m, count, m, limit - i0 * m};
    const VecF p = predict_block(blk, w, b);
    const VecF targets = count == kLanes ? load(y + i0) : load_partial(y + i0, count);
    const VecF e = p - targets;
    for (std::size_t r = 0; r < count; ++r) a_b = a_b + e[r];
    fold_block(blk, e, a);
  }
  return a_b;
}

void add_into(float* left, const float* right, std::size_t m) noexcept {
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) store(left + j, load(left + j) + load(right + j));
  for (; j < m; ++j) left[j] = left[j] + right[j];
}

void descend(float* w, const float* g, std::size_t m, float n_f, float lr) noexcept {
  const VecF n_v = splat(n_f);
  const VecF lr_v = splat(lr);
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) store(w + j, load(w + j) - ((load(g + j) / n_v) * lr_v));
  for (; j < m; ++j) w[j] = w[j] - ((g[j] / n_f) * lr);
}

}  // namespace zelto::ZELTO_ISA
