// The solver's inner loops, compiled once per instruction set, and the one-time choice among
// them. Every variant gives each output exactly the operation sequence of the plain row loop:
//   prediction of row i:  p <- b; p <- p + (w_j * x_ij) for j ascending
//   gradient of row i:    e <- p - y_i; a_j <- (e * x_ij) + a_j for every j; a_b <- a_b + e
//   canonical trees:      the halving tree of rows over (e_i * x_ij) and over e_i
// so all variants agree bit for bit; only their speed differs.
#pragma once

#include <cstddef>

#include "core/isa.hpp"

// Declares the kernels of one instruction-set namespace.
#define ZELTO_DECLARE_SOLVER_KERNELS(isa)                                                      \
  namespace zelto::isa {                                                                       \
  void predict_rows(const float* x, std::size_t rows, std::size_t m, const float* w, float b,  \
                    float* out) noexcept;                                                      \
  float gradient_rows(const float* x, std::size_t rows, std::size_t m, const float* w,         \
                      float b, const float* y, float* a, float a_b) noexcept;                  \
  float tree_leaf(const float* x, std::size_t rows, std::size_t m, std::size_t extent,         \
                  const float* w, float b, const float* y, float* out, float* scratch)         \
      noexcept;                                                                                \
  float leaf_from_errors(const float* x, std::size_t rows, std::size_t m, const float* e,      \
                         float* a) noexcept;                                                   \
  void add_into(float* left, const float* right, std::size_t m) noexcept;                      \
  void descend(float* w, const float* g, std::size_t m, float n_f, float lr) noexcept;         \
  }

ZELTO_FOR_EACH_ISA(ZELTO_DECLARE_SOLVER_KERNELS)

namespace zelto {

// The largest block of rows a kernel handles at once, and the padding it needs after errors.
inline constexpr std::size_t kErrorBlock = 16;

// The most rows of a node of the canonical tree that the kernels sum unrolled.
inline constexpr std::size_t kTreeRows = 16;

// Internal linkage: the kernel variants' objects call these, and none may share its copy.
namespace {

// Rows whose errors one prediction makes for the canonical trees: about 8 KiB of X, so the rows
// are still in L1 when the trees read them again, and at least a node's worth.
constexpr std::size_t tree_window_rows(std::size_t m) noexcept {
  const std::size_t by_bytes = 8192 / (sizeof(float) * (m > 0 ? m : 1));
  return by_bytes < kTreeRows ? kTreeRows : by_bytes > 4096 ? 4096 : by_bytes;
}

// Floats of scratch tree_leaf needs for `rows` rows of m columns: the window of errors and one
// vector of m sums per level of the tree above its unrolled nodes.
constexpr std::size_t tree_leaf_scratch(std::size_t rows, std::size_t m) noexcept {
  std::size_t levels = 0;
  for (std::size_t r = rows; r > kTreeRows; r -= r / 2) ++levels;
  return tree_window_rows(m) + kTreeRows + levels * m;
}

}  // namespace

// One instruction set's kernels. x points at row 0 of the rows handled (row-major, m columns),
// y at those rows' targets, out at their prediction slots.
struct SolverKernels {
  // out[i] = prediction of row i for i < rows.
  void (*predict_rows)(const float* x, std::size_t rows, std::size_t m, const float* w, float b,
                       float* out) noexcept;
  // Folds rows [0, rows) in ascending order into the accumulator (a, a_b); returns the new a_b.
  float (*gradient_rows)(const float* x, std::size_t rows, std::size_t m, const float* w,
                         float b, const float* y, float* a, float a_b) noexcept;
  // A leaf's sums from its rows' errors e_i: from a = 0, a_b = +0.0, a_b <- a_b + e_i and
  // a_j <- (e_i * x_ij) + a_j for rows ascending, then each sum added onto +0.0 (as
  // reduce(identity(), sums) does); writes a, returns a_b. e is read in whole blocks: the
  // kErrorBlock - 1 floats after e[rows - 1] must be readable.
  float (*leaf_from_errors)(const float* x, std::size_t rows, std::size_t m, const float* e,
                            float* a) noexcept;
  // The halving trees of rows [0, rows), rows >= 1, at (w, b) with targets y: out_j over
  // (e_i * x_ij) and the returned one over e_i, e_i = prediction_i - y_i; nothing is added
  // onto +0.0. Rows after them are requested from memory within the `extent` floats from x that
  // exist; scratch holds tree_leaf_scratch(rows, m) floats.
  float (*tree_leaf)(const float* x, std::size_t rows, std::size_t m, std::size_t extent,
                     const float* w, float b, const float* y, float* out,
                     float* scratch) noexcept;
  // left_j <- left_j + right_j.
  void (*add_into)(float* left, const float* right, std::size_t m) noexcept;
  // w_j <- w_j - ((g_j / n_f) * lr).
  void (*descend)(float* w, const float* g, std::size_t m, float n_f, float lr) noexcept;
};

// The kernels of one instruction set; an instruction set this build lacks gives the baseline.
const SolverKernels& solver_kernels(Isa isa) noexcept;

// The kernels of chosen_isa(), the variant this process runs.
const SolverKernels& solver_kernels() noexcept;

}  // namespace zelto
