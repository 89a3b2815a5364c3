// Blocks of rows with one row per vector lane, for kernel files compiled per instruction set:
// loading four columns of a block transposed, and the block's predictions.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "core/simd.hpp"

namespace zelto::ZELTO_ISA::row_blocks {

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

// Rows at most this far ahead (in floats) are requested into L1; rows further ahead only into
// L2, where they do not evict the rows being computed.
constexpr std::size_t kNearFloats = 16384 / sizeof(float);

// Requests the cache lines of next[from, from + count) that exist (next_len floats do).
inline void prefetch_span(const float* next, std::size_t next_len, std::size_t from,
                          std::size_t count, bool near) noexcept {
  constexpr std::size_t kLineFloats = 64 / sizeof(float);
  const std::size_t to = from + count < next_len ? from + count : next_len;
  for (std::size_t k = from; k < to; k += kLineFloats) {
    if (near) {
      __builtin_prefetch(next + k, 0, 3);
    } else {
      __builtin_prefetch(next + k, 0, 2);
    }
  }
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
    const bool near = kPrefetchBlocks * N * kRows * m <= kNearFloats;
    for (; c0 + 4 <= m; c0 += 4) {
      prefetch_span(next, next_len, c0 * N * kRows, 4 * N * kRows, near);
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

}  // namespace zelto::ZELTO_ISA::row_blocks
