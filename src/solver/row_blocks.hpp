// Blocks of rows with one row per vector lane, for kernel files compiled per instruction set:
// the products of four columns of a block, transposed, and the block's predictions.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

#include "core/simd.hpp"

#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace zelto::ZELTO_ISA::row_blocks {

// Rows per block, one per lane of a RowVec: at most eight, also where 512-bit registers exist,
// since sixteen-row blocks overflow the L1 sets that rows 2 KiB apart share
// (bench/solver_step.md).
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

// Byte offsets of a block's rows from its first row: the loads of a block then address every
// row as one base plus one of these, with no arithmetic per load. A block of fewer rows repeats
// its last row in the lanes it lacks, so it loads like a full block and never reads past its
// rows; the caller ignores those lanes.
struct RowOffsets {
  std::size_t at[kRows];
};

inline RowOffsets row_offsets(std::size_t m, std::size_t rows) noexcept {
  RowOffsets o;
  for (std::size_t r = 0; r < kRows; ++r) o.at[r] = (r < rows ? r : rows - 1) * m * sizeof(float);
  return o;
}

// Transposes four loaded registers, register l holding in 128-bit lane h the four floats of
// row 4h + l, by a 4 x 4 transpose inside every 128-bit lane (unpack floats, then unpack
// pairs): lane h's element l of column k becomes x[4h + l][c0 + k].
inline Columns transpose_lanes(const RowVec (&z)[4]) noexcept {
  constexpr auto lanes = std::make_index_sequence<kRows>{};
  const RowVec t0 = unpack<false, false>(z[0], z[1], lanes);
  const RowVec t1 = unpack<false, true>(z[0], z[1], lanes);
  const RowVec t2 = unpack<false, false>(z[2], z[3], lanes);
  const RowVec t3 = unpack<false, true>(z[2], z[3], lanes);
  return Columns{{unpack<true, false>(t0, t2, lanes), unpack<true, true>(t0, t2, lanes),
                  unpack<true, false>(t1, t3, lanes), unpack<true, true>(t1, t3, lanes)}};
}

// The four floats at lo in 128-bit lane 0 and, for eight-row blocks, the four at hi in lane 1.
// With AVX the upper piece is inserted straight from memory: one load and one insert, where
// joining two loaded registers costs a load more and a cross-lane shuffle.
inline RowVec load_pair(const char* lo, [[maybe_unused]] const char* hi) noexcept {
#if defined(__AVX__)
  if constexpr (kQuarters == 2) {
    return RowVec(_mm256_insertf128_ps(
        _mm256_castps128_ps256(_mm_loadu_ps(reinterpret_cast<const float*>(lo))),
        _mm_loadu_ps(reinterpret_cast<const float*>(hi)), 1));
  }
#endif
  Vec4 q[kQuarters];
  std::memcpy(&q[0], lo, sizeof q[0]);
  if constexpr (kQuarters == 2) std::memcpy(&q[1], hi, sizeof q[1]);
  return assemble<Vec4>(q);
}

// w_c0 .. w_c0+3 in every 128-bit lane: the weights of a column group laid out like its rows.
inline RowVec weight_lanes(const float* w) noexcept {
#if defined(__AVX__)
  if constexpr (kQuarters == 2) {
    return RowVec(_mm256_broadcast_ps(reinterpret_cast<const __m128*>(w)));
  }
#endif
  Vec4 q[kQuarters];
  for (std::size_t h = 0; h < kQuarters; ++h) std::memcpy(&q[h], w, sizeof q[h]);
  return assemble<Vec4>(q);
}

// The products w_j * x_rj of columns j = c0 .. c0+3 of a block whose row 0 at column c0 is at
// p, its rows at offsets o, with wq = weight_lanes(w + c0): one column per RowVec, row r in
// lane r. The rows are multiplied as loaded (one weight load per group instead of one broadcast
// per column) and the products transposed: each product is the same single multiplication.
inline Columns load_full_products(const char* p, const RowOffsets& o, RowVec wq) noexcept {
  RowVec z[4];
  for (std::size_t l = 0; l < 4; ++l) {
    z[l] = wq * load_pair(p + o.at[l], p + o.at[(4 + l) % kRows]);
  }
  return transpose_lanes(z);
}

