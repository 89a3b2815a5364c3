// The process-wide pool: created by the first parallel operation from outside the pool, sized
// once from the environment, never destroyed.
#pragma once

#include <string>

#include "parallel/pool.hpp"

namespace zelto::detail {

// The process-wide pool, created on first use. A failed creation is a fatal error that leaves
// no thread behind, and the next call tries again. In a child forked after the pool existed,
// the first call builds a fresh pool of the same size: the parent's workers do not exist there.
WorkerPool& global_pool();

// Rust-style debug text of an operating-system error, as in Os { code, kind, message }.
std::string os_error_debug(int error);

}  // namespace zelto::detail
