// Solver kernels for one instruction set (compiled once per ZELTO_ISA).
//
// Prediction runs a block of kRows rows at once with one row per lane of a RowVec: four columns
// at a time of those rows are transposed in registers, so lane r of a column vector holds
// x[r][j] and each lane adds its own row's products in ascending j, exactly like the plain loop.
// The gradient then walks the same block of rows (still in L1) in ascending order, updating the
// accumulator a full register of columns at a time; or, for the canonical grouping, sums up to
// kTreeRows rows' products as their halving tree, unrolled, a register of columns at a time.
// Every lane-wise operation is one IEEE single-precision operation, so each output sees the
// plain loop's operation sequence.
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/halving_tree.hpp"
#include "core/simd.hpp"
#include "solver/row_blocks.hpp"
#if defined(__AVX512F__)
#include "solver/row_tiles.hpp"
#endif
#include "solver/solver_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

using row_blocks::Block;
using row_blocks::kRows;
using row_blocks::load_rows;
using row_blocks::predict_blocks;
using row_blocks::RowVec;

// The smaller of x and y as std::min computes it, in this variant's own code (std::min would be
// an out-of-line template the linker may share with another variant's copy).
template <class T>
constexpr const T& smaller(const T& x, const T& y) noexcept {
  return y < x ? y : x;
}

// left_j <- left_j + right_j.
inline void add_vectors(float* left, const float* right, std::size_t m) noexcept {
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) store(left + j, load(left + j) + load(right + j));
  for (; j < m; ++j) left[j] = left[j] + right[j];
}

// Accumulator vectors kept in registers while a block of rows is folded into them.
constexpr std::size_t kAccVectors = 8;

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

// Where a block lies in its leaf: the first block's sums start at +0.0 without reading a; the
// last one's are added onto +0.0 when finished, as reduce(identity(), sums) does, before the
// store.
struct BlockInLeaf {
  bool first = false;
  bool last = false;
};

// a_j <- (e_r * x_rj) + a_j for the V vectors of columns at a, rows ascending; x points at the
// same columns of the block's first row, lane r of e is row r's error.
template <std::size_t V, BlockInLeaf kPlace>
inline void fold_columns(const float* x, std::size_t rows, std::size_t m, RowVec e,
                         float* a) noexcept {
  VecF acc[V];
  for (std::size_t k = 0; k < V; ++k) acc[k] = kPlace.first ? VecF{} : load(a + k * kLanes);
  if (rows == kRows) {
    fold_full<V>(acc, x, m, e, std::make_index_sequence<kRows>{});
  } else {
    for (std::size_t r = 0; r < rows; ++r) fold_row<V>(acc, x + r * m, splat(e[r]));
  }
  for (std::size_t k = 0; k < V; ++k) store(a + k * kLanes, kPlace.last ? VecF{} + acc[k] : acc[k]);
}

// Folds fewer than kAccVectors vectors of columns by unrolling to their exact count.
template <std::size_t V, BlockInLeaf kPlace>
inline void fold_column_rest(std::size_t vectors, const float* x, std::size_t rows, std::size_t m,
                             RowVec e, float* a) noexcept {
  if constexpr (V > 0) {
    if (vectors == V) {
      fold_columns<V, kPlace>(x, rows, m, e, a);
    } else {
      fold_column_rest<V - 1, kPlace>(vectors, x, rows, m, e, a);
    }
  }
}

