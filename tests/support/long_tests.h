#pragma once

#include <cstddef>
#include <cstdlib>

namespace quillon::testing {

/// A random test's number of cases: 100 times as many with QUILLON_LONG_TESTS=1, for runs by hand.
inline std::size_t scaled(std::size_t count) { return std::getenv("QUILLON_LONG_TESTS") ? 100 * count : count; }

}  // namespace quillon::testing
