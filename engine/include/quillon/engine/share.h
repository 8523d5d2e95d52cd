#pragma once

#include <cstdint>
#include <limits>

namespace quillon {

/// A share or a mean of a run's tables: a count or an exact sum over a number of tests, divided
/// once in double. With nothing to divide by (no test at all, none the rule decided) it has no
/// value: NaN for whoever reads the value, 0 in the written tables, whose format predates that.
struct Share {
    double part = 0.0;
    std::int64_t whole = 0;

    double value() const {
        return whole == 0 ? std::numeric_limits<double>::quiet_NaN() : part / static_cast<double>(whole);
    }

    /// What the tables write: the value, or 0 with nothing to divide by.
    double written() const { return whole == 0 ? 0.0 : value(); }
};

}  // namespace quillon