// a_j <- (e_r * x_rj) + a_j for every column j, rows ascending within each column.
template <BlockInLeaf kPlace = BlockInLeaf{}>
inline void fold_block(const Block& blk, RowVec e, float* a) noexcept {
  std::size_t j = 0;
  for (; j + kAccVectors * kLanes <= blk.m; j += kAccVectors * kLanes) {
    fold_columns<kAccVectors, kPlace>(blk.x + j, blk.rows, blk.m, e, a + j);
  }
  const std::size_t vectors = (blk.m - j) / kLanes;
  fold_column_rest<kAccVectors - 1, kPlace>(vectors, blk.x + j, blk.rows, blk.m, e, a + j);
  for (j += vectors * kLanes; j < blk.m; ++j) {
    float aj = kPlace.first ? 0.0f : a[j];
    for (std::size_t r = 0; r < blk.rows; ++r) aj = e[r] * blk.x[r * blk.m + j] + aj;
    a[j] = kPlace.last ? 0.0f + aj : aj;
  }
}

// a_b + e_0 + e_1 + ... over the lanes of a full block, left to right.
template <std::size_t... R>
inline float sum_lanes(float a_b, RowVec e, std::index_sequence<R...>) noexcept {
  ((a_b = a_b + e[R]), ...);
  return a_b;
}

// Folds a block's rows, lane r of e holding row r's error: a_b <- a_b + e_r over the rows in
// order, a_j <- (e_r * x_rj) + a_j. Returns the new a_b (not sealed).
template <BlockInLeaf kPlace = BlockInLeaf{}>
inline float fold_errors(const Block& blk, RowVec e, float* a, float a_b) noexcept {
  if (blk.rows == kRows) {
    a_b = sum_lanes(a_b, e, std::make_index_sequence<kRows>{});
  } else {
    for (std::size_t r = 0; r < blk.rows; ++r) a_b = a_b + e[r];
  }
  fold_block<kPlace>(blk, e, a);
  return a_b;
}

// Full blocks predicted side by side: two independent chains of additions, so the latency of one
// sum's additions no longer sets the pace; more overflow the L1 at 512 columns
// (bench/solver_step.md).
constexpr std::size_t kBlocksInFlight = 2;

// Calls step(first_row, blocks, next, next_len) over the rows in order: kBlocksInFlight blocks
// at a time while more than one block's rows remain (the last of them possibly short), then one
// block of the rest. next points at the rows ahead to request, within the `extent` floats from x
// that exist (at least the rows' own).
template <class Step>
inline void for_each_block(const float* x, std::size_t rows, std::size_t m, std::size_t extent,
                           Step&& step) noexcept {
  const std::size_t limit = rows * m;
  const std::size_t ahead_rows = m != 0 ? row_blocks::prefetch_rows(m) : 0;
  std::size_t i0 = 0;
  for (; i0 + (kBlocksInFlight - 1) * kRows < rows; i0 += kBlocksInFlight * kRows) {
    Block blk[kBlocksInFlight];
    for (std::size_t i = 0; i < kBlocksInFlight; ++i) {
      const std::size_t first = i0 + i * kRows;
      blk[i] = {x + first * m, smaller(rows - first, kRows), m, limit - first * m};
    }
    const std::size_t ahead = smaller((i0 + ahead_rows) * m, extent);
    step(i0, blk, x + ahead, extent - ahead);
  }
  if (i0 < rows) {
    const Block blk[1] = {{x + i0 * m, rows - i0, m, limit - i0 * m}};
    step(i0, blk, x + limit, std::size_t{0});
  }
}

// Calls done(first_row, blocks, p) over the rows in the order of for_each_block, p[i] holding
// the predictions of blocks[i]'s rows.
template <class Done>
inline void for_each_predicted_block(const float* x, std::size_t rows, std::size_t m,
                                     std::size_t extent, const float* w, float b,
                                     Done&& done) noexcept {
  for_each_block(x, rows, m, extent, [&](std::size_t i0, const auto& blk, const float* next,
                                         std::size_t next_len) {
    RowVec p[std::extent_v<std::remove_reference_t<decltype(blk)>>];
    predict_blocks(blk, w, b, next, next_len, p);
    done(i0, blk, p);
  });
}

