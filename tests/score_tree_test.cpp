// The search over groups of items: the tree's layout, node bounds that hold for every item in
// the box (and are not uselessly low), and selections equal to the full path's, also on pools full
// of equal and near-equal items. A bound moved on purpose must fail these checks.
// QUILLON_LONG_TESTS=1 multiplies the random cases by 100.
#include "score_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <random>

#include "long_tests.h"
#include "quillon/engine/item_selection.h"
#include "score_bounds.h"

namespace quillon {
namespace {

using testing::scaled;

// A probability the tree accepts, often at its edges: the smallest allowed, next to 1, three
// decimals, or one ulp from another value.
double edgyProbability(std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    switch (random() % 8) {
        case 0:
            return 0x1p-60 * static_cast<double>(1 + random() % 4);
        case 1:
            return 1.0 - 0x1p-53 * static_cast<double>(1 + random() % 8);
        case 2:
            return static_cast<double>(1 + random() % 999) / 1000.0;
        case 3:
            return std::ldexp(1.0 + uniform(random), -static_cast<int>(1 + random() % 59));
        default:
            return 0.001 + 0.998 * uniform(random);
    }
}

// A node's region as the tree builds it from a few items, often at the edges, sometimes equal or
// a few ulps apart.
PointTree::Box edgyBox(std::mt19937_64& random) {
    std::vector<double> rows;
    std::vector<std::int32_t> positions;
    const int count = 1 + static_cast<int>(random() % 5);
    for (int i = 1; i <= count; ++i) {
        double p1 = edgyProbability(random);
        double p2 = edgyProbability(random);
        if (i > 1 && random() % 3 == 0) {
            p1 = rows[0];
            for (int k = static_cast<int>(random() % 4); k > 0; --k) p1 = std::nextafter(p1, 1.0);
            if (!(p1 < 1.0)) p1 = rows[0];
        }
        if (random() % 5 == 0) p2 = p1;
        rows.insert(rows.end(), {p1, p2, 1.0 - p1, 1.0 - p2});
        positions.push_back(i);
    }
    return buildPointTree(positions, rows.data(), true).boxes[0];
}

// Whether a point lies in the region: inside the box, and p(2) - p(1) within [loD, hiD] exactly.
bool inRegion(const PointTree::Box& x, double p1, double p2) {
    if (!(p1 >= x.lo1 && p1 <= x.hi1 && p2 >= x.lo2 && p2 <= x.hi2)) return false;
    // 64 bits of mantissa: exact unless the two are far apart in size, where an error could only
    // report a bound as broken, never hide one.
    const long double d = static_cast<long double>(p2) - static_cast<long double>(p1);
    return d >= x.loD && d <= x.hiD;
}

// A normalised posterior the bounds accept: ordinary, lopsided, or near the smallest allowed.
bool edgyPosterior(std::mt19937_64& random, double& q0, double& q1) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    double a = uniform(random);
    switch (random() % 4) {
        case 0:
            a = std::ldexp(1.0 + uniform(random), -static_cast<int>(1 + random() % 899));
            break;
        case 1:
            a = static_cast<double>(1 + random() % 999) / 1000.0;
            break;
        default:
            break;
    }
    GroupPosterior posterior(2);
    if (random() % 2 == 0)
        posterior.resetPosterior(false, {a, 1.0 - a});
    else
        posterior.resetPosterior(false, {1.0 - a, a});
    posterior.normalisePosterior();
    q0 = posterior(1);
    q1 = posterior(2);
    return PointTree::fitsPosterior(q0, q1);
}

// Points of a region: its vertices (rounded into it where they are not doubles), points on its
// borders and inside.
std::vector<std::pair<double, double>> pointsOf(const PointTree::Box& x, std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<std::pair<double, double>> candidates;
    for (double p1 : {x.lo1, x.hi1, x.hi2 - x.hiD, x.lo2 - x.loD}) {
        candidates.push_back({p1, std::min(x.hi2, p1 + x.hiD)});
        candidates.push_back({p1, std::max(x.lo2, p1 + x.loD)});
    }
    for (int k = 0; k < 24; ++k) {
        const double p1 = std::clamp(x.lo1 + (x.hi1 - x.lo1) * uniform(random), x.lo1, x.hi1);
        const double top = std::min(x.hi2, p1 + x.hiD);
        const double bottom = std::max(x.lo2, p1 + x.loD);
        candidates.push_back({p1, top});
        candidates.push_back({p1, bottom});
        candidates.push_back({p1, bottom + (top - bottom) * uniform(random)});
    }
    std::vector<std::pair<double, double>> points;
    for (auto [p1, p2] : candidates) {
        // Rounding may have left the region by an ulp or two: step back in.
        for (int step = 0; step < 4 && !inRegion(x, p1, p2); ++step) {
            const long double d = static_cast<long double>(p2) - static_cast<long double>(p1);
            p2 = d > x.hiD ? std::nextafter(p2, 0.0) : d < x.loD ? std::nextafter(p2, 1.0) : p2;
            p2 = std::clamp(p2, x.lo2, x.hi2);
        }
        if (inRegion(x, p1, p2)) points.push_back({p1, p2});
    }
    return points;
}

std::vector<RunSettings> concaveCosts() {
    std::vector<RunSettings> all;
    const double sets[][4] = {{0, 1, 1, 0}, {0, 0.5, 2, 0}, {-1, 1, 0, 1.5}, {2, 0, 0, -1}, {1, -1, 1.5, 0.5}};
    for (const auto& c : sets) {
        RunSettings s;
        s.costFailFail = c[0];
        s.costFailPass = c[1];
        s.costPassFail = c[2];
        s.costPassPass = c[3];
        all.push_back(s);
    }
    return all;
}

// How the node bounds of random boxes compare with the computed scores of points in them:
// points scored below their box's bound (a broken bound), and boxes whose bound lies far below
// the smallest corner score (a bound too loose to be of use).
struct BoundCheck {
    std::int64_t points = 0;
    std::int64_t below = 0;
    std::int64_t loose = 0;
};

BoundCheck checkBoxBounds(std::size_t boxes, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    const std::vector<RunSettings> costs = concaveCosts();
    BoundCheck check;
    for (std::size_t n = 0; n < boxes; ++n) {
        double q0, q1;
        if (!edgyPosterior(random, q0, q1)) continue;
        const PointTree::Box box = edgyBox(random);
        const RunSettings& s = costs[n % costs.size()];
        double shannon, cost;
        shannonBoxBounds(&box, 1, q0, q1, &shannon);
        costBoxBounds(&box, 1, q0, q1, s, &cost);
        double lowestShannon = HUGE_VAL;
        double lowestCost = HUGE_VAL;
        for (const auto& [p1, p2] : pointsOf(box, random)) {
            const double row[4] = {p1, p2, 1.0 - p1, 1.0 - p2};
            const double a = shannonTwoGroups(row, q0, q1);
            const double b = costTwoGroups(row, q0, q1, s);
            lowestShannon = std::min(lowestShannon, a);
            lowestCost = std::min(lowestCost, b);
            check.points += 2;
            check.below += (a < shannon) + (b < cost);
        }
        // The vertices are among the points: the bounds must come within a hair of them.
        check.loose += (shannon < lowestShannon - 0x1p-30) + (cost < lowestCost - 0x1p-30);
    }
    return check;
}

TEST(BoxBounds, HoldForEveryPointOfTheBoxAndStayClose) {
    const BoundCheck check = checkBoxBounds(scaled(100000), 31);
    EXPECT_GT(check.points, 1000000);
    EXPECT_EQ(check.below, 0);
    EXPECT_EQ(check.loose, 0);
}

TEST(BoxBounds, AMovedBoundIsCaught) {
    // Raised by 2^-40 (beyond the margin), the bound passes some corner's score; lowered by 2^-20
    // it is too loose. Either way the check above reports it.
    setBoxBoundShiftForTesting(0x1p-40);
    const BoundCheck raised = checkBoxBounds(20000, 32);
    setBoxBoundShiftForTesting(-0x1p-20);
    const BoundCheck lowered = checkBoxBounds(20000, 32);
    setBoxBoundShiftForTesting(0.0);
    EXPECT_GT(raised.below, 0);
    EXPECT_GT(lowered.loose, 0);
}

TEST(BoxBounds, CostBoundOnlyForConcaveCosts) {
    struct Case {
        double ff, fp, pf, pp;
        bool holds;
    };
    const Case cases[] = {
        {0, 1, 1, 0, true},         {-1, 1, 0, 2, true},      {0, -1, 1, 0, true},
        {0, -1, 0.5, 0, false},     {0, 1e-300, 1, 0, false}, {0, 1, 1, NAN, false},
        {0, 1, HUGE_VAL, 0, false}, {0x1p31, 1, 1, 0, false}, {0, 0, 0, 0, true},
    };
    for (const Case& c : cases) {
        RunSettings s;
        s.costFailFail = c.ff;
        s.costFailPass = c.fp;
        s.costPassFail = c.pf;
        s.costPassPass = c.pp;
        EXPECT_EQ(costBoundHolds(s), c.holds) << c.ff << " " << c.fp << " " << c.pf << " " << c.pp;
    }
}

TEST(PointTreeLayout, EveryItemOnceEachInsideItsNodesBox) {
    std::mt19937_64 random(33);
    for (int round = 0; round < 20; ++round) {
        const int count = 1 + static_cast<int>(random() % 3000);
        std::vector<double> rows;
        std::vector<std::int32_t> positions;
        for (int i = 1; i <= count; ++i) {
            // Every tenth item certain or impossible in a group: kept out of the boxes.
            const double p1 = i % 10 == 0 ? static_cast<double>(random() % 2) : edgyProbability(random);
            const double p2 = random() % 7 == 0 ? p1 : edgyProbability(random);
            rows.insert(rows.end(), {p1, p2, 1.0 - p1, 1.0 - p2});
            if (random() % 5 != 0) positions.push_back(i);
        }
        const PointTree tree = buildPointTree(positions, rows.data(), true);
        std::vector<std::int32_t> seen = tree.items;
        seen.insert(seen.end(), tree.loose.begin(), tree.loose.end());
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(seen, positions);
        for (std::int32_t i : tree.loose) EXPECT_FALSE(PointTree::fits(rows[4 * (i - 1)], rows[4 * (i - 1) + 1]));
        // Walk the nodes as the search does.
        std::vector<std::array<std::int32_t, 3>> open;
        if (!tree.items.empty()) open.push_back({0, 0, static_cast<std::int32_t>(tree.items.size())});
        while (!open.empty()) {
            const auto [node, begin, end] = open.back();
            open.pop_back();
            const PointTree::Box& box = tree.boxes[static_cast<std::size_t>(node)];
            for (std::int32_t k = begin; k < end; ++k) {
                const double* row = rows.data() + 4 * (tree.items[static_cast<std::size_t>(k)] - 1);
                ASSERT_TRUE(inRegion(box, row[0], row[1]));
            }
            if (end - begin <= PointTree::leafSize) continue;
            const std::int32_t middle = begin + (end - begin) / 2;
            open.push_back({2 * node + 1, begin, middle});
            open.push_back({2 * node + 2, middle, end});
        }
    }
}

// A pool of two-group items with few distinct rows, rows one ulp or 10^-13 apart, certain items
// and, now and then, items of a second collection.
InputFiles crowdedPool(std::mt19937_64& random, int count) {
    InputFiles inputs;
    ItemPool& pool = inputs.pool;
    pool.groupCount = 2;
    std::vector<std::pair<double, double>> rows;
    // Certain items are the most informative: once one is answered against a group, its
    // posterior is 0 and every selection after takes the full path. A quarter of the pools.
    const bool certain = random() % 4 == 0;
    // A third of the pools with as many rows as items, so that the best item is often alone.
    const int distinct = random() % 3 == 0 ? count : 1 + static_cast<int>(random() % static_cast<unsigned>(count));
    for (int k = 0; k < distinct; ++k) {
        double p1 = static_cast<double>(1 + random() % 999) / 1000.0;
        double p2 = static_cast<double>(1 + random() % 999) / 1000.0;
        if (k > 0 && random() % 3 == 0) {
            // Near another row: one ulp or a few 10^-13 away.
            const auto& [a, b] = rows[random() % rows.size()];
            p1 = random() % 2 ? std::nextafter(a, 1.0) : a + 1e-13 * static_cast<double>(random() % 5);
            p2 = b;
        }
        if (certain && random() % 50 == 0) p1 = static_cast<double>(random() % 2);
        rows.push_back({std::min(p1, 1.0), p2});
    }
    for (int i = 1; i <= count; ++i) {
        const auto& [p1, p2] = rows[random() % rows.size()];
        pool.itemId.push_back("I" + std::to_string(i));
        pool.itemCollection.push_back(random() % 8 == 0 ? 2 : 1);
        pool.pCorrect.insert(pool.pCorrect.end(), {p1, p2});
    }
    pool.itemCount = count;
    return inputs;
}

// Selections through the search (or MaxDiscr's walk) against the full path (a selector keeping its detail takes the
// full path), item by item with marks and posterior updates; how many differed.
std::int64_t searchDifferences(std::size_t pools, std::uint64_t seed, std::int64_t& decided) {
    std::mt19937_64 random(seed);
    std::int64_t differing = 0;
    decided = 0;
    const std::vector<RunSettings> costs = concaveCosts();
    for (std::size_t n = 0; n < pools; ++n) {
        const int count = 200 + static_cast<int>(random() % 3000);
        const InputFiles inputs = crowdedPool(random, count);
        RunSettings settings = costs[n % costs.size()];
        settings.groupCount = 2;
        const SelectionMethod methods[] = {SelectionMethod::Shannon, SelectionMethod::MaxDiscr,
                                           SelectionMethod::MinCost};
        settings.selectionMethod = methods[n % 3];
        settings.randomizationFactor = 1 + static_cast<int>(random() % 4);
        ItemSelector search(inputs, settings);
        ItemSelector full(inputs, settings);
        full.keepDetail(0);
        ExclusionMarks marks;
        marks.resize(count);
        GroupPosterior posteriorA(2), posteriorB(2);
        const double prior = static_cast<double>(1 + random() % 999) / 1000.0;
        posteriorA.resetPosterior(false, {prior, 1.0 - prior});
        posteriorB.resetPosterior(false, {prior, 1.0 - prior});
        RandomGenerator randomA, randomB;
        for (std::int32_t position = 1; position <= 30; ++position) {
            // Enemies and exposure controls: a few items blocked or set aside.
            if (random() % 4 == 0) marks.block(1 + static_cast<std::int32_t>(random() % static_cast<unsigned>(count)));
            if (random() % 4 == 0)
                marks.setAside(1 + static_cast<std::int32_t>(random() % static_cast<unsigned>(count)));
            std::int32_t collectionA = 1, collectionB = 1;
            const std::int64_t examinedBefore = search.candidatesExamined();
            const std::int64_t scoredBefore = search.candidatesScored();
            const std::int32_t a = search.selectItem(collectionA, position, posteriorA, marks, randomA);
            const std::int32_t b = full.selectItem(collectionB, position, posteriorB, marks, randomB);
            if (search.candidatesExamined() - examinedBefore < search.candidatesScored() - scoredBefore) ++decided;
            if (a != b || posteriorA.values() != posteriorB.values() || randomA.state() != randomB.state()) {
                ++differing;
                break;
            }
            if (a == 0) break;
            marks.markAdministered(a, 1);
            const int answer = static_cast<int>(random() % 2);
            posteriorA.updatePosterior(inputs.pool.itemRow(a), answer);
            posteriorB.updatePosterior(inputs.pool.itemRow(a), answer);
        }
        if (search.candidatesScored() != full.candidatesScored()) ++differing;
    }
    return differing;
}

TEST(TreeSearch, ChoosesWhatTheFullPathChooses) {
    std::int64_t decided = 0;
    EXPECT_EQ(searchDifferences(scaled(60), 34, decided), 0);
    EXPECT_GT(decided, 300);  // the search itself settled many selections, not only the full path
}

TEST(TreeSearch, ABrokenBoundChangesSelections) {
    setBoxBoundShiftForTesting(1e-3);
    std::int64_t decided = 0;
    const std::int64_t differing = searchDifferences(60, 34, decided);
    setBoxBoundShiftForTesting(0.0);
    EXPECT_GT(differing, 0);
}

}  // namespace
}  // namespace quillon
