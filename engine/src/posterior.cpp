#include "quillon/engine/posterior.h"

#include <cmath>

#include "group_scratch.h"
#include "quillon/engine/invariant.h"

namespace quillon {

namespace {

// Whether values just divided by their sum, every one of them finite and not negative, add up to
// 1 within the rounding of the divisions and the sum.
bool sumsToOne(const std::vector<double>& values) {
    double total = 0.0;
    for (double value : values) total += value;
    return std::fabs(total - 1.0) <= 4.0 * static_cast<double>(values.size()) * 0x1p-52;
}

bool finiteAndNotNegative(const double* values, std::size_t n) {
    for (std::size_t g = 0; g < n; ++g) {
        if (!(values[g] >= 0.0 && std::isfinite(values[g]))) return false;
    }
    return true;
}

}  // namespace

void GroupPosterior::resetPosterior(bool uniform, const std::vector<double>& groupPrior) {
    const std::size_t n = values_.size();
    for (std::size_t g = 0; g < n; ++g) values_[g] = uniform ? 1.0 / static_cast<double>(n) : groupPrior[g];
}

std::int32_t GroupPosterior::updatePosterior(const double* p, std::int32_t r) {
    const std::size_t n = values_.size();
    GroupScratch next(n);
    double max = 0.0;
    std::int32_t best = 0;
    double sum = 0.0;
    bool allZero = true;
    for (std::size_t g = 0; g < n; ++g) {
        double value;
        if (r == 1)
            value = p[g] * values_[g];
        else if (r == 0)
            value = values_[g] * (1.0 - p[g]);
        else
            value = std::pow(p[g], r) * values_[g] * std::pow(1.0 - p[g], 1 - r);
        next[g] = value;
        if (value > max) {
            max = value;
            best = static_cast<std::int32_t>(g + 1);
        }
        if (value != 0.0) allZero = false;
        sum += value;
    }
    // A zero-sum update would leave the posterior undefined for the rest of the test; keep the
    // previous one instead.
    if (allZero) return largestGroup();
    for (std::size_t g = 0; g < n; ++g) values_[g] = next[g] / sum;
    // Odd item probabilities or answer values may leave no posterior to speak of; any other
    // update leaves one that sums to 1.
    QUILLON_ASSERT(!(finiteAndNotNegative(next.data(), n) && std::isfinite(sum)) || sumsToOne(values_));
    return best;
}

void GroupPosterior::normalisePosterior() {
    double sum = 0.0;
    for (double value : values_) sum += value;
    for (double& value : values_) value = value / sum;
}

double GroupPosterior::probabilityCorrect(const double* p) const {
    double sum = 0.0;
    const std::size_t n = values_.size();
    for (std::size_t g = 0; g < n; ++g) sum += p[g] * values_[g];
    return sum;
}

void GroupPosterior::lookAheadPosterior(const double* p, bool right, double* out) const {
    const std::size_t n = values_.size();
    double sum = 0.0;
    for (std::size_t g = 0; g < n; ++g) {
        out[g] = (right ? p[g] : 1.0 - p[g]) * values_[g];
        sum += out[g];
    }
    for (std::size_t g = 0; g < n; ++g) out[g] = out[g] / sum;
}

std::int32_t GroupPosterior::largestGroup() const {
    double max = 0.0;
    std::int32_t best = 0;
    for (std::size_t g = 0; g < values_.size(); ++g) {
        if (values_[g] > max) {
            max = values_[g];
            best = static_cast<std::int32_t>(g + 1);
        }
    }
    return best;
}

}  // namespace quillon
