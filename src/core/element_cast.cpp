// The table of element conversions per instruction set, and the one-time choice among them.
#include "core/element_cast.hpp"

namespace zelto {
namespace {

// One variant's conversion, from the namespace of its name.
#define ZELTO_ELEMENT_CAST_ROW(isa) isa::cast_elements,
constexpr PerIsa<ElementCast> kCasts{{ZELTO_FOR_EACH_ISA(ZELTO_ELEMENT_CAST_ROW)}};
#undef ZELTO_ELEMENT_CAST_ROW

}  // namespace

std::size_t element_size(ElementType type) noexcept {
  switch (type) {
    case ElementType::boolean:
    case ElementType::i8:
    case ElementType::u8:
      return 1;
    case ElementType::i16:
    case ElementType::u16:
    case ElementType::f16:
      return 2;
    case ElementType::i32:
    case ElementType::u32:
    case ElementType::f32:
      return 4;
    default:
      return 8;
  }
}

// A table lookup, so tests and benches can run every variant side by side.
ElementCast element_cast(Isa isa) noexcept { return kCasts.pick(isa); }

// The process's variant, decided once with every other kernel table's.
ElementCast element_cast() noexcept { return kCasts.chosen(); }

}  // namespace zelto
