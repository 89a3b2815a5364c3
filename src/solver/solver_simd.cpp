// Solver kernels for one instruction set (compiled once per ZELTO_ISA).
//
// Prediction runs a block of kRows rows at once with one row per lane of a RowVec: four columns
// at a time of those rows are transposed in registers, so lane r of a column vector holds
// x[r][j] and each lane adds its own row's products in ascending j, exactly like the plain loop.
// The gradient then walks the same block of rows (still in L1) in ascending order, updating the
// accumulator a full register of columns at a time. Every lane-wise operation is one IEEE single-precision operation,
// so each output sees the plain loop's operation sequence.
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/simd.hpp"
#include "solver/solver_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// Accumulator vectors kept in registers while a block of rows is folded into them.
constexpr std::size_t kAccVectors = 8;

// Rows per block, one per lane of a RowVec: at most eight. Sixteen-row blocks gain no compute
// where 512-bit operations run as two 256-bit halves, but they double the rows streamed at
// once, and measured slower when the rows come from memory.
constexpr std::size_t kRowBytes = ZELTO_VEC_BYTES < 32 ? ZELTO_VEC_BYTES : 32;
constexpr std::size_t kRows = kRowBytes / sizeof(float);
typedef float RowVec __attribute__((vector_size(kRowBytes)));

// Quarter pieces of 128 bits: four floats of one row.
typedef float Vec4 __attribute__((vector_size(16)));
constexpr std::size_t kQuarters = kRows / 4;
static_assert(kRows == 4 || kRows == 8, "4 or 8 rows per block");

// x in every lane of a RowVec, copied without arithmetic.
template <std::size_t... I>
inline RowVec splat_rows(float x, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(RowVec{x}, RowVec{x}, (I * 0)...);
}

// a followed by b, as one vector of twice the width.
template <class To, class From, std::size_t... I>
inline To join(From a, From b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b, I...);
}

// One RowVec from kQuarters pieces, piece h in 128-bit lane h.
template <class Piece>
inline RowVec assemble(const Piece* q) noexcept {
  if constexpr (kQuarters == 1) {
    return q[0];
  } else {
    return join<RowVec>(q[0], q[1], std::make_index_sequence<8>{});
  }
}

// Lane shuffles within each 128-bit lane h (elements 4h .. 4h+3), as the unpack instructions
// do them; `wide` picks 64-bit pairs instead of single floats, `high` the upper half.
template <bool kWide, bool kHigh, std::size_t... I>
inline RowVec unpack(RowVec a, RowVec b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(
      a, b,
      (kWide ? ((I % 4) / 2 != 0 ? kRows : 0) + (I / 4) * 4 + (kHigh ? 2 : 0) + I % 2
             : (I % 2 != 0 ? kRows : 0) + (I / 4) * 4 + (kHigh ? 2 : 0) + (I % 4) / 2)...);
}

// Columns c0 .. c0+3 of a block of kRows rows, one column per RowVec with row r in lane r.
struct Columns {
  RowVec v[4];
};

// The four floats of a row at p, or of a missing row (zeros), or the first `count` of them
// followed by zeros where a full read would leave the caller's rows.
inline Vec4 piece(const float* p, bool present, bool whole, std::size_t count) noexcept {
  Vec4 q = {};
  if (!present) return q;
  if (whole) {
    std::memcpy(&q, p, sizeof q);
    return q;
  }
  for (std::size_t k = 0; k < count; ++k) q[k] = p[k];
  return q;
}

// The rows of a block: x is row 0, `rows` of them (at most kRows), m floats apart; `limit`
// floats from x may be read.
struct Block {
  const float* x;
  std::size_t rows;
  std::size_t m;
  std::size_t limit;
};

// Loads and transposes columns c0 .. c0+3. Unchecked: the block is full and the four columns
// exist. Checked: missing rows read as zeros and a piece that would leave the caller's rows is
// read partially; lanes of columns past the row's end are never used by the caller.
// 1. Register l gathers, in each 128-bit lane h, the four floats of row 4h + l; this costs
//    only loads and lane inserts.
// 2. A 4 x 4 transpose inside every 128-bit lane (unpack floats, then unpack pairs) turns
//    lane h's element l of column k into x[4h + l][c0 + k].
template <bool kChecked>
inline Columns load_columns(const Block& blk, std::size_t c0) noexcept {
  constexpr auto lanes = std::make_index_sequence<kRows>{};
  RowVec z[4];
  for (std::size_t l = 0; l < 4; ++l) {
    Vec4 q[kQuarters];
    for (std::size_t h = 0; h < kQuarters; ++h) {
      const std::size_t r = 4 * h + l;
      const std::size_t at = r * blk.m + c0;
      if constexpr (kChecked) {
        const std::size_t left = blk.m - c0 < 4 ? blk.m - c0 : 4;
        q[h] = piece(blk.x + at, r < blk.rows, at + 4 <= blk.limit, left);
      } else {
        std::memcpy(&q[h], blk.x + at, sizeof q[h]);
      }
    }
    z[l] = assemble<Vec4>(q);
  }
  const RowVec t0 = unpack<false, false>(z[0], z[1], lanes);
  const RowVec t1 = unpack<false, true>(z[0], z[1], lanes);
  const RowVec t2 = unpack<false, false>(z[2], z[3], lanes);
  const RowVec t3 = unpack<false, true>(z[2], z[3], lanes);
  return Columns{{unpack<true, false>(t0, t2, lanes), unpack<true, true>(t0, t2, lanes),
                  unpack<true, false>(t1, t3, lanes), unpack<true, true>(t1, t3, lanes)}};
}

