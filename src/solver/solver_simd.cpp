// Solver kernels for one instruction set (compiled once per ZELTO_ISA).
//
// Prediction runs kLanes rows at once with one row per vector lane: four columns at a time of
// those rows are transposed in registers, so lane r of a column vector holds x[r][j] and each
// lane adds its own row's products in ascending j, exactly like the plain loop. The gradient then
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

// Quarter-register pieces: four floats of one row.
typedef float Vec4 __attribute__((vector_size(16)));
typedef float Vec8 __attribute__((vector_size(32)));
constexpr std::size_t kQuarters = kLanes / 4;
static_assert(kLanes == 4 || kLanes == 8 || kLanes == 16, "4, 8 or 16 lanes");

// a followed by b, as one vector of twice the width.
template <class To, class From, std::size_t... I>
inline To join(From a, From b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b, I...);
}

// One register from kQuarters pieces, piece h in 128-bit lane h.
template <class Piece>
inline VecF assemble(const Piece* q) noexcept {
  if constexpr (kQuarters == 1) {
    return q[0];
  } else if constexpr (kQuarters == 2) {
    return join<VecF>(q[0], q[1], std::make_index_sequence<8>{});
  } else {
    const Vec8 lo = join<Vec8>(q[0], q[1], std::make_index_sequence<8>{});
    const Vec8 hi = join<Vec8>(q[2], q[3], std::make_index_sequence<8>{});
    return join<VecF>(lo, hi, std::make_index_sequence<16>{});
  }
}

// Lane shuffles within each 128-bit lane h (elements 4h .. 4h+3), as the unpack instructions
// do them; `wide` picks 64-bit pairs instead of single floats, `high` the upper half.
template <bool kWide, bool kHigh, std::size_t... I>
inline VecF unpack(VecF a, VecF b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(
      a, b,
      (kWide ? ((I % 4) / 2 != 0 ? kLanes : 0) + (I / 4) * 4 + (kHigh ? 2 : 0) + I % 2
             : (I % 2 != 0 ? kLanes : 0) + (I / 4) * 4 + (kHigh ? 2 : 0) + (I % 4) / 2)...);
}

// Columns c0 .. c0+3 of a block of kLanes rows, one column per register with row r in lane r.
struct Columns {
  VecF v[4];
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

// The rows of a block: x is row 0, `rows` of them (at most kLanes), m floats apart; `limit`
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
  constexpr auto lanes = std::make_index_sequence<kLanes>{};
  VecF z[4];
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
  const VecF t0 = unpack<false, false>(z[0], z[1], lanes);
  const VecF t1 = unpack<false, true>(z[0], z[1], lanes);
  const VecF t2 = unpack<false, false>(z[2], z[3], lanes);
  const VecF t3 = unpack<false, true>(z[2], z[3], lanes);
  return Columns{{unpack<true, false>(t0, t2, lanes), unpack<true, true>(t0, t2, lanes),
                  unpack<true, false>(t1, t3, lanes), unpack<true, true>(t1, t3, lanes)}};
}

// The first count floats at p in the low lanes, zeros above.
inline VecF load_partial(const float* p, std::size_t count) noexcept {
  VecF v = {};
  for (std::size_t k = 0; k < count; ++k) v[k] = p[k];
  return v;
}

// Blocks ahead whose cache lines are requested before they are needed: the next one, so its
// lines arrive while the current block is computed without evicting it from L1.
constexpr std::size_t kPrefetchBlocks = 1;

// Requests the block kPrefetchBlocks ahead of the one at float offset `at`. The block is read
// column group by column group, a stride the hardware prefetchers follow poorly.
inline void prefetch_ahead(const float* x, std::size_t at, std::size_t m,
                           std::size_t limit) noexcept {
  constexpr std::size_t kLineFloats = 64 / sizeof(float);
  const std::size_t from = at + kPrefetchBlocks * kLanes * m;
  const std::size_t to = from + kLanes * m < limit ? from + kLanes * m : limit;
  for (std::size_t k = from; k < to; k += kLineFloats) __builtin_prefetch(x + k);
}

