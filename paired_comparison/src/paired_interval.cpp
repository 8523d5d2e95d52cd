// The exact paired interval of a difference between two runs over the same tests.
#include <cmath>

#include "quillon/paired_comparison/paired_comparison.h"
#include "quillon/study_figures/figure_summary.h"

namespace quillon {

double betaQuantile(double p, double a, double b) {
    if (p <= 0.0) return 0.0;
    if (p >= 1.0) return 1.0;
    // The distribution function rises with x: bisect until no double lies between the ends.
    double low = 0.0, high = 1.0;
    for (;;) {
        const double middle = low + (high - low) / 2.0;
        if (middle <= low || middle >= high) break;
        (incompleteBeta(middle, a, b) < p ? low : high) = middle;
    }
    return high;
}

std::pair<double, double> clopperPearson(std::int64_t successes, std::int64_t trials, double confidence) {
    const double tail = (1.0 - confidence) / 2.0;
    const auto k = static_cast<double>(successes);
    const auto n = static_cast<double>(trials);
    // P(X >= k | pi_low) = tail and P(X <= k | pi_high) = tail; the ends of the range are exact.
    const double low = successes <= 0 ? 0.0 : betaQuantile(tail, k, n - k + 1.0);
    const double high = successes >= trials ? 1.0 : betaQuantile(1.0 - tail, k + 1.0, n - k);
    return {low, high};
}

std::optional<PairedDifference> pairedDifference(const PairedCounts& counts) {
    const std::int64_t n = counts.pairs();
    if (n == 0) return std::nullopt;
    const std::int64_t m = counts.discordant();
    PairedDifference d;
    d.difference = static_cast<double>(counts.bOnly - counts.aOnly) / static_cast<double>(n);
    // Without a discordant pair the runs agree on every test: the difference is exactly 0.
    if (m == 0) return d;
    const auto [piLow, piHigh] = clopperPearson(counts.bOnly, m);
    const double scale = static_cast<double>(m) / static_cast<double>(n);
    d.low = scale * (2.0 * piLow - 1.0);
    d.high = scale * (2.0 * piHigh - 1.0);
    return d;
}

}  // namespace quillon
