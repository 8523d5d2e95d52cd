#pragma once

#include <cstdint>

#include "quillon/engine/posterior.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

/// How a decided group compares with the true one.
enum class Classification { Accurate, FalsePositive, FalseNegative };

/// Accurate when equal, a false positive when the decided group is higher, else a false negative.
inline Classification classifyOutcome(std::int32_t decided, std::int32_t trueGroup) {
    if (decided == trueGroup) return Classification::Accurate;
    return decided > trueGroup ? Classification::FalsePositive : Classification::FalseNegative;
}

/// Adds one to the counter of the outcome's class.
inline void countOutcome(Classification outcome, std::int64_t& accurate, std::int64_t& falsePos,
                         std::int64_t& falseNeg) {
    switch (outcome) {
        case Classification::Accurate:
            ++accurate;
            break;
        case Classification::FalsePositive:
            ++falsePos;
            break;
        case Classification::FalseNegative:
            ++falseNeg;
            break;
    }
}

/// The SPRT on neighbouring posterior ratios: 0 for no decision, else the decided group. A ratio
/// that is undefined (0/0) decides nothing.
std::int32_t sprtDecision(const GroupPosterior& posterior, double alpha, double beta);

/// The two-group minimum Bayes risk rule: 2 (Pass) or 1 (Fail).
std::int32_t bayesDecision(const GroupPosterior& posterior, const RunSettings& settings);

}  // namespace quillon