// The halving trees of K rows: out_j over (e_r * x_rj), a register of columns at a time, and
// the returned tree of the e_r. Every product is one multiplication and every node one
// addition, as in the plain tree.
template <std::size_t K>
float tree_of_rows(const float* x, std::size_t m, const float* e, float* out) noexcept {
  // Broadcast once: the stores to out could alias e as far as the compiler knows.
  VecF ev[K];
  for (std::size_t r = 0; r < K; ++r) ev[r] = splat(e[r]);
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) {
    store(out + j, halving_sum<0, K>([&](std::size_t r) { return ev[r] * load(x + r * m + j); }));
  }
  for (; j < m; ++j) out[j] = halving_sum<0, K>([&](std::size_t r) { return e[r] * x[r * m + j]; });
  return halving_sum<0, K>([&](std::size_t r) { return e[r]; });
}

using TreeOfRows = float (*)(const float*, std::size_t, const float*, float*) noexcept;

// The unrolled trees by row count, in a plain array (no standard template's accessor).
struct TreesOfRows {
  TreeOfRows of[kTreeRows];
};

// tree_of_rows<K> at index K - 1, for K = 1 .. kTreeRows.
template <std::size_t... K>
constexpr TreesOfRows trees_of_rows(std::index_sequence<K...>) noexcept {
  return {{&tree_of_rows<K + 1>...}};
}

// e[i] = prediction of row i - y[i] for i < rows; the rows after them are requested from
// memory within the `extent` floats from x that exist (at least rows * m).
void predict_errors(const float* x, std::size_t rows, std::size_t m, std::size_t extent,
                    const float* w, float b, const float* y, float* e) noexcept {
  for_each_predicted_block(x, rows, m, extent, w, b,
                           [&](std::size_t i0, const auto& blk, const auto& p) {
    for (std::size_t i = 0; i < count_of(blk); ++i) {
      const std::size_t first = i0 + i * kRows;
      if (blk[i].rows == kRows) {
        const RowVec errors = p[i] - load_rows(y + first, kRows);
        std::memcpy(e + first, &errors, sizeof errors);
      } else {
        for (std::size_t r = 0; r < blk[i].rows; ++r) e[first + r] = p[i][r] - y[first + r];
      }
    }
  });
}


// The canonical sums of a leaf's rows: the halving tree, its nodes of at most kTreeRows rows
// summed unrolled from a window of predicted errors, the nodes above them added in scratch
// vectors, one per level.
class TreeLeaf {
 public:
  TreeLeaf(const float* x, std::size_t rows, std::size_t m, std::size_t extent, const float* w,
           float b, const float* y, float* scratch) noexcept
      : x_(x), rows_(rows), m_(m), extent_(extent), w_(w), b_(b), y_(y), window_(scratch),
        window_rows_(smaller(tree_window_rows(m), rows)) {}

  // The raw sums of rows [lo, hi) into out (m floats), the right halves' into free and the
  // levels after it; returns the sum of the errors.
  float node(std::size_t lo, std::size_t hi, float* out, float* free) noexcept {
    if (hi - lo <= kTreeRows) {
      static constexpr TreesOfRows kTrees = trees_of_rows(std::make_index_sequence<kTreeRows>{});
      return kTrees.of[hi - lo - 1](x_ + lo * m_, m_, errors(lo, hi), out);
    }
    const std::size_t middle = halving_middle(lo, hi);
    const float left = node(lo, middle, out, free);
    const float right = node(middle, hi, free, free + m_);
    add_vectors(out, free, m_);
    return left + right;
  }

  // Where the levels' vectors start, after the window.
  float* levels() const noexcept { return window_ + window_rows_ + kTreeRows; }

