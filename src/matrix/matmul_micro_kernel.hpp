// The matrix product's register tile (micro-kernel), for the kernel files of one instruction
// set: R rows x V registers of C whose sums stay in registers for a whole depth block, each B
// register load feeding R products and each A element V products. Every element receives
// c = fl(fl(a[i][p] * b[p][j]) + c) for p ascending, the same sequence as the plain loop.
#pragma once

#include "core/simd.hpp"
#include "matrix/canonical_nan.hpp"

namespace zelto::ZELTO_ISA {

// With AVX-512's 32 registers, 24 sums (6 rows x 4 registers); with the 16 registers of AVX2
// and SSE, 12 sums (6 x 2) plus two registers of B, the broadcast A element and the product:
// every register without spilling (bench/matmul.md).
inline constexpr std::size_t kTileRows = 6;
inline constexpr std::size_t kTileVecs = ZELTO_VEC_BYTES == 64 ? 4 : 2;
// A panel: the columns of one full tile.
inline constexpr std::size_t kPanelWidth = kTileVecs * kLanes;

// B rows requested into L2 this far ahead of the row being multiplied when B is read in place:
// rows of a large B lie on different pages, where the hardware prefetchers do not follow; 32
// rows (about 800 cycles of work) also cover memory latency once the operands outgrow the L3.
inline constexpr std::size_t kAheadRows = 32;

// Strides of the three row-major operands, in floats.
struct Strides {
  std::size_t a;
  std::size_t b;
  std::size_t c;
};

// Where the tile's sums start and end: from +0.0 in the first depth block (so C needs no
// zero-filling and is first touched by the thread that owns it), otherwise from C; made
// canonical as they are stored after the last depth block.
struct DepthBlock {
  std::size_t depth;
  bool first;
  bool last;
};

// Reads one A element for one product. With 64-byte registers every product reads it anew,
// as a broadcast memory operand ({1to16}): a broadcast into a shared register costs a
// vector-pipe slot and slows the multiplies (bench/matmul.md), while a memory operand only uses
// a load port. The empty asm hides that the reads are equal, so the compiler does not merge them.
inline float element(const float* x) noexcept {
  if constexpr (ZELTO_VEC_BYTES == 64) asm volatile("" : "+r"(x));
  return *x;
}

// R rows x V registers of C over one depth block. The first dropped_lanes lanes of each row's
// first register are not stored: they repeat columns that another tile owns (a row's last
// columns short of a register are computed as the end of a whole one). In later depth blocks
// they read columns already written, so nothing uninitialised is read. Ahead: request B rows
// kAheadRows ahead (B read in place).
template <std::size_t R, std::size_t V, bool Ahead>
inline void tile(const float* a, const float* b, float* c, Strides s, DepthBlock block,
                 std::size_t dropped_lanes = 0) noexcept {
  VecF acc[R][V];
#pragma GCC unroll 16
  for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) {
      acc[r][v] = block.first ? VecF{} : load(c + r * s.c + v * kLanes);
    }
  }
  // One depth step: V registers of B's row p, each multiplied by the R rows' elements of A.
  const auto step = [&](std::size_t p) __attribute__((always_inline)) {
    const float* brow = b + p * s.b;
    VecF bv[V];
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) bv[v] = load(brow + v * kLanes);
#pragma GCC unroll 16
    for (std::size_t r = 0; r < R; ++r) {
      // A scalar operand of a vector operation is broadcast to every lane unchanged.
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) {
        acc[r][v] = element(a + r * s.a + p) * bv[v] + acc[r][v];
      }
    }
  };
  // The steps that still have a row kAheadRows further down in the block request it; the last
  // ones do not, in a loop of their own so that no step pays for the test.
  const std::size_t depth = block.depth;
  std::size_t p = 0;
  if constexpr (Ahead) {
    const std::size_t ahead_end = depth > kAheadRows ? depth - kAheadRows : 0;
    for (; p < ahead_end; ++p) {
#pragma GCC unroll 16
      for (std::size_t v = 0; v < V; ++v) {
        __builtin_prefetch(b + (p + kAheadRows) * s.b + v * kLanes, 0, 2);
      }
      step(p);
    }
  }
  for (; p < depth; ++p) step(p);
#pragma GCC unroll 16
  for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) {
      const VecF sum = block.last ? canonical(acc[r][v]) : acc[r][v];
      if (v == 0 && dropped_lanes != 0) {
        for (std::size_t j = dropped_lanes; j < kLanes; ++j) c[r * s.c + j] = sum[j];
      } else {
        store(c + r * s.c + v * kLanes, sum);
      }
    }
  }
}

// Row t of the strips that cut rows into as few pieces of at most kTileRows as possible, of
// sizes differing by at most one: 32 rows become 6+6+5+5+5+5 rather than 6+6+6+6+6+2, whose
// last strip would multiply at a fraction of the rate.
struct Strips {
  std::size_t rows, count;
  explicit Strips(std::size_t r) noexcept : rows(r), count((r + kTileRows - 1) / kTileRows) {}
  std::size_t begin(std::size_t t) const noexcept { return t * rows / count; }
};

}  // namespace zelto::ZELTO_ISA