// The first count floats at p in the low lanes, zeros above.
inline RowVec load_rows(const float* p, std::size_t count) noexcept {
  RowVec v = {};
  if (count == kRows) {
    std::memcpy(&v, p, sizeof v);
  } else {
    for (std::size_t k = 0; k < count; ++k) v[k] = p[k];
  }
  return v;
}

// How many blocks ahead of the ones being computed their reads are requested.
constexpr std::size_t kPrefetchBlocks = 4;

// Requests the cache lines of next[from, from + count) that exist (next_len floats do).
inline void prefetch_span(const float* next, std::size_t next_len, std::size_t from,
                          std::size_t count) noexcept {
  constexpr std::size_t kLineFloats = 64 / sizeof(float);
  const std::size_t to = from + count < next_len ? from + count : next_len;
  for (std::size_t k = from; k < to; k += kLineFloats) __builtin_prefetch(next + k);
}

// For each of N blocks: p (lane r = row r) <- b, then p <- p + (w_j * x_rj) for j ascending.
// Running two blocks side by side gives the adder two independent chains, so the latency of
// one sum's additions no longer sets the pace. The blocks are read a column group at a time, a
// stride the hardware prefetchers follow poorly, so each group also requests its share of the
// rows ahead (the next_len floats at next), spread evenly so the requests never pile up.
template <std::size_t N>
inline void predict_blocks(const Block (&blk)[N], const float* w, float b, const float* next,
                           std::size_t next_len, RowVec (&p)[N]) noexcept {
  constexpr auto lanes = std::make_index_sequence<kRows>{};
  const std::size_t m = blk[0].m;
  bool full = true;
  for (std::size_t i = 0; i < N; ++i) {
    p[i] = splat_rows(b, lanes);
    full = full && blk[i].rows == kRows;
  }
  std::size_t c0 = 0;
  if (full) {
    for (; c0 + 4 <= m; c0 += 4) {
      prefetch_span(next, next_len, c0 * N * kRows, 4 * N * kRows);
      Columns c[N];
      for (std::size_t i = 0; i < N; ++i) c[i] = load_columns<false>(blk[i], c0);
      for (std::size_t k = 0; k < 4; ++k) {
        const RowVec wk = splat_rows(w[c0 + k], lanes);
        for (std::size_t i = 0; i < N; ++i) p[i] = p[i] + wk * c[i].v[k];
      }
    }
  }
  for (; c0 < m; c0 += 4) {
    const std::size_t cols = m - c0 < 4 ? m - c0 : 4;
    for (std::size_t i = 0; i < N; ++i) {
      const Columns c = load_columns<true>(blk[i], c0);
      for (std::size_t k = 0; k < cols; ++k) p[i] = p[i] + splat_rows(w[c0 + k], lanes) * c.v[k];
    }
  }
}

// Lane R of e in every lane of a full register: one shuffle.
template <std::size_t R, std::size_t... I>
inline VecF lane(RowVec e, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(e, e, (I * 0 + R)...);
}

// acc_k <- (e_r * x_rk) + acc_k for the V vectors of one row.
template <std::size_t V>
inline void fold_row(VecF (&acc)[V], const float* row, VecF er) noexcept {
  for (std::size_t k = 0; k < V; ++k) acc[k] = er * load(row + k * kLanes) + acc[k];
}

// All kRows rows of a full block in ascending order, each row's error taken from its lane.
template <std::size_t V, std::size_t... R>
inline void fold_full(VecF (&acc)[V], const float* x, std::size_t m, RowVec e,
                      std::index_sequence<R...>) noexcept {
  constexpr auto lanes = std::make_index_sequence<kLanes>{};
  (fold_row<V>(acc, x + R * m, lane<R>(e, lanes)), ...);
}

