#include "quillon/engine/item_selection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "item_scores.h"
#include "quillon/engine/run_limits.h"

namespace quillon {
namespace {

InputFiles makeInputs(const std::vector<std::pair<std::int32_t, std::vector<double>>>& items) {
    InputFiles inputs;
    ItemPool& pool = inputs.pool;
    pool.groupCount = static_cast<std::int32_t>(items.front().second.size());
    for (const auto& [collection, p] : items) {
        pool.itemId.push_back("I" + std::to_string(pool.itemId.size() + 1));
        pool.itemCollection.push_back(collection);
        pool.pCorrect.insert(pool.pCorrect.end(), p.begin(), p.end());
    }
    pool.itemCount = static_cast<std::int32_t>(items.size());
    return inputs;
}

// Items of collection 1 whose discrimination falls with their pool position.
InputFiles fallingInputs(int count) {
    std::vector<std::pair<std::int32_t, std::vector<double>>> items;
    for (int i = 0; i < count; ++i) items.push_back({1, {0.1 + 0.01 * i, 0.9 - 0.01 * i}});
    return makeInputs(items);
}

// One examinee's selections from a pool, with fresh marks and a uniform two-group posterior.
struct Selection {
    InputFiles inputs;
    RunSettings settings;
    ExclusionMarks marks;
    GroupPosterior posterior{2};
    RandomGenerator random;

