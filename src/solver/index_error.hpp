// The fatal error for reading past the end of a float vector.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>

#include "core/fatal.hpp"

namespace zelto {

// Raises "index out of bounds: the len is {len} but the index is {index}", reported at the
// caller's position.
[[noreturn]] inline void index_out_of_bounds(
    std::size_t len, std::size_t index,
    std::source_location where = std::source_location::current()) {
  raise_fatal("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                  std::to_string(index),
              where);
}

}  // namespace zelto
