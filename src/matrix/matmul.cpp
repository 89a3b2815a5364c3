// The matrix product's division over the pool.
//
// The units of the parallel loop are blocks of C along its longer side, one on a single
// thread and kBlocksPerThread per thread otherwise: a block packs all of B (row blocks) or all
// of A (column blocks) it multiplies, so few large blocks copy each operand few times, while
// more than one per thread lets an idle worker take over part of a busy one's share. A deep
// product with a small C (64 x 8192 times 8192 x 64) is cut by rows: its B has one panel of
// columns and is read in place, so each thread copies only its own rows of A.
#include "matrix/matmul.hpp"

#include "matrix/thread_scratch.hpp"
#include "parallel/parallel.hpp"

namespace zelto {
namespace {

// Estimated cost of one multiply-add, in ns, and of starting one block: what the pool weighs
// against the cost of waking workers (small products with AVX-512, bench/matmul.md).
constexpr double kNsPerMultiplyAdd = 0.02;
constexpr double kNsPerBlock = 1000.0;

constexpr std::size_t kBlocksPerThread = 2;
// The fewest rows or columns of C a block gets, unless C has fewer: a few register tiles' worth
// (the kernel decides whether a block is tall enough to pay for packing). Columns go in
// multiples of the widest register tile, so that blocks meet on whole tiles for every
// instruction set.
constexpr std::size_t kMinBlockRows = 16;
constexpr std::size_t kColumnStep = 64;
constexpr std::size_t kMinBlockCols = 128;

}  // namespace

void matmul_into(const MatrixKernels& kernels, const MatmulBlocking& blocking, const float* a,
                 const float* b, float* c, std::size_t r, std::size_t k, std::size_t n) {
  const bool by_rows = r >= n;
  const std::size_t side = by_rows ? r : n;
  const std::size_t step = by_rows ? 1 : kColumnStep;
  const std::size_t min_block = by_rows ? kMinBlockRows : kMinBlockCols;
  std::size_t blocks = side / min_block;
  // Blocks for the workers that can run at once: a pool larger than the machine gains nothing
  // from smaller blocks, and every division gives the same values.
  const std::size_t threads = detail::current_pool().runnable_threads();
  const std::size_t most = threads == 1 ? 1 : kBlocksPerThread * threads;
  if (blocks > most) blocks = most;
  if (blocks == 0) blocks = 1;
  // Block x covers [edge(x), edge(x + 1)) of the split side, in whole steps but the last.
  const std::size_t steps = (side + step - 1) / step;
  const auto edge = [&](std::size_t x) {
    const std::size_t at = x * steps / blocks * step;
    return at < side ? at : side;
  };
  const double ns_per_block =
      kNsPerBlock + kNsPerMultiplyAdd * static_cast<double>(r) * static_cast<double>(k) *
                        static_cast<double>(n) / static_cast<double>(blocks);
  run_divided<bool>(
      blocks, ns_per_block,
      [&](std::size_t begin, std::size_t end) {
        const MatmulBlock block = by_rows ? MatmulBlock{edge(begin), edge(end), 0, n}
                                          : MatmulBlock{0, r, edge(begin), edge(end)};
        kernels.matmul_block(a, b, c, k, n, block, blocking, thread_scratch());
        return true;
      },
      [](bool, bool) { return true; }, Units::independent);
}

}  // namespace zelto
