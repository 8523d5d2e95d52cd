#include "quillon/item_selection.h"

#include <gtest/gtest.h>

#include <cmath>

namespace quillon {
namespace {

struct ItemSpec {
    std::int32_t collection;
    std::vector<double> p;
};

InputFiles makeInputs(const std::vector<ItemSpec>& items) {
    InputFiles inputs;
    ItemPool& pool = inputs.pool;
    pool.groupCount = static_cast<std::int32_t>(items.front().p.size());
    pool.groupPrior.assign(static_cast<std::size_t>(pool.groupCount), 0.0);
    for (std::size_t i = 0; i < items.size(); ++i) {
        pool.itemId.push_back("I" + std::to_string(i + 1));
        pool.itemCollection.push_back(items[i].collection);
        pool.pCorrect.insert(pool.pCorrect.end(), items[i].p.begin(), items[i].p.end());
    }
    pool.itemCount = static_cast<std::int32_t>(items.size());
    return inputs;
}

GroupPosterior uniformPosterior(std::int32_t groups) {
    GroupPosterior posterior(groups);
    posterior.resetPosterior(true, {});
    return posterior;
}

TEST(ItemSelectionScores, WorkedTwoGroupItem) {
    const double p[] = {0.8, 0.3};
    RunSettings settings;  // costs 0, 1.5, 1, 0
    GroupPosterior posterior = uniformPosterior(2);
    EXPECT_NEAR(shannonScore(p, posterior), 0.55 * 0.8454 + 0.45 * 0.7642, 1e-4);
    EXPECT_NEAR(shannonScore(p, posterior), 0.8088, 5e-5);
    EXPECT_NEAR(discriminationScore(p, posterior), 1.0195, 5e-5);
    EXPECT_NEAR(expectedCostScore(p, posterior, settings), 0.4672, 5e-5);
}

TEST(ItemSelectionScores, EqualOrZeroProbabilitiesDiscriminateNothing) {
    GroupPosterior posterior = uniformPosterior(2);
    for (const auto& p : std::vector<std::vector<double>>{{0.5, 0.5}, {0.0, 0.4}, {0.4, 0.0}}) {
        EXPECT_TRUE(std::isinf(discriminationScore(p.data(), posterior))) << p[0] << ", " << p[1];
    }
}

TEST(ItemSelectionScores, FourGroupBoundaryFollowsTheMostProbableGroup) {
    struct Case {
        std::vector<double> posterior;
        int lower;  // boundary between groups lower and lower + 1
    };
    const std::vector<Case> cases = {
        {{0.1, 0.4, 0.4, 0.1}, 2},  // tie at the top keeps group 2; P(3) >= P(1) goes upward
        {{0.1, 0.5, 0.2, 0.2}, 2},
        {{0.3, 0.5, 0.1, 0.1}, 1},  // P(3) < P(1): the boundary below
        {{0.7, 0.1, 0.1, 0.1}, 1},
        {{0.1, 0.1, 0.1, 0.7}, 3},
    };
    const double p[] = {0.2, 0.4, 0.7, 0.9};
    for (const Case& c : cases) {
        GroupPosterior posterior(4);
        posterior.groupPosterior = c.posterior;
        const double expected = 1.0 / std::fabs(std::log(p[c.lower - 1] / p[c.lower]));
        EXPECT_DOUBLE_EQ(discriminationScore(p, posterior), expected) << c.posterior[0] << " " << c.posterior[1];
    }
}

TEST(ItemSelectionScores, ShannonRenormalisesThePosteriorItReads) {
    const double p[] = {0.8, 0.3};
    GroupPosterior scaled(2);
    scaled.groupPosterior = {2.0, 2.0};  // not normalised: the score must not depend on the scale
    GroupPosterior uniform = uniformPosterior(2);
    EXPECT_DOUBLE_EQ(shannonScore(p, scaled), shannonScore(p, uniform));
    EXPECT_DOUBLE_EQ(scaled(1) + scaled(2), 1.0);
}

std::vector<std::int32_t> sortedPositions(const std::vector<double>& scores) {
    std::vector<Candidate> list;
    for (std::size_t i = 0; i < scores.size(); ++i) list.push_back({static_cast<std::int32_t>(i + 1), scores[i]});
    sortCandidates(list);
    std::vector<std::int32_t> positions;
    for (const Candidate& c : list) positions.push_back(c.position);
    return positions;
}

TEST(ItemSelectionSort, TieOrdersOfTheQuicksort) {
    struct Case {
        std::vector<double> scores;
        std::vector<std::int32_t> order;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {{0.5, 0.5}, {2, 1}},
        {{0.5, 0.5, 0.5}, {3, 2, 1}},
        {{0.5, 0.5, 0.5, 0.5}, {3, 4, 1, 2}},
        {{0.5, 0.5, 0.3}, {3, 2, 1}},
        {{0.3, 0.1, 0.2}, {2, 3, 1}},
        {{inf, 0.2, 0.1}, {3, 2, 1}},
        {{0.7}, {1}},
    };
    for (const Case& c : cases) EXPECT_EQ(sortedPositions(c.scores), c.order);
}

TEST(ItemSelectionSort, LongListsEndUpAscending) {
    std::vector<double> scores;
    for (int i = 0; i < 500; ++i) scores.push_back(static_cast<double>((i * 7919) % 113));
    std::vector<Candidate> list;
    for (std::size_t i = 0; i < scores.size(); ++i) list.push_back({static_cast<std::int32_t>(i + 1), scores[i]});
    sortCandidates(list);
    for (std::size_t i = 1; i < list.size(); ++i) ASSERT_LE(list[i - 1].score, list[i].score);
}

// Items of collection 1 whose MaxDiscr scores rise with their pool position.
InputFiles risingInputs(int count) {
    std::vector<ItemSpec> items;
    for (int i = 0; i < count; ++i) items.push_back({1, {0.1 + 0.01 * i, 0.9 - 0.01 * i}});
    return makeInputs(items);
}

TEST(ItemSelection, FactorDecidesHowManyBestItemsCompete) {
    const InputFiles inputs = risingInputs(5);
    struct Case {
        std::int32_t factor;
        std::int64_t competing;
    };
    for (const Case c : {Case{1, 1}, Case{3, 3}, Case{5, 5}, Case{50, 5}, Case{0, 1}, Case{-4, 1}}) {
        RunSettings settings;
        settings.selectionMethod = "MaxDiscr";
        settings.randomizationFactor = c.factor;
        ItemSelector selector(inputs, settings);
        for (std::uint32_t seed : {1u, 77u, 4294967295u, 123456789u}) {
            ExclusionMarks marks;
            marks.resize(inputs.pool.itemCount);
            GroupPosterior posterior = uniformPosterior(2);
            RandomGenerator random(seed);
            RandomGenerator expected(seed);
            std::int32_t collection = 1;
            const std::int32_t item = selector.selectItem(collection, 1, posterior, marks, random);
            EXPECT_EQ(item, expected.nextIndex(c.competing)) << "factor " << c.factor << " seed " << seed;
            EXPECT_EQ(random.state(), expected.state()) << "exactly one draw per selection";
        }
    }
}

TEST(ItemSelection, OnlyEligibleItemsOfTheCollectionCompete) {
    const InputFiles inputs = makeInputs({{2, {0.2, 0.9}}, {1, {0.45, 0.55}}, {2, {0.4, 0.6}}, {1, {0.3, 0.7}}});
    RunSettings settings;
    settings.selectionMethod = "MaxDiscr";
    ItemSelector selector(inputs, settings);
    ExclusionMarks marks;
    marks.resize(4);
    GroupPosterior posterior = uniformPosterior(2);
    RandomGenerator random;
    std::int32_t collection = 1;
    EXPECT_EQ(selector.selectItem(collection, 1, posterior, marks, random), 4);
    marks.markAdministered(4, 1);
    EXPECT_EQ(selector.selectItem(collection, 2, posterior, marks, random), 2);
    marks.markAdministered(2, 1);
    const RandomGenerator before = random;
    EXPECT_EQ(selector.selectItem(collection, 3, posterior, marks, random), 0);
    EXPECT_EQ(random.state(), before.state()) << "no draw without a candidate";
    EXPECT_EQ(notEnoughItemsMessage(collection), "Not enought items, content area 1");
}

TEST(ItemSelection, AdministeredItemsStayMaskedAcrossTestsButBlocksDoNot) {
    InputFiles inputs = makeInputs({{1, {0.1, 0.9}}, {1, {0.2, 0.8}}, {1, {0.3, 0.7}}});
    inputs.enemySets = {EnemySet{{1, 2}}};
    RunSettings settings;
    settings.selectionMethod = "MaxDiscr";
    settings.blockEnemies = true;
    ItemSelector selector(inputs, settings);
    ExclusionMarks marks;
    marks.resize(3);
    GroupPosterior posterior = uniformPosterior(2);
    RandomGenerator random;
    std::int32_t collection = 1;
    EXPECT_EQ(selector.selectItem(collection, 1, posterior, marks, random), 1);
    marks.markAdministered(1, 1);
    EXPECT_TRUE(marks.isBlocked(2));
    EXPECT_EQ(selector.selectItem(collection, 2, posterior, marks, random), 3) << "item 2 is an enemy of item 1";
    marks.markAdministered(3, 1);
    marks.clearBlocked();  // test 2 begins
    EXPECT_EQ(selector.selectItem(collection, 1, posterior, marks, random), 2);
    EXPECT_TRUE(marks.administeredIn(1, 1));
    EXPECT_FALSE(marks.eligible(1));
}

TEST(ItemSelection, EnemySetsAreTriggeredOnlyByTheirOwnItems) {
    std::vector<ItemSpec> items;
    for (int i = 1; i <= 30; ++i) items.push_back({i == 1 || i == 12 ? 1 : 2, {0.2, 0.8}});
    InputFiles inputs = makeInputs(items);
    inputs.enemySets = {EnemySet{{12, 30, 0}}, EnemySet{{3, 0}}};
    RunSettings settings;
    settings.blockEnemies = true;
    ItemSelector selector(inputs, settings);
    ExclusionMarks marks;
    marks.resize(30);
    GroupPosterior posterior = uniformPosterior(2);
    RandomGenerator random;
    std::int32_t collection = 1;
    // Items 1 and 12 tie; the sort puts 12 first.
    EXPECT_EQ(selector.selectItem(collection, 1, posterior, marks, random), 12);
    for (int i = 1; i <= 30; ++i) EXPECT_EQ(marks.isBlocked(i), i == 12 || i == 30) << "item " << i;
    marks.markAdministered(12, 1);
    EXPECT_EQ(selector.selectItem(collection, 2, posterior, marks, random), 1);
    EXPECT_FALSE(marks.isBlocked(3)) << "item 1 shares no set with item 3";
}

TEST(ItemSelection, FollowedScriptReplacesCollectionAndFactor) {
    InputFiles inputs = risingInputs(4);
    inputs.pool.itemCollection = {3, 3, 3, 5};
    inputs.script.slots = {{3, 3}, {5, 1}};
    RunSettings settings;
    settings.selectionMethod = "MaxDiscr";
    settings.followScript = true;
    settings.randomizationFactor = 1;
    ItemSelector selector(inputs, settings);
    ExclusionMarks marks;
    marks.resize(4);
    GroupPosterior posterior = uniformPosterior(2);
    RandomGenerator random(99);
    RandomGenerator expected(99);
    std::int32_t collection = 7;
    EXPECT_EQ(selector.selectItem(collection, 1, posterior, marks, random), expected.nextIndex(3));
    EXPECT_EQ(collection, 3);
    collection = 7;
    EXPECT_EQ(selector.selectItem(collection, 2, posterior, marks, random), 4);
    EXPECT_EQ(collection, 5);
}

TEST(ItemSelection, MethodNames) {
    EXPECT_EQ(selectionMethodFromName("Shannon"), SelectionMethod::Shannon);
    EXPECT_EQ(selectionMethodFromName("MaxDiscr"), SelectionMethod::MaxDiscr);
    EXPECT_EQ(selectionMethodFromName("MinCost"), SelectionMethod::MinCost);
    EXPECT_FALSE(selectionMethodFromName("shannon"));
}

}  // namespace
}  // namespace quillon
