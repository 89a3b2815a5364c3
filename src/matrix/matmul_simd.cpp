// Matrix product kernel: c[i][j] = fl(fl(a[i][p] * b[p][j]) + c[i][j]) for p ascending, with
// c starting at +0.0, for one block of C (a range of rows by a range of columns).
//
// 1. The inner index p is cut into depth blocks; between blocks each element's running sum
//    waits in C, so the sum still runs from p = 0 to k - 1 in one chain. The first block
//    starts every sum at +0.0 itself, so C needs no zero-filling beforehand and its pages are
//    first touched by the thread that owns the block.
// 2. Large products copy their operands into the caller's per-thread scratch, block by block:
//    kPackDepth rows of B by kPackCols columns, as panels of one register tile's width whose
//    rows follow each other (one sequential stream per tile, whatever the stride of B), and
//    kPackRows rows of A by kPackDepth, row after row (no 4 KiB stride between the rows a
//    tile reads). A panel group stays in L2 while every row strip of the A block passes over
//    it; the A strip stays in L1 for the panels of the group. Columns after the last whole
//    panel are read in place (3. and 5.).
// 3. Small products, blocks of few rows, and products whose B has no more columns than one
//    panel read both operands in place: the columns are cut into panels whose B slice fits in L2, and each
//    tile requests the B rows kAheadRows further down into L2 as it goes.
// 4. Register tiles of kTileRows rows x kTileVecs registers of columns: the tile's sums stay in
//    registers for the whole depth block, each B register load feeds kTileRows products and
//    each A element is broadcast into kTileVecs products. Rows are cut into as few strips of
//    at most kTileRows as possible, of sizes differing by at most one: 32 rows become
//    6+6+5+5+5+5 rather than 6+6+6+6+6+2, whose last strip would multiply at a fraction of
//    the rate.
// 5. Columns that do not fill a register: when a row of C holds at least one register, the
//    register ending at the block's last column is multiplied whole and only its last lanes
//    are stored; lanes are independent, so those columns follow the same sequence as all
//    others, while the lanes before them repeat columns a full tile owns and are dropped.
//    Blocks narrower than one register (a matrix times a vector) put rows in lanes instead:
//    square blocks of A are transposed in registers, and each depth step multiplies one
//    column of A by the broadcast b[p][j] and adds it to the rows' sums.
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
constexpr std::size_t kPanelWidth = kTileVecs * kLanes;

// Operands read in place. B rows requested into L2 this far ahead of the row being multiplied:
// rows of a large B lie on different pages, where the hardware prefetchers do not follow, so
// the first strip of rows to reach a panel would otherwise wait on memory for every row. 32
// rows (about 800 cycles of work) also cover memory latency once the operands outgrow the L3.
constexpr std::size_t kDepthBlock = 512;
constexpr std::size_t kAheadRows = 32;
constexpr std::size_t kPanelFloats = std::size_t{128} << 10;  // 512 KiB of B per panel
constexpr std::size_t kPanelCols = kPanelFloats / kDepthBlock / kPanelWidth * kPanelWidth;

// Packed operands: a B block of kPackDepth x kPackCols (1.5 MiB, in L3, its panel groups in
// L2) and an A block of kPackRows x kPackDepth (144 KiB, in L2); kGroupPanels panels (384 KiB
// with AVX-512) share one pass of the A strips. On one Zen 4 core with AVX-512 this runs
// 1000 x 1000 products 26% faster than reading in place (whose last panel mixes narrower
// tiles), 2048 x 2048 15% and 1024 x 1024 5%.
constexpr std::size_t kPackDepth = 384;
constexpr std::size_t kPackRows = 96;
constexpr std::size_t kPackCols = 1024;
constexpr std::size_t kGroupPanels = 4;
static_assert(kPackCols % kPanelWidth == 0);
static_assert(kPackDepth * (kPackCols + kPackRows) <= kMatmulScratchFloats);
// Packing pays from this many multiply-adds per B element copied, i.e. rows of C per block
// (copying costs as much as about 8 multiply-adds)...
constexpr std::size_t kPackMinRows = 128;
// ...and from this many B elements: a smaller B stays in L2 whatever its stride (at 256 x 256
// the in-place path is 7% faster, at 512 x 512 both run alike).
constexpr std::size_t kPackMinB = std::size_t{256} << 10;

// Rows of C summed side by side as scalar chains when a block is narrower than one register
// and fewer than a register of rows is left.
constexpr std::size_t kNarrowRows = 8;
// Rows of A requested ahead of the narrow blocks: about 24 KiB, which measured 8.0-9.4 GFLOPS
// on a 100000 x 64 by 64 x 1 product against 5.5 for 8 KiB and 4.0 without.
constexpr std::size_t kNarrowAheadFloats = std::size_t{6} << 10;

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
// another tile owns (see 5.). In later depth blocks they read columns already written, so
// nothing uninitialised is read. Ahead: request B rows kAheadRows ahead (B read in place).
template <std::size_t R, std::size_t V, bool Ahead>
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
      if (v == 0 && dropped_lanes != 0) {
        for (std::size_t j = dropped_lanes; j < kLanes; ++j) c[r * s.c + j] = acc[r][0][j];
      } else {
        store(c + r * s.c + v * kLanes, acc[r][v]);
      }
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
  tile<R, V, true>(a, b, c, s, depth, first_block);
}

