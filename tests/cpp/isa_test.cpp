// The kernel variant a ZELTO_ISA setting selects, on whatever processor runs the tests.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/isa.hpp"

namespace zelto {
namespace {

Isa widest_available() {
  for (Isa isa : {Isa::avx512, Isa::avx2}) {
    if (isa_available(isa)) return isa;
  }
  return Isa::baseline;
}

TEST(ChooseIsa, NoSettingTakesTheWidestAvailable) {
  for (std::optional<std::string_view> setting : {std::optional<std::string_view>(), {""}}) {
    const IsaChoice choice = choose_isa(setting);
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal, "");
  }
  EXPECT_TRUE(isa_available(Isa::baseline));
}

class ChooseNamedIsa : public ::testing::TestWithParam<Isa> {};

INSTANTIATE_TEST_SUITE_P(AllIsas, ChooseNamedIsa,
                         ::testing::Values(Isa::baseline, Isa::avx2, Isa::avx512),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

// An available variant is taken as asked; one that cannot run here is refused with the reason,
// and the widest available one stands in.
TEST_P(ChooseNamedIsa, TakenWhereAvailableElseRefused) {
  const IsaChoice choice = choose_isa(isa_name(GetParam()));
  if (isa_available(GetParam())) {
    EXPECT_EQ(choice.isa, GetParam());
    EXPECT_EQ(choice.refusal, "");
  } else {
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal.rfind("ZELTO_ISA=" + std::string(isa_name(GetParam())) + ": ", 0),
              0u)
        << choice.refusal;
  }
}

TEST(ChooseIsa, UnknownNamesAreRefused) {
  for (std::string_view setting : {"AVX2", "sse4", "avx512 ", "0"}) {
    const IsaChoice choice = choose_isa(setting);
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal, "ZELTO_ISA=" + std::string(setting) +
                                  ": not a kernel variant (baseline, avx2 or avx512)");
  }
}

}  // namespace
}  // namespace zelto
