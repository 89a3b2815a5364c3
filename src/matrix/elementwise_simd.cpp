// Element-wise scalar add and multiply, one IEEE operation per element with the element on
// the left and its NaN results made canonical, several registers per step so loads and stores
// overlap.
#include "core/simd.hpp"
#include "matrix/canonical_nan.hpp"
#include "matrix/matrix_kernels.hpp"

namespace zelto::ZELTO_ISA {
namespace {

constexpr std::size_t kUnroll = 4;

// Applies op to every element: whole registers first, then the leftover elements one by one.
// The scalar v as the right operand of a vector operation is broadcast to every lane unchanged.
template <class Op>
inline void apply(const float* in, float* out, std::size_t count, float v, Op op) noexcept {
  std::size_t i = 0;
  for (; i + kUnroll * kLanes <= count; i += kUnroll * kLanes) {
    VecF x[kUnroll];
    for (std::size_t u = 0; u < kUnroll; ++u) x[u] = load(in + i + u * kLanes);
    for (std::size_t u = 0; u < kUnroll; ++u) {
      store(out + i + u * kLanes, canonical(op(x[u], v)));
    }
  }
  for (; i + kLanes <= count; i += kLanes) store(out + i, canonical(op(load(in + i), v)));
  for (; i < count; ++i) out[i] = canonical(op(in[i], v));
}

}  // namespace

void add_values(const float* in, float* out, std::size_t count, float v) noexcept {
  apply(in, out, count, v, [](auto x, auto y) { return x + y; });
}

void mul_values(const float* in, float* out, std::size_t count, float v) noexcept {
  apply(in, out, count, v, [](auto x, auto y) { return x * y; });
}

}  // namespace zelto::ZELTO_ISA