 private:
  // The errors of rows [lo, hi). Trees are visited in row order, lo never below the window's
  // first row: when hi lies beyond the window, the errors from lo on (fewer than a tree's rows)
  // move to its front and the next rows are predicted after them, so each row is predicted
  // once, while the prediction requests the rows after them from memory.
  const float* errors(std::size_t lo, std::size_t hi) noexcept {
    if (hi > window_end_) {
      const std::size_t kept = window_end_ - lo;
      for (std::size_t i = 0; i < kept; ++i) window_[i] = window_[lo - window_first_ + i];
      const std::size_t rows = smaller(window_rows_, rows_ - window_end_);
      predict_errors(x_ + window_end_ * m_, rows, m_, extent_ - window_end_ * m_, w_, b_,
                     y_ + window_end_, window_ + kept);
      window_first_ = lo;
      window_end_ += rows;
    }
    return window_ + (lo - window_first_);
  }

  const float* x_;
  std::size_t rows_;
  std::size_t m_;
  std::size_t extent_;
  const float* w_;
  float b_;
  const float* y_;
  float* window_;
  std::size_t window_rows_;
  std::size_t window_first_ = 0;
  std::size_t window_end_ = 0;
};

}  // namespace

void predict_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                  float* out) noexcept {
#if defined(__AVX512F__)
  if (row_tiles::suits(rows, m)) {
    const std::size_t tiled = row_tiles::predict(x, rows, m, w, b, out);
    x += tiled * m;
    rows -= tiled;
    out += tiled;
  }
#endif
  for_each_predicted_block(x, rows, m, rows * m, w, b,
                           [&](std::size_t i0, const auto& blk, const auto& p) {
    for (std::size_t i = 0; i < count_of(blk); ++i) {
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
  for_each_predicted_block(x, rows, m, rows * m, w, b,
                           [&](std::size_t i0, const auto& blk, const auto& p) {
    for (std::size_t i = 0; i < count_of(blk); ++i) {
      a_b = fold_errors(blk[i], p[i] - load_rows(y + i0 + i * kRows, blk[i].rows), a, a_b);
    }
  });
  return a_b;
}

static_assert(kRows <= kErrorBlock, "a block of errors reads at most kErrorBlock floats");

float leaf_from_errors(const float* x, std::size_t rows, std::size_t m, const float* e,
                       float* a) noexcept {
  if (rows == 0) {
    for (float *p = a, *end = a + m; p != end; ++p) *p = 0.0f;
    return 0.0f;
  }
  float a_b = 0.0f;
  for (std::size_t i0 = 0; i0 < rows; i0 += kRows) {
    const Block blk{x + i0 * m, smaller(rows - i0, kRows), m, (rows - i0) * m};
    RowVec ev;
    std::memcpy(&ev, e + i0, sizeof ev);
    const bool first = i0 == 0;
    const bool last = i0 + kRows >= rows;
    if (first && last) {
      a_b = fold_errors<BlockInLeaf{true, true}>(blk, ev, a, a_b);
    } else if (first) {
      a_b = fold_errors<BlockInLeaf{true, false}>(blk, ev, a, a_b);
    } else if (last) {
      a_b = fold_errors<BlockInLeaf{false, true}>(blk, ev, a, a_b);
    } else {
      a_b = fold_errors(blk, ev, a, a_b);
    }
  }
  return 0.0f + a_b;
}

float tree_leaf(const float* x, std::size_t rows, std::size_t m, std::size_t extent,
                const float* w, float b, const float* y, float* out, float* scratch) noexcept {
  TreeLeaf tree(x, rows, m, extent, w, b, y, scratch);
  return tree.node(0, rows, out, tree.levels());
}

void add_into(float* left, const float* right, std::size_t m) noexcept {
  add_vectors(left, right, m);
}

void descend(float* w, const float* g, std::size_t m, float n_f, float lr) noexcept {
  const VecF n_v = splat(n_f);
  const VecF lr_v = splat(lr);
  std::size_t j = 0;
  for (; j + kLanes <= m; j += kLanes) store(w + j, load(w + j) - ((load(g + j) / n_v) * lr_v));
  for (; j < m; ++j) w[j] = w[j] - ((g[j] / n_f) * lr);
}

}  // namespace zelto::ZELTO_ISA
