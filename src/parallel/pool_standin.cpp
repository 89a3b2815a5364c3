// TEMPORARY: a pool of one thread until the work-stealing pool lands.
#include <string>

#include "core/fatal.hpp"
#include "parallel/parallel.hpp"

namespace zelto {

std::size_t pool_thread_count() { return 1; }

namespace detail {

void check_write_count(std::size_t expected, std::size_t written) {
  if (expected != written) {
    raise_fatal("expected " + std::to_string(expected) + " total writes, but got " +
                std::to_string(written));
  }
}

}  // namespace detail
}  // namespace zelto
