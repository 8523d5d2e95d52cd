#pragma once

#include <cstdint>
#include <vector>

namespace quillon {

/// The current examinee's group probabilities and the operations built on them; group g is
/// stored at index g - 1.
class GroupPosterior {
public:
    explicit GroupPosterior(std::int32_t groupCount = 2) : values_(static_cast<std::size_t>(groupCount), 0.0) {}

    std::int32_t groupCount() const { return static_cast<std::int32_t>(values_.size()); }

    /// Start of a test: 1 / groupCount each when `uniform`, else the priors as they stand.
    void resetPosterior(bool uniform, const std::vector<double>& groupPrior);

    /// Multiplies by the likelihood of answer value r to an item with probabilities `p`, divides
    /// by the sum and returns the MAP group (lowest among equals, 0 when none exceeds 0). When every
    /// new value is 0 the previous posterior is kept and its MAP group is returned.
    std::int32_t updatePosterior(const double* p, std::int32_t r);

    /// Rescales the posterior in place so that it sums to 1.
    void normalisePosterior();

    /// The marginal probability of a right answer to an item with probabilities `p`.
    double probabilityCorrect(const double* p) const;

    /// The normalised posterior a right (or wrong) answer would give, written to `out`.
    void lookAheadPosterior(const double* p, bool right, double* out) const;

    /// The group with the largest value, lowest among equals, 0 when no value exceeds 0.
    std::int32_t largestGroup() const;

    /// The probability of a group, 1 to groupCount.
    double operator()(std::int32_t group) const { return values_[static_cast<std::size_t>(group - 1)]; }

    /// Every group's probability, group 1 first.
    const std::vector<double>& values() const { return values_; }

private:
    std::vector<double> values_;
};

}  // namespace quillon
