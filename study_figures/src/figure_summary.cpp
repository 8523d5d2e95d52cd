#include "quillon/study_figures/figure_summary.h"

#include <cmath>
#include <map>
#include <mutex>

#include "quillon/engine/exact_sum.h"

namespace quillon {

// By its continued fraction (modified Lentz), taken on the side of x where it converges fast.
double incompleteBeta(double x, double a, double b) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    if (x > (a + 1.0) / (a + b + 2.0)) return 1.0 - incompleteBeta(1.0 - x, b, a);
    const double front =
        std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) + b * std::log1p(-x)) / a;
    constexpr double tiny = 1e-300;
    double f = 1.0, c = 1.0, d = 0.0;
    for (int i = 0; i <= 1000; ++i) {
        const int m = i / 2;
        double numerator;
        if (i == 0)
            numerator = 1.0;
        else if (i % 2 == 0)
            numerator = (m * (b - m) * x) / ((a + 2.0 * m - 1.0) * (a + 2.0 * m));
        else
            numerator = -((a + m) * (a + b + m) * x) / ((a + 2.0 * m) * (a + 2.0 * m + 1.0));
        d = 1.0 + numerator * d;
        if (std::fabs(d) < tiny) d = tiny;
        d = 1.0 / d;
        c = 1.0 + numerator / c;
        if (std::fabs(c) < tiny) c = tiny;
        const double step = c * d;
        f *= step;
        if (std::fabs(1.0 - step) < 1e-16) break;
    }
    return front * (f - 1.0);
}

namespace {

// The upper tail P(T > t) of Student's t with `degrees` degrees of freedom, for t >= 0.
double upperTail(double t, double degrees) {
    return 0.5 * incompleteBeta(degrees / (degrees + t * t), degrees / 2.0, 0.5);
}

double solveQuantile(std::int64_t degrees) {
    // The tail falls as t grows: bisect until the interval holds no double between its ends,
    // so the answer is the same on every machine with IEEE doubles and the same libm.
    double low = 0.0, high = 1e3;
    const auto df = static_cast<double>(degrees);
    for (;;) {
        const double middle = low + (high - low) / 2.0;
        if (middle <= low || middle >= high) break;
        (upperTail(middle, df) > 0.025 ? low : high) = middle;
    }
    return high;
}

}  // namespace

double tQuantile975(std::int64_t degrees) {
    // A study asks for the same few degrees of freedom many times.
    static std::mutex guard;
    static std::map<std::int64_t, double> known;
    const std::lock_guard<std::mutex> lock(guard);
    const auto found = known.find(degrees);
    if (found != known.end()) return found->second;
    return known[degrees] = solveQuantile(degrees < 1 ? 1 : degrees);
}

std::optional<double> shareValue(const Share& share) {
    if (share.whole == 0) return std::nullopt;
    return share.value();
}

FigureSummary summarizeValues(const std::vector<std::optional<double>>& values) {
    FigureSummary summary;
    ExactSum sum;
    for (const std::optional<double>& value : values) {
        if (!value) continue;
        ++summary.n;
        sum.add(*value);
    }
    if (summary.n == 0) return summary;
    const auto n = static_cast<double>(summary.n);
    const double mean = sum.value() / n;
    summary.mean = mean;
    if (summary.n < 2) return summary;
    ExactSum squares;
    for (const std::optional<double>& value : values)
        if (value) squares.add((*value - mean) * (*value - mean));
    const double sd = std::sqrt(squares.value() / (n - 1.0));
    summary.sd = sd;
    const double halfWidth = tQuantile975(summary.n - 1) * sd / std::sqrt(n);
    summary.ciLow = mean - halfWidth;
    summary.ciHigh = mean + halfWidth;
    return summary;
}

FigureSummary summarizeShares(const std::vector<Share>& shares) {
    std::vector<std::optional<double>> values;
    ExactSum parts;
    std::int64_t wholes = 0;
    for (const Share& share : shares) {
        values.push_back(shareValue(share));
        parts.add(share.part);
        wholes += share.whole;
    }
    FigureSummary summary = summarizeValues(values);
    if (wholes != 0) summary.pooled = parts.value() / static_cast<double>(wholes);
    return summary;
}

}  // namespace quillon
