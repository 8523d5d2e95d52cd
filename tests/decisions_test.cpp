#include "quillon/decisions.h"

#include <gtest/gtest.h>

#include <vector>

namespace quillon {
namespace {

GroupPosterior posterior(const std::vector<double>& values) {
    GroupPosterior p(static_cast<std::int32_t>(values.size()));
    p.resetPosterior(false, values);
    return p;
}

TEST(Sprt, Decisions) {
    const struct {
        std::vector<double> p;
        double alpha, beta;
        std::int32_t decided;
    } cases[] = {
        // Two groups, a = b = .05: U = 19, L = .05263.
        {{0.04, 0.96}, 0.05, 0.05, 2},  // ratio 24
        {{0.06, 0.94}, 0.05, 0.05, 0},  // ratio 15.7
        {{0.96, 0.04}, 0.05, 0.05, 1},  // ratio .0417
        {{0.5, 0.5}, 0.05, 0.05, 0},
        // a = .5, b = .25: U = 1.5 and L = .5 exactly; a ratio equal to a bound decides nothing.
        {{2, 3}, 0.5, 0.25, 0},
        {{2, 1}, 0.5, 0.25, 0},
        {{2, 3.0001}, 0.5, 0.25, 2},
        {{2, 0.9999}, 0.5, 0.25, 1},
        // The bounds follow the settings: with a = .2, b = .2, U = 4 and L = .25.
        {{0.1, 0.9}, 0.2, 0.2, 2},
        {{0.1, 0.9}, 0.05, 0.05, 0},
        // Three groups.
        {{0.02, 0.97, 0.01}, 0.05, 0.05, 2},
        {{0.002, 0.018, 0.98}, 0.05, 0.05, 3},
        {{0.9, 0.01, 0.5}, 0.05, 0.05, 1},           // lower test overrides the upper
        // Four and five groups: a middle group overrides the lower test; the highest middle wins.
        {{1, 0.01, 0.5, 0.001}, 0.05, 0.05, 3},
        {{0.01, 1, 0.01, 1, 0.01}, 0.05, 0.05, 4},
        // Zero denominators: a positive ratio over 0 exceeds every bound; 0/0 decides nothing.
        {{0, 1}, 0.05, 0.05, 2},
        {{1, 0}, 0.05, 0.05, 1},
        {{0, 0}, 0.05, 0.05, 0},
        {{0, 0, 1}, 0.05, 0.05, 3},
        {{1, 0, 0}, 0.05, 0.05, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sprtDecision(posterior(c.p), c.alpha, c.beta), c.decided)
            << testing::PrintToString(c.p) << " a " << c.alpha << " b " << c.beta;
}

TEST(Bayes, Decisions) {
    struct Grid {
        double passPass, passFail, failPass, failFail;
    };
    const Grid defaults{0.0, 1.5, 1.0, 0.0};
    const struct {
        std::vector<double> p;
        Grid grid;
        std::int32_t decided;
    } cases[] = {
        {{0.41, 0.59}, defaults, 1},  // .59 is not above 1.5 x .41
        {{0.39, 0.61}, defaults, 2},
        {{0.5, 0.5}, defaults, 1},
        {{0, 1}, defaults, 2},
        {{1, 0}, defaults, 1},
        {{0.1, 0.9}, {1, 1, 1, 1}, 1},      // equal costs: r1 = r2 = 0 gives Fail
        {{0.5, 0.5}, {1, 1, 2, 1}, 2},
        // r1 = .5 x (0 - 2) = -1, r2 = .5 x (0 - 4) = -2, s = -3: 1/3 against 2/3, so Pass.
        {{0.5, 0.5}, {4, 0, 0, 2}, 2},
    };
    for (const auto& c : cases) {
        RunSettings s;
        s.costPassPass = c.grid.passPass;
        s.costPassFail = c.grid.passFail;
        s.costFailPass = c.grid.failPass;
        s.costFailFail = c.grid.failFail;
        EXPECT_EQ(bayesDecision(posterior(c.p), s), c.decided) << testing::PrintToString(c.p);
    }
}

TEST(ClassifyOutcome, ComparesDecidedWithTrueGroup) {
    const struct {
        std::int32_t decided, trueGroup;
        Outcome outcome;
    } cases[] = {
        {1, 1, Outcome::Accurate},      {2, 2, Outcome::Accurate},      {2, 1, Outcome::FalsePositive},
        {1, 2, Outcome::FalseNegative}, {4, 1, Outcome::FalsePositive}, {1, 3, Outcome::FalseNegative},
    };
    for (const auto& c : cases) EXPECT_EQ(classifyOutcome(c.decided, c.trueGroup), c.outcome) << c.decided << " " << c.trueGroup;
}

}  // namespace
}  // namespace quillon
