#pragma once

#include <cstdint>

#include "quillon/engine/posterior.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

/// How a decided group compares with the true one.
enum class Outcome { Accurate, FalsePositive, FalseNegative };

/// Accurate when equal, a false positive when the decided group is higher, else a false negative.
inline Outcome classifyOutcome(std::int32_t decided, std::int32_t trueGroup) {
    if (decided == trueGroup) return Outcome::Accurate;
    return decided > trueGroup ? Outcome::FalsePositive : Outcome::FalseNegative;
}

/// Adds one to the counter of the outcome's class.
inline void countOutcome(Outcome outcome, std::int64_t& accurate, std::int64_t& falsePos, std::int64_t& falseNeg) {
    switch (outcome) {
        case Outcome::Accurate:
            ++accurate;
            break;
        case Outcome::FalsePositive:
            ++falsePos;
            break;
        case Outcome::FalseNegative:
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
