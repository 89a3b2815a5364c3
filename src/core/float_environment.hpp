// The floating-point environment every kernel is written for: round to nearest (ties to even),
// subnormal inputs and results kept (no flush-to-zero, no denormals-are-zero) and no exception
// trapping, whatever the process has set. A thread inherits its creator's environment, and a
// library built with fast-math sets flush-to-zero on the thread that loads it, so neither the
// calling thread nor the workers can take it for granted.
//
// x86-64: MXCSR (the x87 unit computes nothing here). aarch64: FPCR. Elsewhere: the rounding
// direction through <cfenv>, the only part the language lets code reach.
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

using FloatControl = std::uint32_t;
// DAZ (bit 6), the six exception masks (7-12), the rounding direction (13-14), FTZ (15); the
// sticky exception flags (0-5) are the program's, never part of the comparison.
inline constexpr FloatControl kControlBits = 0xFFC0u;
// Every exception masked, round to nearest, FTZ and DAZ clear: the power-on value.
inline constexpr FloatControl kKernelControl = 0x1F80u;

inline FloatControl read_float_control() noexcept { return _mm_getcsr(); }
inline void write_float_control(FloatControl value) noexcept { _mm_setcsr(value); }

#elif defined(__aarch64__)

using FloatControl = std::uint64_t;
// FIZ, AH and NEP (bits 0-2, alternate handling where implemented), the trap enables (8-12 and
// 15), the rounding mode (22-23), FZ (24) and DN (25, which would replace NaN payloads).
inline constexpr FloatControl kControlBits = 0x7u | 0x9F00u | (0x3u << 22) | (0x1u << 24) |
                                             (0x1u << 25);
// All of them clear: round to nearest, subnormals kept, NaNs propagated, no traps.
inline constexpr FloatControl kKernelControl = 0;

inline FloatControl read_float_control() noexcept {
  FloatControl value;
  asm volatile("mrs %0, fpcr" : "=r"(value));
  return value;
}
inline void write_float_control(FloatControl value) noexcept {
  asm volatile("msr fpcr, %0" : : "r"(value) : "memory");
}

#else

using FloatControl = int;
inline constexpr FloatControl kControlBits = ~0;
inline constexpr FloatControl kKernelControl = FE_TONEAREST;

inline FloatControl read_float_control() noexcept { return std::fegetround(); }
inline void write_float_control(FloatControl value) noexcept { std::fesetround(value); }

#endif

// Whether value already is the kernels' environment.
inline bool is_kernel_control(FloatControl value) noexcept {
  return (value & kControlBits) == kKernelControl;
}

// value with its control bits replaced by the kernels' (the rest, the flags, kept).
inline FloatControl kernel_control_from(FloatControl value) noexcept {
  return (value & ~kControlBits) | kKernelControl;
}

}  // namespace detail

// Holds the kernels' environment on this thread for its lifetime, and then puts back exactly
// what the thread had, flags included. Taken once by every call from Python, around the whole
// call (conversions and results round too); reading the control register costs a few cycles,
// and it is written only when it differs.
class KernelFloatEnvironment {
 public:
  KernelFloatEnvironment() noexcept
      : saved_(detail::read_float_control()), changed_(!detail::is_kernel_control(saved_)) {
    if (changed_) detail::write_float_control(detail::kernel_control_from(saved_));
  }
  ~KernelFloatEnvironment() {
    if (changed_) detail::write_float_control(saved_);
  }
  KernelFloatEnvironment(const KernelFloatEnvironment&) = delete;
  KernelFloatEnvironment& operator=(const KernelFloatEnvironment&) = delete;

 private:
  detail::FloatControl saved_;
  bool changed_;
};

// Sets the kernels' environment on this thread for good: a worker thread, which runs nothing
// else, does so once when it starts.
inline void set_kernel_float_environment() noexcept {
  const detail::FloatControl value = detail::read_float_control();
  if (!detail::is_kernel_control(value)) {
    detail::write_float_control(detail::kernel_control_from(value));
  }
}

}  // namespace zelto
