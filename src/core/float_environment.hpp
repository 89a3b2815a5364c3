// The floating-point environment every kernel is written for: round to nearest (ties to even),
// subnormal inputs and results kept (no flush-to-zero, no denormals-are-zero) and no exception
// trapping, whatever the process has set. A thread inherits its creator's environment, and a
// library built with fast-math sets flush-to-zero on the thread that loads it, so neither the
// calling thread nor the workers can take it for granted.
//
// x86-64: MXCSR (the x87 unit computes nothing here). aarch64: FPCR and FPSR. Elsewhere: the
// rounding direction through <cfenv>, the only part the language lets code reach.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#elif !defined(__aarch64__)
#include <cfenv>
#endif

namespace zelto {
namespace detail {

#if defined(__x86_64__)

// MXCSR: the sticky exception flags (bits 0-5), DAZ (6), the exception masks (7-12), the
// rounding direction (13-14) and FTZ (15).
using FloatState = std::uint32_t;
// DAZ, the masks, the rounding direction and FTZ: the bits the kernels depend on.
inline constexpr FloatState kControlBits = 0xFFC0u;
// Every exception masked, round to nearest, FTZ and DAZ clear: the power-on value.
inline constexpr FloatState kKernelControl = 0x1F80u;

inline FloatState read_float_state() noexcept { return _mm_getcsr(); }
inline void write_float_state(FloatState state) noexcept { _mm_setcsr(state); }
inline bool is_kernel_state(FloatState state) noexcept {
  return (state & kControlBits) == kKernelControl;
}
// state with the kernels' control bits, its flags kept.
inline FloatState kernel_state_from(FloatState state) noexcept {
  return (state & ~kControlBits) | kKernelControl;
}

#elif defined(__aarch64__)

// FPCR, the control, and FPSR, the sticky exception flags.
struct FloatState {
  std::uint64_t fpcr;
  std::uint64_t fpsr;
  bool operator==(const FloatState&) const = default;
};
// FIZ, AH and NEP (bits 0-2, alternate handling where implemented), the trap enables (8-12 and
// 15), the rounding mode (22-23), FZ (24) and DN (25, which would replace NaN payloads); all
// clear for the kernels: round to nearest, subnormals kept, NaNs propagated, no traps.
inline constexpr std::uint64_t kControlBits = 0x7u | 0x9F00u | (0x3u << 22) | (0x1u << 24) |
                                              (0x1u << 25);

inline FloatState read_float_state() noexcept {
  FloatState state;
  asm volatile("mrs %0, fpcr" : "=r"(state.fpcr));
  asm volatile("mrs %0, fpsr" : "=r"(state.fpsr));
  return state;
}
inline void write_float_state(FloatState state) noexcept {
  asm volatile("msr fpcr, %0" : : "r"(state.fpcr) : "memory");
  asm volatile("msr fpsr, %0" : : "r"(state.fpsr) : "memory");
}
inline bool is_kernel_state(FloatState state) noexcept { return (state.fpcr & kControlBits) == 0; }
inline FloatState kernel_state_from(FloatState state) noexcept {
  return FloatState{state.fpcr & ~kControlBits, state.fpsr};
}

#else

// The rounding direction alone.
using FloatState = int;

inline FloatState read_float_state() noexcept { return std::fegetround(); }
inline void write_float_state(FloatState state) noexcept { std::fesetround(state); }
inline bool is_kernel_state(FloatState state) noexcept { return state == FE_TONEAREST; }
inline FloatState kernel_state_from(FloatState) noexcept { return FE_TONEAREST; }

#endif

}  // namespace detail

// Holds the kernels' environment on this thread for its lifetime, and then puts back exactly
// what the thread had, the sticky exception flags included: a call changes nothing in its
// caller's environment, whether its work ran on the calling thread or on the workers. Taken once
// by every call from Python, around the whole call (conversions and results round too). Reading
// the registers costs a few cycles; they are written only when they differ.
class KernelFloatEnvironment {
 public:
  KernelFloatEnvironment() noexcept : saved_(detail::read_float_state()) {
    if (!detail::is_kernel_state(saved_)) {
      detail::write_float_state(detail::kernel_state_from(saved_));
    }
  }
  ~KernelFloatEnvironment() {
    if (!(detail::read_float_state() == saved_)) detail::write_float_state(saved_);
  }
  KernelFloatEnvironment(const KernelFloatEnvironment&) = delete;
  KernelFloatEnvironment& operator=(const KernelFloatEnvironment&) = delete;

 private:
  detail::FloatState saved_;
};

// Sets the kernels' environment on this thread for good: a worker thread, which runs nothing
// else, does so once when it starts.
inline void set_kernel_float_environment() noexcept {
  const detail::FloatState state = detail::read_float_state();
  if (!detail::is_kernel_state(state)) detail::write_float_state(detail::kernel_state_from(state));
}

}  // namespace zelto
