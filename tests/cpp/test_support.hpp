// Helpers shared by the operation and kernel tests: bit-exact float comparison, the message of
// a fatal error, and captured standard error.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/fatal.hpp"

namespace zelto::testing_support {

// Same bits, or NaN on both sides (x86 may pick either NaN operand's payload).
inline bool same_bits(float got, float want) {
  return (std::isnan(got) && std::isnan(want)) ||
         std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
}

// Index of the first element whose bits differ (NaN matches any NaN), 0 when the lengths
// differ, or -1 when the vectors match.
inline long first_difference(const std::vector<float>& got, const std::vector<float>& want) {
  if (got.size() != want.size()) return 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!same_bits(got[i], want[i])) return static_cast<long>(i);
  }
  return -1;
}

// count floats from draw(gen), each replaced with probability special_rate by a special value:
// NaN (with and without payload), both infinities, both zeros, subnormals, huge and tiny values.
template <class Draw>
std::vector<float> random_floats_with_specials(std::size_t count, std::uint32_t seed,
                                               double special_rate, Draw draw) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> pick(0.0, 1.0);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::bit_cast<float>(std::uint32_t{0x7fc12345}),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -3.5e-39f,
                            3e38f,
                            1e-20f};
  std::vector<float> out(count);
  for (float& x : out) {
    x = pick(gen) < special_rate ? specials[gen() % std::size(specials)] : draw(gen);
  }
  return out;
}

// Holds what the process writes to standard error (from every thread, and from children that
// inherit it) for its life, so that reports a test expects stay out of the test's output.
class CapturedStderr {
 public:
  CapturedStderr() { testing::internal::CaptureStderr(); }
  ~CapturedStderr() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  // Ends the capture and returns the text.
  std::string take() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

// The message of the FatalError that f throws, or "" when it returns. The error must have been
// reported on standard error; the reports are captured.
template <class F>
std::string fatal_message(F&& f) {
  CapturedStderr captured;
  try {
    f();
  } catch (const FatalError& e) {
    const std::string reports = captured.take();
    EXPECT_NE(reports.find(") panicked at "), std::string::npos) << reports;
    EXPECT_NE(reports.find(":\n" + e.message() + "\n"), std::string::npos) << reports;
    return e.message();
  }
  return "";
}

}  // namespace zelto::testing_support
