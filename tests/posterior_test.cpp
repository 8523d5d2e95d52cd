#include "quillon/posterior.h"

#include <gtest/gtest.h>

#include "quillon/input_files.h"

namespace quillon {
namespace {

using Vec = std::vector<double>;

GroupPosterior startingAt(const Vec& values) {
    GroupPosterior p(static_cast<std::int32_t>(values.size()));
    p.resetPosterior(false, values);
    return p;
}

void expectNear(const Vec& got, const Vec& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t g = 0; g < got.size(); ++g) EXPECT_NEAR(got[g], expected[g], 1e-15) << "group " << g + 1;
}

TEST(Posterior, Reset) {
    GroupPosterior p(3);
    p.resetPosterior(true, {0.2, 0.3, 0.5});
    EXPECT_EQ(p.groupPosterior, Vec(3, 1.0 / 3.0));
    p.resetPosterior(false, {2, 3, 5});  // priors as they stand, not rescaled
    EXPECT_EQ(p.groupPosterior, (Vec{2, 3, 5}));
}

TEST(Posterior, Update) {
    const struct {
        Vec start, item;
        std::int32_t answer;
        Vec after;
        std::int32_t map;
    } cases[] = {
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
        {{0.5, 0.5, 0}, {0, 0, 1}, 1, {0.5, 0.5, 0}, 1},
        {{0, 0}, {0.8, 0.3}, 1, {0, 0}, 0},  // nothing above 0: no group
        // Equal largest values: the lowest group.
        {{1, 1, 1}, {0.2, 0.6, 0.6}, 1, {0.2 / 1.4, 0.6 / 1.4, 0.6 / 1.4}, 2},
        {{1, 2, 1, 2}, {0.5, 0.25, 0.5, 0.25}, 1, {0.25, 0.25, 0.25, 0.25}, 1},
    };
    for (const auto& c : cases) {
        GroupPosterior p = startingAt(c.start);
        SCOPED_TRACE(testing::PrintToString(c.start) + " " + testing::PrintToString(c.item));
        EXPECT_EQ(p.updatePosterior(c.item.data(), c.answer), c.map);
        expectNear(p.groupPosterior, c.after);
        EXPECT_EQ(p.largestGroup(), c.map);
    }
    GroupPosterior right = startingAt({0.5, 0.5});
    right.updatePosterior(Vec{0.8, 0.3}.data(), 1);
    EXPECT_NEAR(right(1), 0.7273, 5e-5);
    EXPECT_NEAR(right(2), 0.2727, 5e-5);
}

TEST(Posterior, BlankAnswerUpdatesLikeWrongAndManyGroups) {
    const Vec item = {0.8, 0.3};
    const ResponseRecord r = parseResponseLine("ABCDEFGHIJK0  0");
    GroupPosterior blank = startingAt({0.5, 0.5}), zero = startingAt({0.5, 0.5});
    blank.updatePosterior(item.data(), r.answerValue(1));
    zero.updatePosterior(item.data(), r.answerValue(2));
    EXPECT_EQ(blank.groupPosterior, zero.groupPosterior);
    EXPECT_NEAR(blank(1), 0.2222, 5e-5);

    // 20 groups from uniform with p(g) = g / 21, answered right: posterior g / 210.
    Vec many, expected;
    for (int g = 1; g <= 20; ++g) many.push_back(g / 21.0), expected.push_back(g / 210.0);
    GroupPosterior p = startingAt(Vec(20, 0.05));
    EXPECT_EQ(p.updatePosterior(many.data(), 1), 20);
    expectNear(p.groupPosterior, expected);
}

TEST(Posterior, ProbabilityCorrectLookAheadAndNormalise) {
    const Vec item = {0.8, 0.3};
    GroupPosterior p = startingAt({0.5, 0.5});
    EXPECT_NEAR(p.probabilityCorrect(item.data()), 0.55, 1e-15);
    Vec right(2), wrong(2);
    p.lookAheadPosterior(item.data(), true, right.data());
    p.lookAheadPosterior(item.data(), false, wrong.data());
    expectNear(right, {0.8 / 1.1, 0.3 / 1.1});
    expectNear(wrong, {0.2 / 0.9, 0.7 / 0.9});
    EXPECT_EQ(p.groupPosterior, (Vec{0.5, 0.5}));  // looking ahead changes nothing

    GroupPosterior skewed = startingAt({0.2, 0.3, 0.5});
    const Vec three = {0.1, 0.5, 0.9};
    EXPECT_NEAR(skewed.probabilityCorrect(three.data()), 0.62, 1e-15);
    Vec t(3);
    skewed.lookAheadPosterior(three.data(), false, t.data());
    expectNear(t, {0.18 / 0.38, 0.15 / 0.38, 0.05 / 0.38});

    GroupPosterior raw = startingAt({2, 6});
    raw.normalisePosterior();
    EXPECT_EQ(raw.groupPosterior, (Vec{0.25, 0.75}));
}

}  // namespace
}  // namespace quillon
