// How the sums that span several pieces of parallel work are grouped.
#pragma once

namespace zelto {

// pool: by the division a run without take-overs makes for the pool's T threads, so a sum
// repeats for the same T and input on every run (with T = 1 it depends on the length only).
// canonical: by the full halving tree of the range down to single units (the left piece takes
// the first floor(m/2) of m units, pieces combine as (left, right)), which depends on the data
// alone: the same bits for every pool size, kernel variant and run.
enum class Grouping { pool, canonical };

}  // namespace zelto
