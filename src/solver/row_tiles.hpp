// Tiles of 16 rows by 16 columns for 512-bit registers: each row's 16 floats are loaded and
// multiplied by the weights as one register, the 16 registers of products are transposed
// (one row per lane), and each lane adds its row's products in ascending column order. Whole
// registers load the rows, where eight-row blocks assemble them from 128-bit pieces: a tile
// needs 64 shuffles for 256 products, about a third fewer per product than an eight-row block
// (bench/solver_step.md).
//
// Only for kernel files compiled per instruction set, and only with AVX-512.
#pragma once

#include <cstddef>
#include <utility>

#include <immintrin.h>

#include "core/simd.hpp"

#if !defined(__AVX512F__) || ZELTO_VEC_BYTES != 64
#error "row_tiles.hpp needs AVX-512 and 512-bit vectors"
#endif

namespace zelto::ZELTO_ISA::row_tiles {

// Rows and columns of a tile: one per lane.
constexpr std::size_t kTile = 16;

// The calls tiles suit: rows of at most 256 floats (at 512 and more, sixteen rows a tile apart
// share too few L1 sets), and at most 4 MiB of them. Larger calls mostly stream their rows from
// memory, where eight-row blocks requesting rows ahead are about a tenth faster
// (bench/solver_step.md).
constexpr std::size_t kMaxColumns = 256;
constexpr std::size_t kMaxBytes = std::size_t{4} << 20;

// Whether `rows` rows of m floats are predicted faster by tiles than by eight-row blocks.
constexpr bool suits(std::size_t rows, std::size_t m) noexcept {
  return m != 0 && m <= kMaxColumns && rows * m <= kMaxBytes / sizeof(float);
}

// The lane of a pair (a, b), numbered 0-15 in a and 16-31 in b, that lane i of a two-register
// shuffle takes: the unpacks of floats (kFloats) and of pairs (kPairs) within 128-bit lanes,
// low or high half, and the exchange of 128-bit lanes (kLanes4) whose selector `sel` picks lane
// sel>>2h&3 of a for result lanes h = 0, 1 and of b for h = 2, 3.
enum class Shuffle { kFloats, kPairs, kLanes4 };

constexpr int source_lane(Shuffle kind, int high_or_sel, int i) noexcept {
  const int h = i / 4;
  const int e = i % 4;
  switch (kind) {
    case Shuffle::kFloats:
      return (e % 2 != 0 ? 16 : 0) + 4 * h + 2 * high_or_sel + e / 2;
    case Shuffle::kPairs:
      return (e / 2 != 0 ? 16 : 0) + 4 * h + 2 * high_or_sel + e % 2;
    case Shuffle::kLanes4:
      return (h >= 2 ? 16 : 0) + 4 * ((high_or_sel >> (2 * h)) & 3) + e;
  }
  return 0;
}

// One two-register shuffle of the kinds above: one instruction each.
template <Shuffle kKind, int kArg, std::size_t... I>
inline VecF shuffle(VecF a, VecF b, std::index_sequence<I...>) noexcept {
  return __builtin_shufflevector(a, b, source_lane(kKind, kArg, static_cast<int>(I))...);
}

template <Shuffle kKind, int kArg>
inline VecF shuffle(VecF a, VecF b) noexcept {
  return shuffle<kKind, kArg>(a, b, std::make_index_sequence<kTile>{});
}

// z[r] lane k -> z[k] lane r: unpacks of floats and of pairs within 128-bit lanes, then two
// exchanges of 128-bit lanes between registers.
inline void transpose(VecF (&z)[kTile]) noexcept {
  VecF t[kTile];
  for (std::size_t i = 0; i < kTile; i += 2) {
    t[i] = shuffle<Shuffle::kFloats, 0>(z[i], z[i + 1]);
    t[i + 1] = shuffle<Shuffle::kFloats, 1>(z[i], z[i + 1]);
  }
  // t[i], i even: rows i, i+1 of columns 4h, 4h+1 in 128-bit lane h; t[i + 1]: of 4h+2, 4h+3.
  for (std::size_t i = 0; i < kTile; i += 4) {
    z[i] = shuffle<Shuffle::kPairs, 0>(t[i], t[i + 2]);
    z[i + 1] = shuffle<Shuffle::kPairs, 1>(t[i], t[i + 2]);
    z[i + 2] = shuffle<Shuffle::kPairs, 0>(t[i + 1], t[i + 3]);
    z[i + 3] = shuffle<Shuffle::kPairs, 1>(t[i + 1], t[i + 3]);
  }
  // z[4g + k]: rows 4g .. 4g+3 of column 4h + k in 128-bit lane h.
  for (std::size_t k = 0; k < 4; ++k) {
    const VecF lo01 = shuffle<Shuffle::kLanes4, 0x44>(z[k], z[4 + k]);
    const VecF hi01 = shuffle<Shuffle::kLanes4, 0xee>(z[k], z[4 + k]);
    const VecF lo23 = shuffle<Shuffle::kLanes4, 0x44>(z[8 + k], z[12 + k]);
    const VecF hi23 = shuffle<Shuffle::kLanes4, 0xee>(z[8 + k], z[12 + k]);
    t[k] = shuffle<Shuffle::kLanes4, 0x88>(lo01, lo23);
    t[4 + k] = shuffle<Shuffle::kLanes4, 0xdd>(lo01, lo23);
    t[8 + k] = shuffle<Shuffle::kLanes4, 0x88>(hi01, hi23);
    t[12 + k] = shuffle<Shuffle::kLanes4, 0xdd>(hi01, hi23);
  }
  for (std::size_t k = 0; k < kTile; ++k) z[k] = t[k];
}

// The `mask` lanes of p, zeros in the others; masked-off lanes are never read.
inline VecF load_masked(const float* p, __mmask16 mask) noexcept {
  return VecF(_mm512_maskz_loadu_ps(mask, p));
}

// p (lane r = row r) <- p + (w_j * x_rj) for the `cols` columns j = c0 .. c0+cols-1 of the
// tile's rows at x, ascending; `mask` selects those columns, so nothing past them is read.
inline VecF add_columns(VecF p, const float* x, std::size_t m, const float* w, std::size_t cols,
                        __mmask16 mask) noexcept {
  const VecF wv = load_masked(w, mask);
  VecF z[kTile];
  for (std::size_t r = 0; r < kTile; ++r) z[r] = wv * load_masked(x + r * m, mask);
  transpose(z);
  for (std::size_t k = 0; k < cols; ++k) p = p + z[k];
  return p;
}

// out[i] = prediction of row i for the first floor(rows / kTile) * kTile rows (m >= 1), each
// p <- b, then p <- p + (w_j * x_ij) for j ascending; returns how many rows that is.
inline std::size_t predict(const float* x, std::size_t rows, std::size_t m, const float* w,
                           float b, float* out) noexcept {
  const std::size_t whole = m / kTile * kTile;
  const std::size_t rest = m - whole;
  const __mmask16 rest_mask = static_cast<__mmask16>((1u << rest) - 1);
  const std::size_t tiled = rows / kTile * kTile;
  for (std::size_t i0 = 0; i0 < tiled; i0 += kTile) {
    const float* xi = x + i0 * m;
    VecF p = splat(b);
    for (std::size_t c0 = 0; c0 < whole; c0 += kTile) {
      p = add_columns(p, xi + c0, m, w + c0, kTile, 0xffff);
    }
    if (rest != 0) p = add_columns(p, xi + whole, m, w + whole, rest, rest_mask);
    store(out + i0, p);
  }
  return tiled;
}

}  // namespace zelto::ZELTO_ISA::row_tiles