// Columns c0 .. c0+3 of any block: missing rows read as zeros and a piece that would leave the
// caller's rows is read partially; lanes of columns past the row's end are never used.
inline Columns load_checked_columns(const Block& blk, std::size_t c0) noexcept {
  const std::size_t left = blk.m - c0 < 4 ? blk.m - c0 : 4;
  RowVec z[4];
  for (std::size_t l = 0; l < 4; ++l) {
    Vec4 q[kQuarters];
    for (std::size_t h = 0; h < kQuarters; ++h) {
      const std::size_t r = 4 * h + l;
      const std::size_t at = r * blk.m + c0;
      q[h] = piece(blk.x + at, r < blk.rows, at + 4 <= blk.limit, left);
    }
    z[l] = assemble<Vec4>(q);
  }
  return transpose_lanes(z);
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

// How far ahead of the block group being computed its reads are requested (into L2): at least
// kPrefetchBlocks blocks and at least kPrefetchBytes, enough lines in flight to cover memory's
// latency (bench/solver_step.md).
constexpr std::size_t kPrefetchBlocks = 4;
constexpr std::size_t kPrefetchBytes = 16384;

// The rows ahead of a group's first row whose reads it requests, for rows of m > 0 floats.
inline std::size_t prefetch_rows(std::size_t m) noexcept {
  const std::size_t by_bytes = kPrefetchBytes / (m * sizeof(float));
  return by_bytes > kPrefetchBlocks * kRows ? by_bytes : kPrefetchBlocks * kRows;
}

// The column groups that need no checks, j = 0 .. 4*floor(m/4) - 1 ascending:
// p[i] <- p[i] + (w_j * x_rj). Full blocks (kFull) share one set of row offsets; a group with a
// short block gives each block its own. With kAhead each column group requests the share of the
// rows ahead that it reads itself (N*kRows*4 floats from next + c0*N*kRows), so the requests keep
// pace with the reads and never pile up.
template <std::size_t N, bool kAhead, bool kFull>
inline void predict_whole_columns(const Block (&blk)[N], const float* w, const float* next,
                                  RowVec (&sums)[N]) noexcept {
  constexpr std::size_t kLines = N * kRows * 4 * sizeof(float) / 64;
  const std::size_t m = blk[0].m;
  RowOffsets o[kFull ? 1 : N];
  for (std::size_t i = 0; i < count_of(o); ++i) o[i] = row_offsets(m, blk[i].rows);
  // Local copies stay in registers; the loads through x could otherwise alias the caller's.
  RowVec p[N];
  for (std::size_t i = 0; i < N; ++i) p[i] = sums[i];
  for (std::size_t c0 = 0; c0 + 4 <= m; c0 += 4) {
    if constexpr (kAhead) {
      for (std::size_t l = 0; l < kLines; ++l) {
        __builtin_prefetch(next + c0 * N * kRows + l * 16, 0, 2);
      }
    }
    const RowVec wq = weight_lanes(w + c0);
    Columns c[N];
    for (std::size_t i = 0; i < N; ++i) {
      c[i] = load_full_products(reinterpret_cast<const char*>(blk[i].x + c0), o[kFull ? 0 : i],
                                wq);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      for (std::size_t i = 0; i < N; ++i) p[i] = p[i] + c[i].v[k];
    }
  }
  for (std::size_t i = 0; i < N; ++i) sums[i] = p[i];
}

// For each of N blocks of at least one row: p (lane r = row r) <- b, then p <- p + (w_j * x_rj)
// for j ascending; lanes past a block's rows hold no meaning. Running several blocks side by
// side gives the adder independent chains, so the latency of one sum's additions no longer sets
// the pace. The blocks are read a column group at a time, a stride the hardware prefetchers
// follow poorly, so full groups also request the rows ahead: next_len floats exist at next.
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
  const std::size_t span = N * kRows * m;
  const bool ahead = next_len >= span;
  if (!full) {
    if (ahead) {
      predict_whole_columns<N, true, false>(blk, w, next, p);
    } else {
      predict_whole_columns<N, false, false>(blk, w, next, p);
    }
  } else if (!ahead) {
    predict_whole_columns<N, false, true>(blk, w, next, p);
  } else {
    predict_whole_columns<N, true, true>(blk, w, next, p);
  }
  for (std::size_t c0 = m / 4 * 4; c0 < m; c0 += 4) {
    const std::size_t cols = m - c0;
    for (std::size_t i = 0; i < N; ++i) {
      const Columns c = load_checked_columns(blk[i], c0);
      for (std::size_t k = 0; k < cols; ++k) p[i] = p[i] + splat_rows(w[c0 + k], lanes) * c.v[k];
    }
  }
}

}  // namespace zelto::ZELTO_ISA::row_blocks
