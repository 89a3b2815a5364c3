// The fatal-error helper: the exception it throws and the report it writes to stderr.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <source_location>
#include <string>

#include "core/fatal.hpp"

namespace zelto {
namespace {

TEST(Fatal, ReportFormat) {
  const std::source_location here = std::source_location::current();
  const std::string report = fatal_report("some message", here);
  const std::string expected = "\nthread '<unnamed>' (" + std::to_string(::syscall(SYS_gettid)) +
                               ") panicked at tests/cpp/fatal_test.cpp:" +
                               std::to_string(here.line()) + ":" + std::to_string(here.column()) +
                               ":\nsome message\n";
  EXPECT_EQ(report, expected);
}

struct RaiseCase {
  bool reported;
  std::string message;
};

class FatalRaise : public ::testing::TestWithParam<RaiseCase> {};

// Both forms throw FatalError with the exact message; only raise_fatal writes a report.
TEST_P(FatalRaise, ThrowsMessageAndReportsOnlyWhenAsked) {
  const RaiseCase c = GetParam();
  testing::internal::CaptureStderr();
  std::string caught;
  try {
    if (c.reported) {
      raise_fatal(c.message);
    } else {
      raise_fatal_unreported(c.message);
    }
  } catch (const FatalError& e) {
    caught = e.message();
    EXPECT_STREQ(e.what(), c.message.c_str());
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(caught, c.message);
  if (c.reported) {
    EXPECT_NE(err.find("panicked at tests/cpp/fatal_test.cpp:"), std::string::npos) << err;
    EXPECT_NE(err.find(":\n" + c.message + "\n"), std::string::npos) << err;
  } else {
    EXPECT_EQ(err, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, FatalRaise,
                         ::testing::Values(RaiseCase{true, "capacity overflow"},
                                           RaiseCase{true, ""},
                                           RaiseCase{false, "resumed from Python"},
                                           RaiseCase{true, "multi\nline"}));

// A failure that cannot become an exception writes the same report and ends the process.
TEST(FatalDeathTest, AbortWritesReport) {
  EXPECT_DEATH(abort_fatal("cannot unwind"),
               "panicked at tests/cpp/fatal_test.cpp:[0-9]+:[0-9]+:\ncannot unwind\n");
}

// The backtrace hint follows the first report of the process and no later one.
TEST(Fatal, HintAppearsAtMostOnce) {
  std::string all;
  for (int i = 0; i < 3; ++i) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(raise_fatal("again"), FatalError);
    all += testing::internal::GetCapturedStderr();
  }
  std::size_t hints = 0;
  for (std::size_t at = all.find("ZELTO_BACKTRACE"); at != std::string::npos;
       at = all.find("ZELTO_BACKTRACE", at + 1)) {
    ++hints;
  }
  EXPECT_LE(hints, 1u);
  EXPECT_EQ(all.find("again\nnote"), all.rfind("again\nnote"));
}

}  // namespace
}  // namespace zelto
