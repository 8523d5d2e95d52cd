#include "quillon/engine/decisions.h"

namespace quillon {

std::int32_t sprtDecision(const GroupPosterior& posterior, double alpha, double beta) {
    const std::int32_t n = posterior.groupCount();
    const double upper = (1.0 - beta) / alpha;
    const double lower = beta / (1.0 - alpha);
    const auto& p = posterior;
    // Plain comparisons: an undefined ratio compares false and so decides nothing.
    std::int32_t decided = 0;
    if (p(n) / p(n - 1) > upper) decided = n;
    if (p(2) / p(1) < lower) decided = 1;
    for (std::int32_t k = 2; k <= n - 1; ++k) {
        if (p(k) / p(k - 1) > upper && p(k + 1) / p(k) < lower) decided = k;
    }
    return decided;
}

std::int32_t bayesDecision(const GroupPosterior& posterior, const RunSettings& settings) {
    double r1 = posterior(1) * (settings.costPassFail - settings.costFailFail);
    double r2 = posterior(2) * (settings.costFailPass - settings.costPassPass);
    const double s = r2 + r1;
    r1 = r1 / s;
    r2 = r2 / s;
    return r2 > r1 ? 2 : 1;
}

}  // namespace quillon
