// Matrix product kernel: c[i][j] = fl(fl(a[i][p] * b[p][j]) + c[i][j]) for p ascending, with
// c starting at +0.0. B is read in place (no packed copy); speed comes from blocking.
//
// 1. The inner index p is cut into blocks of kDepthBlock; between blocks each element's
//    running sum waits in C, so the sum still runs from p = 0 to k - 1 in one chain. The
//    first block starts every sum at +0.0 itself, so C needs no zero-filling beforehand
//    and its pages are first touched by the worker that owns the rows.
// 2. Within a depth block the columns are cut into panels whose B slice fits in L2 and is
//    reused by every row of the leaf.
// 3. Each panel is swept by register tiles of kTileRows rows x kTileVecs registers of columns:
//    the tile's sums stay in registers for the whole depth block, each B register load feeds
//    kTileRows products and each A element is broadcast into kTileVecs products.
//    Each tile requests the B rows kAheadRows further down its depth block into L2 as it goes.
//    The leaf's rows are cut into as few strips of at most kTileRows as possible, of sizes
//    differing by at most one: 32 rows become 6+6+5+5+5+5 rather than 6+6+6+6+6+2, whose
//    last strip would multiply at a fraction of the rate.
// 4. Columns that do not fill a register: when a row of C holds at least one register, the
//    register ending at the row's end is multiplied whole and only its last lanes are stored;
//    lanes are independent, so those columns follow the same sequence as all others, while the
//    lanes before them repeat columns a full tile owns and are dropped. Rows shorter than one
//    register take a scalar path with the same per-element order.
#include "core/simd.hpp"
#include "matrix/matrix_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

// The register tile: with AVX-512's 32 registers, 24 sums (6 rows x 4 registers); with the 16
// registers of AVX2 and SSE, 12 sums (6 x 2) plus two registers of B, the broadcast A element
// and the product, which is every register without spilling (6 x 2 measured 76 GFLOPS on one
// core with AVX2 against 71 for 4 x 3).
constexpr std::size_t kTileRows = 6;
constexpr std::size_t kTileVecs = ZELTO_VEC_BYTES == 64 ? 4 : 2;
constexpr std::size_t kDepthBlock = 512;
// B rows requested into L2 this far ahead of the row being multiplied: rows of a large B lie
// on different pages, where the hardware prefetchers do not follow, so the first strip of
// rows to reach a panel would otherwise wait on memory for every row. 32 rows (about 800
// cycles of work) also cover memory latency once the operands outgrow the L3 cache.
constexpr std::size_t kAheadRows = 32;
constexpr std::size_t kPanelFloats = std::size_t{128} << 10;  // 512 KiB of B per panel
constexpr std::size_t kPanelCols =
    kPanelFloats / kDepthBlock / (kTileVecs * kLanes) * (kTileVecs * kLanes);

// Strides of the three row-major operands, in floats.
struct Strides {
  std::size_t a;
  std::size_t b;
  std::size_t c;
};

inline std::size_t smaller(std::size_t x, std::size_t y) noexcept { return x < y ? x : y; }

// Reads one A element for one product. With 64-byte registers every product reads it anew,
// so each multiply takes it as a broadcast memory operand ({1to16}): a broadcast into a
// register shared by the row's products costs a vector-pipe slot on Zen 4 and slows the
// multiplies by a fifth, while a memory operand only uses a load port. The empty asm hides
// that the reads are equal, which stops the compiler from merging them.
inline float element(const float* x) noexcept {
  if constexpr (ZELTO_VEC_BYTES == 64) asm volatile("" : "+r"(x));
  return *x;
}

// R rows x V registers of C, kept in registers across depth steps of p. In the first depth
// block the sums start from +0.0 in registers instead of being read from C. The first
// dropped_lanes lanes of each row's first register are not stored: they repeat columns that
// another tile owns (see 4.). In later depth blocks they read columns already written, so
// nothing uninitialised is read.
template <std::size_t R, std::size_t V>
inline void tile(const float* a, const float* b, float* c, Strides s, std::size_t depth,
                 bool first_block, std::size_t dropped_lanes = 0) noexcept {
  VecF acc[R][V];
#pragma GCC unroll 16
  for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) {
      acc[r][v] = first_block ? VecF{} : load(c + r * s.c + v * kLanes);
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
  // The steps that still have a row kAheadRows further down request it; the last ones do not,
  // in a loop of their own so that no step pays for the test.
  const std::size_t ahead_end = depth > kAheadRows ? depth - kAheadRows : 0;
  std::size_t p = 0;
  for (; p < ahead_end; ++p) {
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) {
      __builtin_prefetch(b + (p + kAheadRows) * s.b + v * kLanes, 0, 2);
    }
    step(p);
  }
  for (; p < depth; ++p) step(p);
