#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "quillon/engine/share.h"

namespace quillon {

/// One figure summarised over a study's replications: how many replications gave it a value,
/// their mean, sample standard deviation and 95 % interval of the mean (Student's t), and for a
/// share the share pooled from the counts of every replication. A field without a value (no
/// replication had one, fewer than two for the spread and the interval, a zero pooled
/// denominator) is missing, never 0.
struct FigureSummary {
    std::int64_t n = 0;
    std::optional<double> mean, sd, ciLow, ciHigh, pooled;
};

/// The summary of per-replication values; missing ones are left out, not counted as 0.
FigureSummary summarizeValues(const std::vector<std::optional<double>>& values);

/// The summary of per-replication shares: the values of those with a denominator, and the share
/// pooled from all their parts and wholes.
FigureSummary summarizeShares(const std::vector<Share>& shares);

/// A share's value, missing when it has nothing to divide by.
std::optional<double> shareValue(const Share& share);

/// The regularised incomplete beta function I_x(a, b), a and b above 0: the Beta(a, b)
/// distribution function at x, and the binomial tails through it.
double incompleteBeta(double x, double a, double b);

/// The 97.5 % quantile of Student's t distribution with `degrees` (at least 1) degrees of
/// freedom: the half-width of a 95 % interval in standard errors.
double tQuantile975(std::int64_t degrees);

}  // namespace quillon