// R rows across width (at least kLanes) columns read in place: full tiles, one narrower tile,
// then the columns short of a register as the end of a whole one (see 5.).
template <std::size_t R>
inline void strip(const float* a, const float* b, float* c, Strides s, std::size_t depth,
                  std::size_t width, bool first_block) noexcept {
  std::size_t j = 0;
  for (; j + kPanelWidth <= width; j += kPanelWidth) {
    tile<R, kTileVecs, true>(a, b + j, c + j, s, depth, first_block);
  }
  const std::size_t vecs = (width - j) / kLanes;
  if (vecs != 0) tile_vecs<R, kTileVecs - 1>(vecs, a, b + j, c + j, s, depth, first_block);
  j += vecs * kLanes;
  if (j == width) return;
  const std::size_t dropped = kLanes - (width - j);
  tile<R, 1, true>(a, b + j - dropped, c + j - dropped, s, depth, first_block, dropped);
}

// Picks the strip instantiation for the rows (1 .. kTileRows) of one strip.
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

// Picks the full-width tile on a packed panel for the rows (1 .. kTileRows) of one strip.
template <std::size_t R>
inline void panel_rows(std::size_t rows, const float* a, const float* b, float* c, Strides s,
                       std::size_t depth, bool first_block) noexcept {
  if constexpr (R > 1) {
    if (rows < R) {
      panel_rows<R - 1>(rows, a, b, c, s, depth, first_block);
      return;
    }
  }
  tile<R, kTileVecs, false>(a, b, c, s, depth, first_block);
}

// Row t of the strips that cut rows into as few pieces of at most kTileRows as possible.
struct Strips {
  std::size_t rows, count;
  explicit Strips(std::size_t r) noexcept : rows(r), count((r + kTileRows - 1) / kTileRows) {}
  std::size_t begin(std::size_t t) const noexcept { return t * rows / count; }
};

// Rows [first, end) x columns [j0, j1) with both operands read in place; j1 - j0 >= kLanes.
void in_place(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
              std::size_t first, std::size_t end, std::size_t j0, std::size_t j1) noexcept {
  const Strides s{k, n, n};
  const Strips strips(end - first);
  for (std::size_t pc = 0; pc < k; pc += kDepthBlock) {
    const std::size_t depth = smaller(kDepthBlock, k - pc);
    for (std::size_t jc = j0; jc < j1; jc += kPanelCols) {
      // A last panel narrower than a register joins the one before, so every strip has one.
      std::size_t width = smaller(kPanelCols, j1 - jc);
      if (j1 - jc - width < kLanes) width = j1 - jc;
      for (std::size_t t = 0; t < strips.count; ++t) {
        const std::size_t i = first + strips.begin(t);
        strip_rows<kTileRows>(first + strips.begin(t + 1) - i, a + i * k + pc, b + pc * n + jc,
                              c + i * n + jc, s, depth, width, pc == 0);
      }
      if (width == j1 - jc) break;
    }
  }
}

// B rows [0, depth) x columns [0, cols) (cols a multiple of kPanelWidth) as consecutive panels,
// each depth rows of kPanelWidth floats. Row by row, so B is read in address order.
void pack_b(const float* b, std::size_t n, std::size_t depth, std::size_t cols,
            float* out) noexcept {
  for (std::size_t p = 0; p < depth; ++p) {
    const float* row = b + p * n;
    for (std::size_t j = 0; j < cols; j += kPanelWidth) {
      float* dst = out + j * depth + p * kPanelWidth;
#pragma GCC unroll 16
      for (std::size_t v = 0; v < kTileVecs; ++v) {
        store(dst + v * kLanes, load(row + j + v * kLanes));
      }
    }
  }
}

// A rows [0, rows) x columns [0, depth), row after row.
void pack_a(const float* a, std::size_t k, std::size_t rows, std::size_t depth,
            float* out) noexcept {
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = a + i * k;
    float* dst = out + i * depth;
    std::size_t p = 0;
    for (; p + kLanes <= depth; p += kLanes) store(dst + p, load(row + p));
    for (; p < depth; ++p) dst[p] = row[p];
  }
}

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