#pragma GCC unroll 16
  for (std::size_t r = 0; r < R; ++r) {
#pragma GCC unroll 16
    for (std::size_t v = 0; v < V; ++v) {
      if (v == 0 && dropped_lanes != 0) {
        for (std::size_t j = dropped_lanes; j < kLanes; ++j) c[r * s.c + j] = acc[r][0][j];
      } else {
        store(c + r * s.c + v * kLanes, acc[r][v]);
      }
    }
  }
}

// The last cols (< kLanes) columns of R rows, element by element in the same order.
template <std::size_t R>
inline void tail(const float* a, const float* b, float* c, Strides s, std::size_t depth,
                 std::size_t cols, bool first_block) noexcept {
  if (first_block) {
    for (std::size_t r = 0; r < R; ++r) {
      for (std::size_t j = 0; j < cols; ++j) c[r * s.c + j] = 0.0f;
    }
  }
  for (std::size_t p = 0; p < depth; ++p) {
    const float* brow = b + p * s.b;
    for (std::size_t r = 0; r < R; ++r) {
      const float x = a[r * s.a + p];
      float* crow = c + r * s.c;
      for (std::size_t j = 0; j < cols; ++j) crow[j] = x * brow[j] + crow[j];
    }
  }
}

// One narrower tile for the vecs (1 .. V) whole registers left after the full tiles.
template <std::size_t R, std::size_t V>
inline void tile_vecs(std::size_t vecs, const float* a, const float* b, float* c, Strides s,
                      std::size_t depth, bool first_block) noexcept {
  if constexpr (V > 1) {
    if (vecs < V) {
      tile_vecs<R, V - 1>(vecs, a, b, c, s, depth, first_block);
      return;
    }
  }
  tile<R, V>(a, b, c, s, depth, first_block);
}

// R rows across a panel of width columns: full tiles, one narrower tile, then the tail.
template <std::size_t R>
inline void strip(const float* a, const float* b, float* c, Strides s, std::size_t depth,
                  std::size_t width, bool first_block) noexcept {
  std::size_t j = 0;
  for (; j + kTileVecs * kLanes <= width; j += kTileVecs * kLanes) {
    tile<R, kTileVecs>(a, b + j, c + j, s, depth, first_block);
  }
  const std::size_t vecs = (width - j) / kLanes;
  if (vecs != 0) tile_vecs<R, kTileVecs - 1>(vecs, a, b + j, c + j, s, depth, first_block);
  j += vecs * kLanes;
  if (j == width) return;
  if (s.b >= kLanes) {
    const std::size_t dropped = kLanes - (width - j);
    tile<R, 1>(a, b + j - dropped, c + j - dropped, s, depth, first_block, dropped);
  } else {
    tail<R>(a, b + j, c + j, s, depth, width - j, first_block);
  }
}

// Picks the strip instantiation for the rows (1 .. kTileRows) left in the leaf.
template <std::size_t R>
inline void strip_rows(std::size_t rows, const float* a, const float* b, float* c, Strides s,
                       std::size_t depth, std::size_t width, bool first_block) noexcept {
  if constexpr (R > 1) {
    if (rows < R) {
      strip_rows<R - 1>(rows, a, b, c, s, depth, width, first_block);
      return;
    }
  }
  strip<R>(a, b, c, s, depth, width, first_block);
}

}  // namespace

void matmul_rows(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                 std::size_t first, std::size_t end) noexcept {
  const Strides s{k, n, n};
  const std::size_t rows = end - first;
  const std::size_t strips = (rows + kTileRows - 1) / kTileRows;
  if (k == 0) {
    for (std::size_t x = first * n; x < end * n; ++x) c[x] = 0.0f;
  }
  for (std::size_t pc = 0; pc < k; pc += kDepthBlock) {
    const std::size_t depth = smaller(kDepthBlock, k - pc);
    for (std::size_t jc = 0; jc < n; jc += kPanelCols) {
      const std::size_t width = smaller(kPanelCols, n - jc);
      for (std::size_t t = 0; t < strips; ++t) {
        const std::size_t i = first + t * rows / strips;
        strip_rows<kTileRows>(first + (t + 1) * rows / strips - i, a + i * k + pc,
                              b + pc * n + jc, c + i * n + jc, s, depth, width, pc == 0);
      }
    }
  }
}

}  // namespace zelto::ZELTO_ISA