// p (lane r = row r) <- b, then p <- p + (w_j * x_rj) for j ascending.
inline VecF predict_block(const Block& blk, const float* w, float b) noexcept {
  VecF p = splat(b);
  std::size_t c0 = 0;
  if (blk.rows == kLanes) {
    for (; c0 + 4 <= blk.m; c0 += 4) {
      const Columns c = load_columns<false>(blk, c0);
      for (std::size_t k = 0; k < 4; ++k) p = p + splat(w[c0 + k]) * c.v[k];
    }
  }
  for (; c0 < blk.m; c0 += 4) {
    const Columns c = load_columns<true>(blk, c0);
    const std::size_t cols = blk.m - c0 < 4 ? blk.m - c0 : 4;
    for (std::size_t k = 0; k < cols; ++k) p = p + splat(w[c0 + k]) * c.v[k];
  }
  return p;
}

// Lane R of v in every lane: one register shuffle.
template <std::size_t R, std::size_t... I>
inline VecF lane(VecF v, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(v, v, (I * 0 + R)...);
}

// acc_k <- (e_r * x_rk) + acc_k for the V vectors of one row.
template <std::size_t V>
inline void fold_row(VecF (&acc)[V], const float* row, VecF er) noexcept {
  for (std::size_t k = 0; k < V; ++k) acc[k] = er * load(row + k * kLanes) + acc[k];
}

// All kLanes rows of a full block in ascending order, each row's error taken from its lane.
template <std::size_t V, std::size_t... R>
inline void fold_full(VecF (&acc)[V], const float* x, std::size_t m, VecF e,
                      std::index_sequence<R...>) noexcept {
  constexpr auto lanes = std::make_index_sequence<kLanes>{};
  (fold_row<V>(acc, x + R * m, lane<R>(e, lanes)), ...);
}

// a_j <- (e_r * x_rj) + a_j for the V vectors of columns at a, rows ascending; x points at the
// same columns of the block's first row, lane r of e is row r's error.
template <std::size_t V>
inline void fold_columns(const float* x, std::size_t rows, std::size_t m, VecF e,
                         float* a) noexcept {
  VecF acc[V];
  for (std::size_t k = 0; k < V; ++k) acc[k] = load(a + k * kLanes);
  if (rows == kLanes) {
    fold_full<V>(acc, x, m, e, std::make_index_sequence<kLanes>{});
  } else {
    for (std::size_t r = 0; r < rows; ++r) fold_row<V>(acc, x + r * m, splat(e[r]));
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

// a_b + e_0 + e_1 + ... over the lanes of a full block, left to right.
template <std::size_t... R>
inline float sum_lanes(float a_b, VecF e, std::index_sequence<R...>) noexcept {
  ((a_b = a_b + e[R]), ...);
  return a_b;
}

}  // namespace

void predict_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                  float* out) noexcept {
  const std::size_t limit = rows * m;
  for (std::size_t i0 = 0; i0 < rows; i0 += kLanes) {
    const std::size_t count = rows - i0 < kLanes ? rows - i0 : kLanes;
    const Block blk{x + i0 * m, count, m, limit - i0 * m};
    prefetch_ahead(x, i0 * m, m, limit);
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
    prefetch_ahead(x, i0 * m, m, limit);
    const VecF p = predict_block(blk, w, b);
    const VecF targets = count == kLanes ? load(y + i0) : load_partial(y + i0, count);
    const VecF e = p - targets;
    if (count == kLanes) {
      a_b = sum_lanes(a_b, e, std::make_index_sequence<kLanes>{});
    } else {
      for (std::size_t r = 0; r < count; ++r) a_b = a_b + e[r];
    }
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
