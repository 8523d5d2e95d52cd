#include "quillon/engine/posterior.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace quillon;
using Vec = std::vector<double>;

GroupPosterior startingAt(const Vec& values) {
    GroupPosterior p(static_cast<std::int32_t>(values.size()));
    p.resetPosterior(false, values);  // priors as they stand, not rescaled
    return p;
}

void expectNear(const Vec& got, const Vec& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t g = 0; g < got.size(); ++g) EXPECT_NEAR(got[g], expected[g], 1e-15) << "group " << g + 1;
}

TEST(Posterior, UpdateAndMapGroup) {
    const std::tuple<Vec, Vec, std::int32_t, Vec, std::int32_t> cases[] = {
        // start, item, answer, after, MAP
        {{0.5, 0.5}, {0.8, 0.3}, 1, {0.8 / 1.1, 0.3 / 1.1}, 1},  // (.7273, .2727)
        {{0.5, 0.5}, {0.8, 0.3}, 0, {0.2 / 0.9, 0.7 / 0.9}, 2},  // (.2222, .7778)
        // 2 follows p^2 * P * (1 - p)^-1: (.64 * .5 / .2, .09 * .5 / .7), normalised.
        {{0.5, 0.5}, {0.8, 0.3}, 2, {11.2 / 11.65, 0.45 / 11.65}, 1},
        // Priors that do not sum to 1 give their normalised form's result.
        {{2, 6, 2}, {0.8, 0.3, 0.6}, 1, {0.16 / 0.46, 0.18 / 0.46, 0.12 / 0.46}, 2},
        {{0.3, 0.7}, {1, 0.5}, 0, {0, 1}, 2},  // one zero factor is no zero sum
        // A zero-sum update keeps the previous posterior and takes the MAP group from it.
        {{0.3, 0.7}, {1, 1}, 0, {0.3, 0.7}, 2},
        {{0.6, 0.4}, {0, 0}, 1, {0.6, 0.4}, 1},
        {{0, 0}, {0.8, 0.3}, 1, {0, 0}, 0},                                      // nothing above 0: no group
        {{1, 2, 1, 2}, {0.5, 0.25, 0.5, 0.25}, 1, {0.25, 0.25, 0.25, 0.25}, 1},  // equal largest: the lowest
    };
    for (const auto& [start, item, answer, after, map] : cases) {
        GroupPosterior p = startingAt(start);
        SCOPED_TRACE(::testing::PrintToString(start) + " " + ::testing::PrintToString(item));
        EXPECT_EQ(p.updatePosterior(item.data(), answer), map);
        expectNear(p.values(), after);
        EXPECT_EQ(p.largestGroup(), map);
    }
}

TEST(Posterior, NormaliseProbabilityCorrectAndLookAhead) {
    GroupPosterior p = startingAt({2, 3, 5});
    p.normalisePosterior();
    expectNear(p.values(), {0.2, 0.3, 0.5});
    const Vec item = {0.1, 0.5, 0.9};
    EXPECT_NEAR(p.probabilityCorrect(item.data()), 0.62, 1e-15);
    Vec right(3), wrong(3);
    p.lookAheadPosterior(item.data(), true, right.data());
    p.lookAheadPosterior(item.data(), false, wrong.data());
    expectNear(right, {0.02 / 0.62, 0.15 / 0.62, 0.45 / 0.62});
    expectNear(wrong, {0.18 / 0.38, 0.15 / 0.38, 0.05 / 0.38});
    expectNear(p.values(), {0.2, 0.3, 0.5});  // looking ahead changes nothing
}
