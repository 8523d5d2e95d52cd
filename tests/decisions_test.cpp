#include "quillon/engine/decisions.h"

#include <gtest/gtest.h>

#include <array>
#include <tuple>
#include <vector>

using namespace quillon;
using Vec = std::vector<double>;

GroupPosterior posterior(const Vec& values) {
    GroupPosterior p(static_cast<std::int32_t>(values.size()));
    p.resetPosterior(false, values);
    return p;
}

TEST(Sprt, Decisions) {
    const std::tuple<Vec, double, double, std::int32_t> cases[] = {
        // posterior, alpha, beta, decided group
        // Two groups, a = b = .05: U = 19, L = .05263.
        {{0.04, 0.96}, 0.05, 0.05, 2},
        {{0.06, 0.94}, 0.05, 0.05, 0},
        {{0.96, 0.04}, 0.05, 0.05, 1},  // 24, 15.7, .042
        // a = .5, b = .25: U = 1.5 and L = .5 exactly; a ratio equal to a bound decides nothing.
        {{2, 3}, 0.5, 0.25, 0},
        {{2, 1}, 0.5, 0.25, 0},
        {{2, 3.0001}, 0.5, 0.25, 2},
        {{2, 0.9999}, 0.5, 0.25, 1},
        {{0.1, 0.9}, 0.2, 0.2, 2},  // U = 4 with a = b = .2
        // Three to five groups: the lower test overrides the upper, a middle group the lower test,
        // and the highest middle group wins.
        {{0.02, 0.97, 0.01}, 0.05, 0.05, 2},
        {{0.002, 0.018, 0.98}, 0.05, 0.05, 3},
        {{0.9, 0.01, 0.5}, 0.05, 0.05, 1},
        {{1, 0.01, 0.5, 0.001}, 0.05, 0.05, 3},
        {{0.01, 1, 0.01, 1, 0.01}, 0.05, 0.05, 4},
        // Zero denominators: a positive ratio over 0 exceeds every bound; 0/0 decides nothing.
        {{0, 1}, 0.05, 0.05, 2},
        {{1, 0}, 0.05, 0.05, 1},
        {{0, 0}, 0.05, 0.05, 0},
        {{0, 0, 1}, 0.05, 0.05, 3},
    };
    for (const auto& [p, alpha, beta, decided] : cases)
        EXPECT_EQ(sprtDecision(posterior(p), alpha, beta), decided) << ::testing::PrintToString(p) << " " << alpha;
}

TEST(Bayes, DecisionsAndOutcomes) {
    // Costs predicted-then-actual: Pass/Pass, Pass/Fail, Fail/Pass, Fail/Fail.
    const std::tuple<Vec, std::array<double, 4>, std::int32_t> cases[] = {
        {{0.41, 0.59}, {0, 1.5, 1, 0}, 1},  // .59 is not above 1.5 x .41
        {{0.39, 0.61}, {0, 1.5, 1, 0}, 2}, {{0.5, 0.5}, {0, 1.5, 1, 0}, 1},
        {{0, 1}, {0, 1.5, 1, 0}, 2},       {{0.1, 0.9}, {1, 1, 1, 1}, 1},  // equal costs: r1 = r2 = 0 gives Fail
        {{0.5, 0.5}, {4, 0, 0, 2}, 2},  // r1 = .5 x (0 - 2), r2 = .5 x (0 - 4), s = -3: 1/3 against 2/3
    };
    for (const auto& [p, costs, decided] : cases) {
        RunSettings s;
        s.costPassPass = costs[0], s.costPassFail = costs[1], s.costFailPass = costs[2], s.costFailFail = costs[3];
        EXPECT_EQ(bayesDecision(posterior(p), s), decided) << ::testing::PrintToString(p);
    }
    EXPECT_EQ(classifyOutcome(2, 2), Classification::Accurate);
    EXPECT_EQ(classifyOutcome(4, 1), Classification::FalsePositive);
    EXPECT_EQ(classifyOutcome(1, 3), Classification::FalseNegative);
}