// a_j <- (e_r * x_rj) + a_j for the V vectors of columns at a, rows ascending; x points at the
// same columns of the block's first row, lane r of e is row r's error.
template <std::size_t V>
inline void fold_columns(const float* x, std::size_t rows, std::size_t m, RowVec e,
                         float* a) noexcept {
  VecF acc[V];
  for (std::size_t k = 0; k < V; ++k) acc[k] = load(a + k * kLanes);
  if (rows == kRows) {
    fold_full<V>(acc, x, m, e, std::make_index_sequence<kRows>{});
  } else {
    for (std::size_t r = 0; r < rows; ++r) fold_row<V>(acc, x + r * m, splat(e[r]));
  }
  for (std::size_t k = 0; k < V; ++k) store(a + k * kLanes, acc[k]);
}

// Folds fewer than kAccVectors vectors of columns by unrolling to their exact count.
template <std::size_t V>
inline void fold_column_rest(std::size_t vectors, const float* x, std::size_t rows, std::size_t m,
                             RowVec e, float* a) noexcept {
  if constexpr (V > 0) {
    if (vectors == V) {
      fold_columns<V>(x, rows, m, e, a);
    } else {
      fold_column_rest<V - 1>(vectors, x, rows, m, e, a);
    }
  }
}

// a_j <- (e_r * x_rj) + a_j for every column j, rows ascending within each column.
inline void fold_block(const Block& blk, RowVec e, float* a) noexcept {
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

// a_b + e_0 + e_1 + ... over the lanes of a full block, left to right.
template <std::size_t... R>
inline float sum_lanes(float a_b, RowVec e, std::index_sequence<R...>) noexcept {
  ((a_b = a_b + e[R]), ...);
  return a_b;
}

}  // namespace

// Largest pair of blocks, in floats, that still leaves room in a 32 KiB L1 cache for the
// gradient to re-read the rows it has just predicted.
constexpr std::size_t kPairFloats = 16384 / sizeof(float);

// Calls step(first_row, blocks, next, next_len) over the rows in order: two full blocks at a
// time while that many remain and fit in kPairFloats, then one block (the last possibly
// partial). next points at the rows ahead to request.
template <class Step>
inline void for_each_block(const float* x, std::size_t rows, std::size_t m, Step&& step) noexcept {
  const std::size_t limit = rows * m;
  std::size_t i0 = 0;
  const bool pairs = 2 * kRows * m <= kPairFloats;
  for (; pairs && i0 + 2 * kRows <= rows; i0 += 2 * kRows) {
    const Block blk[2] = {{x + i0 * m, kRows, m, limit - i0 * m},
                          {x + (i0 + kRows) * m, kRows, m, limit - (i0 + kRows) * m}};
    const std::size_t ahead = (i0 + kPrefetchBlocks * kRows) * m;
    step(i0, blk, x + ahead, ahead < limit ? limit - ahead : 0);
  }
  for (; i0 < rows; i0 += kRows) {
    const Block blk[1] = {{x + i0 * m, rows - i0 < kRows ? rows - i0 : kRows, m, limit - i0 * m}};
    const std::size_t ahead = (i0 + kPrefetchBlocks * kRows) * m;
    step(i0, blk, x + ahead, ahead < limit ? limit - ahead : 0);
  }
}

void predict_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                  float* out) noexcept {
  for_each_block(x, rows, m, [&](std::size_t i0, const auto& blk, const float* next,
                                 std::size_t next_len) {
    constexpr std::size_t n = std::extent_v<std::remove_reference_t<decltype(blk)>>;
    RowVec p[n];
    predict_blocks(blk, w, b, next, next_len, p);
    for (std::size_t i = 0; i < n; ++i) {
      float* dst = out + i0 + i * kRows;
      if (blk[i].rows == kRows) {
        std::memcpy(dst, &p[i], sizeof p[i]);
      } else {
        for (std::size_t r = 0; r < blk[i].rows; ++r) dst[r] = p[i][r];
      }
    }
  });
}

float gradient_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                    const float* y, float* a, float a_b) noexcept {
  for_each_block(x, rows, m, [&](std::size_t i0, const auto& blk, const float* next,
                                 std::size_t next_len) {
    constexpr std::size_t n = std::extent_v<std::remove_reference_t<decltype(blk)>>;
    RowVec p[n];
    predict_blocks(blk, w, b, next, next_len, p);
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t count = blk[i].rows;
      const RowVec e = p[i] - load_rows(y + i0 + i * kRows, count);
      if (count == kRows) {
        a_b = sum_lanes(a_b, e, std::make_index_sequence<kRows>{});
      } else {
        for (std::size_t r = 0; r < count; ++r) a_b = a_b + e[r];
      }
      fold_block(blk[i], e, a);
    }
  });
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