// Rows [first, end) x columns [j0, j1), fewer than kLanes. kLanes rows at a time, one lane per
// row: blocks of kLanes x kLanes of A are transposed in registers, so that each depth step is
// one register of products of A's column p with b[p][j], added to the rows' sums. The last
// k % kLanes terms, and rows short of a register, run as scalar chains, kNarrowRows rows side
// by side.
void narrow(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
            std::size_t first, std::size_t end, std::size_t j0, std::size_t j1) noexcept {
  const std::size_t strip_floats = kLanes * k;
  const std::size_t ahead_rows =
      (kNarrowAheadFloats > strip_floats ? kNarrowAheadFloats / strip_floats : 1) * kLanes;
  std::size_t i = first;
  for (; i + kLanes <= end; i += kLanes) {
    for (std::size_t j = j0; j < j1; ++j) {
      VecF acc{};
      std::size_t p = 0;
      for (; p + kLanes <= k; p += kLanes) {
        // Whole strips of rows further down are contiguous: each block requests its share of
        // one in address order, which the prefetchers do not do for this access pattern.
        const float* ahead = a + (i + ahead_rows) * k + p * kLanes;
#pragma GCC unroll 16
        for (std::size_t x = 0; x < kLanes * kLanes; x += 64 / sizeof(float)) {
          __builtin_prefetch(ahead + x, 0, 3);
        }
        VecF t[kLanes];
        transpose_block(a + i * k + p, k, t);
#pragma GCC unroll 16
        for (std::size_t q = 0; q < kLanes; ++q) acc = t[q] * b[(p + q) * n + j] + acc;
      }
      for (std::size_t r = 0; r < kLanes; ++r) {
        float sum = acc[r];
        for (std::size_t q = p; q < k; ++q) sum = a[(i + r) * k + q] * b[q * n + j] + sum;
        c[(i + r) * n + j] = sum;
      }
    }
  }
  for (std::size_t j = j0; j < j1; ++j) {
    std::size_t h = i;
    for (; h + kNarrowRows <= end; h += kNarrowRows) {
      float acc[kNarrowRows] = {};
      for (std::size_t p = 0; p < k; ++p) {
        const float x = b[p * n + j];
#pragma GCC unroll 16
        for (std::size_t r = 0; r < kNarrowRows; ++r) acc[r] = a[(h + r) * k + p] * x + acc[r];
      }
      for (std::size_t r = 0; r < kNarrowRows; ++r) c[(h + r) * n + j] = acc[r];
    }
    for (; h < end; ++h) {
      float acc = 0.0f;
      for (std::size_t p = 0; p < k; ++p) acc = a[h * k + p] * b[p * n + j] + acc;
      c[h * n + j] = acc;
    }
  }
}

// Rows [first, end) x columns [j0, j1) through packed copies in scratch (see 2.).
void packed(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
            std::size_t first, std::size_t end, std::size_t j0, std::size_t j1,
            float* scratch) noexcept {
  float* const b_pack = scratch;
  float* const a_pack = scratch + kPackDepth * kPackCols;
  const std::size_t whole_end = j0 + (j1 - j0) / kPanelWidth * kPanelWidth;
  for (std::size_t jc = j0; jc < whole_end; jc += kPackCols) {
    const std::size_t cols = smaller(kPackCols, whole_end - jc);
    for (std::size_t pc = 0; pc < k; pc += kPackDepth) {
      const std::size_t depth = smaller(kPackDepth, k - pc);
      pack_b(b + pc * n + jc, n, depth, cols, b_pack);
      for (std::size_t ic = first; ic < end; ic += kPackRows) {
        const std::size_t rows = smaller(kPackRows, end - ic);
        pack_a(a + ic * k + pc, k, rows, depth, a_pack);
        const Strides s{depth, kPanelWidth, n};
        const Strips strips(rows);
        for (std::size_t jg = 0; jg < cols; jg += kGroupPanels * kPanelWidth) {
          const std::size_t group_end = smaller(cols, jg + kGroupPanels * kPanelWidth);
          for (std::size_t t = 0; t < strips.count; ++t) {
            const std::size_t i = strips.begin(t);
            const std::size_t h = strips.begin(t + 1) - i;
            for (std::size_t jr = jg; jr < group_end; jr += kPanelWidth) {
              panel_rows<kTileRows>(h, a_pack + i * depth, b_pack + jr * depth,
                                    c + (ic + i) * n + jc + jr, s, depth, pc == 0);
            }
          }
        }
      }
    }
  }
  if (j1 - whole_end >= kLanes) {
    in_place(a, b, c, k, n, first, end, whole_end, j1);
  } else if (whole_end < j1) {
    narrow(a, b, c, k, n, first, end, whole_end, j1);
  }
}

}  // namespace

void matmul_block(const float* a, const float* b, float* c, std::size_t k, std::size_t n,
                  MatmulBlock block, float* scratch) noexcept {
  const std::size_t first = block.row_first, end = block.row_end;
  const std::size_t j0 = block.col_first, j1 = block.col_end;
  if (first == end || j0 == j1) return;
  if (k == 0) {
    for (std::size_t i = first; i < end; ++i) {
      for (std::size_t j = j0; j < j1; ++j) c[i * n + j] = 0.0f;
    }
  } else if (j1 - j0 < kLanes) {
    narrow(a, b, c, k, n, first, end, j0, j1);
  } else if (end - first >= kPackMinRows && j1 - j0 > kPanelWidth && k * n >= kPackMinB) {
    packed(a, b, c, k, n, first, end, j0, j1, scratch);
  } else {
    in_place(a, b, c, k, n, first, end, j0, j1);
  }
}

}  // namespace zelto::ZELTO_ISA
