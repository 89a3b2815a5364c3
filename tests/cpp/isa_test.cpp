// The kernel variant a ZELTO_ISA setting selects, on whatever processor runs the tests.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/isa.hpp"

namespace zelto {
namespace {

// The last variant of the build's list that this processor runs.
Isa widest_available() {
  Isa widest = Isa::baseline;
  for (const Isa isa : kIsas) {
    if (isa_available(isa)) widest = isa;
  }
  return widest;
}

TEST(ChooseIsa, NoSettingTakesTheWidestAvailable) {
  for (std::optional<std::string_view> setting : {std::optional<std::string_view>(), {""}}) {
    const IsaChoice choice = choose_isa(setting);
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal, "");
  }
  EXPECT_EQ(kIsas[0], Isa::baseline);
  EXPECT_TRUE(isa_available(Isa::baseline));
}

class ChooseNamedIsa : public ::testing::TestWithParam<Isa> {};

INSTANTIATE_TEST_SUITE_P(AllIsas, ChooseNamedIsa, ::testing::ValuesIn(kIsas),
                         [](const auto& info) { return std::string(isa_name(info.param)); });

// An available variant is taken as asked; one that cannot run here is refused with the reason,
// and the widest available one stands in.
TEST_P(ChooseNamedIsa, TakenWhereAvailableElseRefused) {
  EXPECT_EQ(isa_named(isa_name(GetParam())), GetParam());
  const IsaChoice choice = choose_isa(isa_name(GetParam()));
  if (isa_available(GetParam())) {
    EXPECT_EQ(choice.isa, GetParam());
    EXPECT_EQ(choice.refusal, "");
  } else {
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal.rfind("ZELTO_ISA=" + std::string(isa_name(GetParam())) +
                                       ": this processor or its operating system lacks ",
                                   0),
              0u)
        << choice.refusal;
  }
}

// The refusal names every variant of the build, in the list's order.
TEST(ChooseIsa, UnknownNamesAreRefused) {
  std::string variants;
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    variants += std::string(i == 0 ? "" : i + 1 < kIsaCount ? ", " : " or ") + isa_name(kIsas[i]);
  }
  for (std::string_view setting : {"AVX2", "sse4", "avx512 ", "0"}) {
    const IsaChoice choice = choose_isa(setting);
    EXPECT_EQ(choice.isa, widest_available());
    EXPECT_EQ(choice.refusal,
              "ZELTO_ISA=" + std::string(setting) + ": not a kernel variant (" + variants + ")");
    EXPECT_EQ(isa_named(setting), std::nullopt);
  }
}

}  // namespace
}  // namespace zelto
