#pragma once

#include <cmath>
#include <vector>

namespace quillon {

/// The exact sum of any sequence of doubles, rounded once when read: the total no longer depends
/// on the order of its terms, so sums folded in any order, or merged from parts, are identical.
class ExactSum {
public:
    ExactSum() = default;

    /// A sum holding one term.
    ExactSum(double x) { add(x); }  // NOLINT: implicit, so a sum can be set like a plain double

    /// Adds one term exactly (an infinity or NaN makes the sum that special value).
    void add(double x) {
        if (!std::isfinite(x)) {
            special_ += x;  // inf + -inf and anything with NaN give NaN, as plain addition would
            hasSpecial_ = true;
            return;
        }
        // Keep non-overlapping partials whose exact sum is the exact total.
        std::size_t kept = 0;
        for (double y : partials_) {
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) partials_[kept++] = lo;
            x = hi;
        }
        partials_.resize(kept);
        partials_.push_back(x);
    }

    /// Adds every term of another sum.
    void merge(const ExactSum& other) {
        for (double y : other.partials_) add(y);
        if (other.hasSpecial_) add(other.special_);
    }

    ExactSum& operator+=(double x) {
        add(x);
        return *this;
    }

    /// The exact total rounded to the nearest double, halves to even; as for a sum started from
    /// +0.0, a zero total is +0.0 (terms of -0.0 alone must not make it -0.0).
    double value() const {
        if (hasSpecial_) return special_;
        std::size_t n = partials_.size();
        if (n == 0) return 0.0;
        double hi = partials_[--n];
        double lo = 0.0;
        while (n > 0) {
            const double x = hi;
            const double y = partials_[--n];
            hi = x + y;
            lo = y - (hi - x);
            if (lo != 0.0) break;
        }
        // The rest is below half a unit of hi; it only matters when lo sits exactly on a half.
        if (n > 0 && ((lo < 0.0 && partials_[n - 1] < 0.0) || (lo > 0.0 && partials_[n - 1] > 0.0))) {
            const double y = lo * 2.0;
            const double x = hi + y;
            if (y == x - hi) hi = x;
        }
        return hi == 0.0 ? 0.0 : hi;
    }

    /// The exact state, for storing a sum without rounding it: adding every partial and, when
    /// there is one, the special value to an empty sum restores the same total.
    const std::vector<double>& partials() const { return partials_; }
    bool hasSpecial() const { return hasSpecial_; }
    double special() const { return special_; }

private:
    std::vector<double> partials_;
    double special_ = 0.0;
    bool hasSpecial_ = false;
};

}  // namespace quillon