    Selection(InputFiles in, const std::string& method = "MaxDiscr") : inputs(std::move(in)) {
        settings.selectionMethod = selectionMethodFromName(method).value();
        marks.resize(inputs.pool.itemCount);
        posterior.resetPosterior(true, {});
    }
    std::int32_t pick(std::int32_t collection, std::int32_t position = 1) {
        ItemSelector selector(inputs, settings);
        return selector.selectItem(collection, position, posterior, marks, random);
    }
};

TEST(ItemSelectionScores, WorkedTwoGroupItemAndTheFourGroupBoundary) {
    const double p[] = {0.8, 0.3};
    GroupPosterior uniform(2);
    uniform.resetPosterior(true, {});
    EXPECT_NEAR(shannonScore(p, uniform), 0.8088, 5e-5);
    EXPECT_NEAR(discriminationScore(p, uniform), 1.0195, 5e-5);
    EXPECT_NEAR(expectedCostScore(p, uniform, RunSettings{}), 0.4672, 5e-5);
    GroupPosterior scaled(2);  // the scores renormalise what they read
    scaled.resetPosterior(false, {2.0, 2.0});
    EXPECT_DOUBLE_EQ(shannonScore(p, scaled), shannonScore(p, uniform));
    for (const auto& q : std::vector<std::vector<double>>{{0.5, 0.5}, {0.0, 0.4}, {0.4, 0.0}})
        EXPECT_TRUE(std::isinf(discriminationScore(q.data(), uniform))) << q[0] << ", " << q[1];

    const double p4[] = {0.2, 0.4, 0.7, 0.9};
    const std::pair<std::vector<double>, int> boundaries[] = {
        {{0.1, 0.4, 0.4, 0.1}, 2},  // equal maxima keep group 2; P(3) >= P(1) goes upward
        {{0.3, 0.5, 0.1, 0.1}, 1},  // P(3) < P(1): the boundary below
        {{0.7, 0.1, 0.1, 0.1}, 1},
        {{0.1, 0.1, 0.1, 0.7}, 3},
    };
    for (const auto& [values, b] : boundaries) {
        GroupPosterior posterior(4);
        posterior.resetPosterior(false, values);
        EXPECT_DOUBLE_EQ(discriminationScore(p4, posterior), 1.0 / std::fabs(std::log(p4[b - 1] / p4[b]))) << b;
    }
}

TEST(ItemSelectionSort, TieOrdersOfTheQuicksort) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<std::vector<double>, std::vector<std::int32_t>> cases[] = {
        {{0.5, 0.5}, {2, 1}},         {{0.5, 0.5, 0.5}, {3, 2, 1}}, {{0.5, 0.5, 0.5, 0.5}, {3, 4, 1, 2}},
        {{0.5, 0.5, 0.3}, {3, 2, 1}}, {{0.3, 0.1, 0.2}, {2, 3, 1}}, {{inf, 0.2, 0.1}, {3, 2, 1}},
    };
    for (const auto& [scores, order] : cases) {
        std::vector<Candidate> list;
        for (std::size_t i = 0; i < scores.size(); ++i) list.push_back({static_cast<std::int32_t>(i + 1), scores[i]});
        sortCandidates(list);
        std::vector<std::int32_t> positions;
        for (const Candidate& c : list) positions.push_back(c.position);
        EXPECT_EQ(positions, order);
    }
    std::vector<Candidate> many;
    for (int i = 0; i < 500; ++i) many.push_back({i + 1, static_cast<double>((i * 7919) % 113)});
    sortCandidates(many);
    for (std::size_t i = 1; i < many.size(); ++i) ASSERT_LE(many[i - 1].score, many[i].score);
}

TEST(ItemSelection, FactorDecidesHowManyBestItemsCompeteWithOneDrawEach) {
    for (const auto& [factor, competing] : std::vector<std::pair<int, int>>{{1, 1}, {3, 3}, {50, 5}, {0, 1}, {-4, 1}}) {
        for (std::uint32_t seed : {1u, 77u, 4294967295u, 123456789u}) {
            Selection s(fallingInputs(5));
            s.settings.randomizationFactor = factor;
            s.random = RandomGenerator(seed);
            RandomGenerator expected(seed);
            EXPECT_EQ(s.pick(1), expected.nextIndex(competing)) << "factor " << factor << " seed " << seed;
            EXPECT_EQ(s.random.state(), expected.state());
        }
    }
    // Ties among the best: the tie order decides, also when the draw lands on a tied rank.
    Selection tied(makeInputs({{1, {0.2, 0.8}}, {1, {0.2, 0.8}}, {1, {0.2, 0.8}}, {1, {0.4, 0.6}}}));
    tied.settings.randomizationFactor = 3;
    RandomGenerator expected;
    const std::vector<std::int32_t> tieOrder = {3, 2, 1};
    EXPECT_EQ(tied.pick(1), tieOrder[static_cast<std::size_t>(expected.nextIndex(3) - 1)]);
}

TEST(ItemSelection, EligibilityMasksAndEnemies) {
    // Only eligible items of the drawn collection compete; none left gives 0 and no draw.
    Selection s(makeInputs({{2, {0.2, 0.9}}, {1, {0.45, 0.55}}, {2, {0.4, 0.6}}, {1, {0.3, 0.7}}}));
    EXPECT_EQ(s.pick(1), 4);
    s.marks.markAdministered(4, 1);
    EXPECT_EQ(s.pick(1), 2);
    s.marks.markAdministered(2, 1);
    const RandomGenerator before = s.random;
    EXPECT_EQ(s.pick(1), 0);
    EXPECT_EQ(s.random.state(), before.state());
    EXPECT_EQ(notEnoughItemsMessage(1), "Not enought items, content area 1");

    // A set naming 12 and 30 is triggered by 12 or 30 alone; blocks last one test, uses all.
    std::vector<std::pair<std::int32_t, std::vector<double>>> items(30, {2, {0.3, 0.7}});
    items[0] = items[11] = {1, {0.2, 0.8}};
    items[2] = {1, {0.4, 0.6}};
    Selection e(makeInputs(items));
    e.inputs.enemySets = {EnemySet{{12, 30, 0}}, EnemySet{{3, 0}}};
    e.settings.blockEnemies = true;
    EXPECT_EQ(e.pick(1), 12);  // items 1 and 12 tie; the sort puts 12 first
    for (int i = 1; i <= 30; ++i) EXPECT_EQ(!e.marks.eligible(i), i == 12 || i == 30) << i;  // nothing administered yet
    e.marks.markAdministered(12, 1);
    EXPECT_EQ(e.pick(1), 1);
    EXPECT_TRUE(e.marks.eligible(3)) << "item 1 shares no set with item 3";
    e.marks.markAdministered(1, 1);
    e.marks.clearBlocked();  // test 2
    EXPECT_EQ(e.pick(1), 3);
    EXPECT_FALSE(e.marks.eligible(12));
    EXPECT_TRUE(e.marks.eligible(30));
}

TEST(ItemSelection, EveryTestUpToTheLimitKeepsItsOwnMarkAndNoneBeyond) {
    // Each test's administration survives the enemy blocks' clearing, one bit per test; a test
    // number past the limit would share a bit with nothing valid and is an invariant failure.
    ExclusionMarks marks;
    marks.resize(maxTestsPerPerson + 1);
    for (std::int32_t t = minTestsPerPerson; t <= maxTestsPerPerson; ++t) {
        marks.markAdministered(t, t);
        marks.block(maxTestsPerPerson + 1);
        marks.clearBlocked();
    }
    for (std::int32_t i = 1; i <= maxTestsPerPerson + 1; ++i)
        EXPECT_EQ(marks.eligible(i), i == maxTestsPerPerson + 1) << i;
#ifdef QUILLON_CHECK_INVARIANTS
    EXPECT_DEATH(marks.markAdministered(1, maxTestsPerPerson + 1), "invariant failed: test >= minTestsPerPerson");
#endif
}

TEST(ItemSelection, FollowedScriptReplacesCollectionAndFactor) {
    Selection s(fallingInputs(4));
    s.inputs.pool.itemCollection = {3, 3, 3, 5};
    s.inputs.script.slots = {{3, 3}, {5, 1}};
    s.settings.followScript = true;
    s.random = RandomGenerator(99);
    RandomGenerator expected(99);
    EXPECT_EQ(s.pick(7, 1), expected.nextIndex(3));
    EXPECT_EQ(s.pick(7, 2), 4);
}

TEST(ItemSelection, EveryMethodAgreesWithItsScoreFunction) {
    // The selector's own score paths must choose what sorting the public scores would.
    for (const char* method : {"Shannon", "MaxDiscr", "MinCost"}) {
        for (std::int32_t groups : {2, 3}) {
            std::vector<std::pair<std::int32_t, std::vector<double>>> items;
            for (int i = 0; i < 40; ++i) {
                std::vector<double> p;
                for (int g = 0; g < groups; ++g) p.push_back(0.15 + 0.02 * ((i * 7 + g * 13) % 20) + 0.1 * g);
                items.push_back({1, p});
            }
            Selection s(makeInputs(items), method);
            s.settings.groupCount = groups;
            s.posterior = GroupPosterior(groups);
            std::vector<double> start(static_cast<std::size_t>(groups), 1.0);
            start[0] = 3.0;
            s.posterior.resetPosterior(false, start);
            GroupPosterior copy = s.posterior;
            std::vector<Candidate> scored;
            for (std::int32_t i = 1; i <= 40; ++i) {
                const double* p = s.inputs.pool.itemRow(i);
                const std::string m = method;
                scored.push_back({i, m == "Shannon"    ? shannonScore(p, copy)
                                     : m == "MaxDiscr" ? discriminationScore(p, copy)
                                                       : expectedCostScore(p, copy, s.settings)});
            }
            sortCandidates(scored);
            EXPECT_EQ(s.pick(1), scored[0].position) << method << " " << groups;
        }
    }
}

}  // namespace
}  // namespace quillon
