// The cheap scores' promises: the logarithm's error bound, intervals that contain the engine's
// own Shannon score, MinCost scores equal to it bit for bit, and selections equal to the exact
// ones. QUILLON_LONG_TESTS=1 multiplies the random cases by 100.
#include "score_bounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "long_tests.h"
#include "quillon/engine/item_selection.h"

namespace quillon {
namespace {

using testing::scaled;

// A probability or posterior value: mostly ordinary, often an edge of [0, 1] or a subnormal.
double edgyValue(std::mt19937_64& random) {
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    switch (random() % 16) {
        case 0:
            return 0.0;
        case 1:
            return 1.0;
        case 2:
            return 1.0 - 0x1p-53 * static_cast<double>(1 + random() % 8);
        case 3:
            return std::ldexp(uniform(random), -static_cast<int>(random() % 1074));  // down to subnormal
        case 4:
            return DBL_TRUE_MIN * static_cast<double>(1 + random() % 1000);
        case 5:
            return DBL_MIN * (1.0 + uniform(random));
        case 6:
            return std::round(uniform(random) * 1000.0) / 1000.0;
        case 7:
            return 1.0 - std::ldexp(uniform(random), -static_cast<int>(random() % 60));
        default:
            return uniform(random);
    }
}

// Rarely, a value no valid file holds: the bounds must then step aside or still hold.
double wildValue(std::mt19937_64& random) {
    switch (random() % 64) {
        case 0:
            return -0.25;
        case 1:
            return 1.5;
        case 2:
            return std::numeric_limits<double>::quiet_NaN();
        case 3:
            return HUGE_VAL;
        case 4:
            return -0.0;
        default:
            return edgyValue(random);
    }
}

TEST(FastLog2, ErrorWithinItsBound) {
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values = {1.0, 0.5, DBL_MIN, 1.0 - 0x1p-53, 0.75, 0.9999999, std::nextafter(1.0, 0.0)};
    for (int j = 0; j <= 64; ++j) values.push_back(std::ldexp(1.0 + j / 64.0, -1));  // every table boundary
    for (std::size_t n = 0; n < scaled(1000000); ++n) {
        const double t =
            n % 2 ? uniform(random) : std::ldexp(1.0 + uniform(random), -1 - static_cast<int>(random() % 1022));
        if (t >= DBL_MIN) values.push_back(t);
    }
    double worst = 0.0;
    for (double t : values) {
        const long double exact = std::log2(static_cast<long double>(t));
        const double error = static_cast<double>(std::fabs(static_cast<long double>(fastLog2(t)) - exact));
        const double bound = fastLog2AbsoluteError + fastLog2RelativeError * std::fabs(static_cast<double>(exact));
        ASSERT_LE(error, bound) << std::hexfloat << t;
        worst = std::max(worst, error / bound);
    }
    EXPECT_GT(worst, 0.01);  // the bound is not vacuous either
}

// Near 1 the logarithm bypasses its table, so that its error shrinks with 1 - t: a score near 0
// then gets an interval to its own scale.
TEST(FastLog2, NearOneErrorShrinksWithTheDistanceToOne) {
    std::mt19937_64 random(15);
    std::vector<double> values = {1.0, std::nextafter(1.0, 0.0), 1.0 - 0x1p-10, 1.0 - 0x1p-30};
    for (std::size_t n = 0; n < scaled(200000); ++n)
        values.push_back(1.0 - std::ldexp(1.0 + static_cast<double>(random() % 1024) / 1024.0,
                                          -11 - static_cast<int>(random() % 42)));
    for (double t : values) {
        const long double exact = std::log2(static_cast<long double>(t));
        const double error = static_cast<double>(std::fabs(static_cast<long double>(fastLog2(t)) - exact));
        ASSERT_LE(error, 0x1p-40 * (1.0 - t)) << std::hexfloat << t;
    }
}

struct Batch {
    std::vector<double> rows;
    std::vector<Candidate> candidates;
    void add(double p0, double p1) {
        rows.insert(rows.end(), {p0, p1, 1.0 - p0, 1.0 - p1});
        candidates.push_back({static_cast<std::int32_t>(candidates.size() + 1), 0.0});
    }
};

TEST(ShannonBounds, ContainTheComputedScore) {
    std::mt19937_64 random(12);
    std::size_t checked = 0, exactOnes = 0, ordinaryExact = 0;
    const std::size_t perBatch = 1000;
    for (std::size_t done = 0; done < scaled(3000000); done += perBatch) {
        // The posterior as the selection sees it: normalised, or now and then as it stands.
        double q0 = wildValue(random);
        double q1 = wildValue(random);
        if (random() % 8 != 0) {
            const double sum = q0 + q1;
            q0 = q0 / sum;
            q1 = q1 / sum;
        }
        Batch batch;
        const bool ordinary = random() % 4 == 0;  // inside (0, 1), a posterior away from 0 and 1
        if (ordinary) {
            std::uniform_real_distribution<double> inner(0.01, 0.99);
            q0 = inner(random);
            q1 = 1.0 - q0;
        }
        const std::size_t count = perBatch - random() % 4;  // every tail length
        for (std::size_t i = 0; i < count; ++i) {
            if (ordinary) {
                std::uniform_real_distribution<double> inner(0.001, 0.999);
                batch.add(inner(random), inner(random));
            } else {
                batch.add(wildValue(random), wildValue(random));
            }
        }
        std::vector<double> lower(count), upper(count);
        const VectorWidth width = done % (2 * perBatch) == 0 ? VectorWidth::Two : VectorWidth::Widest;
        const BoundSummary summary =
            shannonBounds(batch.rows.data(), batch.candidates.data(), count, q0, q1, lower.data(), upper.data(), width);
        double lowestLower = HUGE_VAL, lowestUpper = HUGE_VAL;
        bool allBounded = true;
        for (std::size_t i = 0; i < count; ++i) {
            ++checked;
            if (std::isnan(lower[i])) {
                ++exactOnes;
                ordinaryExact += ordinary;
                allBounded = false;
                continue;
            }
            lowestLower = std::min(lowestLower, lower[i]);
            lowestUpper = std::min(lowestUpper, upper[i]);
            const double score = orderable(shannonTwoGroups(batch.rows.data() + 4 * i, q0, q1));
            ASSERT_TRUE(lower[i] <= score && score <= upper[i])
                << std::hexfloat << "row " << batch.rows[4 * i] << " " << batch.rows[4 * i + 1] << " posterior " << q0
                << " " << q1 << ": " << score << " outside [" << lower[i] << ", " << upper[i] << "]";
            ASSERT_LE(upper[i] - lower[i], 0x1p-33 * (1.0 + score));  // narrow enough to decide
        }
        ASSERT_EQ(summary.lowestLower, lowestLower);
        ASSERT_EQ(summary.lowestUpper, lowestUpper);
        ASSERT_EQ(summary.allBounded, allBounded);
    }
    EXPECT_EQ(ordinaryExact, 0u);
    EXPECT_LT(exactOnes, checked / 2);
}

// With a posterior near one group every score is near 0; the intervals must still tell
// candidates apart, which an error fixed in absolute terms would not.
TEST(ShannonBounds, NarrowForScoresNearZero) {
    std::mt19937_64 random(16);
    std::uniform_real_distribution<double> inner(0.01, 0.99);
    for (int k = 10; k <= 30; ++k) {
        const double small = std::ldexp(1.0, -k);
        for (const auto& [q0, q1] : {std::pair{1.0 - small, small}, std::pair{small, 1.0 - small}}) {
            Batch batch;
            for (int i = 0; i < 400; ++i) batch.add(inner(random), inner(random));
            std::vector<double> lower(400), upper(400);
            shannonBounds(batch.rows.data(), batch.candidates.data(), 400, q0, q1, lower.data(), upper.data());
            for (std::size_t i = 0; i < 400; ++i) {
                const double score = shannonTwoGroups(batch.rows.data() + 4 * i, q0, q1);
                ASSERT_TRUE(lower[i] <= score && score <= upper[i]);
                ASSERT_LE(upper[i] - lower[i], 0x1p-20 * score) << "posterior " << q0 << " " << q1;
            }
        }
    }
}

// Four lanes and two compute the same bits: every operation is element by element.
TEST(BatchScores, EveryVectorWidthGivesTheSameBits) {
    std::mt19937_64 random(17);
    RunSettings settings;
    settings.costFailPass = 1.5;
    settings.costPassFail = 0.75;
    for (int round = 0; round < 200; ++round) {
        double q0 = wildValue(random), q1 = wildValue(random);
        if (round % 2 == 0) {
            const double sum = q0 + q1;
            q0 /= sum;
            q1 /= sum;
        }
        Batch batch;
        const std::size_t count = 1 + random() % 40;
        for (std::size_t i = 0; i < count; ++i) batch.add(wildValue(random), wildValue(random));
        std::vector<double> lowerWide(count), upperWide(count), lowerTwo(count), upperTwo(count);
        shannonBounds(batch.rows.data(), batch.candidates.data(), count, q0, q1, lowerWide.data(), upperWide.data(),
                      VectorWidth::Widest);
        shannonBounds(batch.rows.data(), batch.candidates.data(), count, q0, q1, lowerTwo.data(), upperTwo.data(),
                      VectorWidth::Two);
        // An upper bound means something only beside a lower one; elsewhere NaNs may differ in sign.
        const auto sameBounds = [&](const std::vector<double>& lower, const std::vector<double>& upper) {
            for (std::size_t i = 0; i < count; ++i) {
                if (std::memcmp(&lower[i], &lowerTwo[i], sizeof(double)) != 0) return false;
                if (!std::isnan(lower[i]) && std::memcmp(&upper[i], &upperTwo[i], sizeof(double)) != 0) return false;
            }
            return true;
        };
        ASSERT_TRUE(sameBounds(lowerWide, upperWide));
        // The same points given as columns, as the tree's borders are.
        std::vector<double> p1(count), p2(count);
        for (std::size_t i = 0; i < count; ++i) {
            p1[i] = batch.rows[4 * i];
            p2[i] = batch.rows[4 * i + 1];
        }
        for (VectorWidth width : {VectorWidth::Widest, VectorWidth::Two}) {
            std::vector<double> lower(count), upper(count);
            shannonPointBounds(p1.data(), p2.data(), count, q0, q1, lower.data(), upper.data(), width);
            ASSERT_TRUE(sameBounds(lower, upper));
        }
        // Operands that fit the trees: the shorter checks give the same bits.
        Batch fitting;
        std::uniform_real_distribution<double> inner(0x1p-60, 1.0);
        for (std::size_t i = 0; i < count; ++i) fitting.add(inner(random), random() % 4 == 0 ? 0x1p-60 : inner(random));
        double f0 = round % 3 == 0 ? 0x1p-900 : inner(random);
        double f1 = 1.0 - f0;
        if (round % 2 == 0) std::swap(f0, f1);
        for (VectorWidth width : {VectorWidth::Widest, VectorWidth::Two}) {
            std::vector<double> anyLower(count), anyUpper(count), fitLower(count), fitUpper(count);
            shannonBounds(fitting.rows.data(), fitting.candidates.data(), count, f0, f1, anyLower.data(),
                          anyUpper.data(), width, Operands::Any);
            shannonBounds(fitting.rows.data(), fitting.candidates.data(), count, f0, f1, fitLower.data(),
                          fitUpper.data(), width, Operands::Fitting);
            ASSERT_EQ(std::memcmp(anyLower.data(), fitLower.data(), count * sizeof(double)), 0);
            ASSERT_EQ(std::memcmp(anyUpper.data(), fitUpper.data(), count * sizeof(double)), 0);
        }
        std::vector<Candidate> wide = batch.candidates, two = batch.candidates;
        costScores(batch.rows.data(), wide.data(), count, q0, q1, settings, VectorWidth::Widest);
        costScores(batch.rows.data(), two.data(), count, q0, q1, settings, VectorWidth::Two);
        std::vector<double> columns(count);
        costPointScores(p1.data(), p2.data(), count, q0, q1, settings, columns.data());
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(std::memcmp(&wide[i].score, &two[i].score, sizeof(double)), 0);
            ASSERT_EQ(std::memcmp(&columns[i], &two[i].score, sizeof(double)), 0);
        }
    }
}

TEST(CostScores, EqualTheComputedScoreBitForBit) {
    std::mt19937_64 random(13);
    RunSettings settings;
    const std::vector<std::vector<double>> costs = {{0.0, 1.5, 1.0, 0.0}, {0.3, 2.0, 0.7, 0.1}, {1e-300, 1e300, 1, 0}};
    for (std::size_t done = 0; done < scaled(200000); done += 500) {
        const auto& c = costs[random() % costs.size()];
        settings.costPassPass = c[0];
        settings.costPassFail = c[1];
        settings.costFailPass = c[2];
        settings.costFailFail = c[3];
        double q0 = wildValue(random);
        double q1 = wildValue(random);
        const double sum = q0 + q1;
        q0 = q0 / sum;
        q1 = q1 / sum;
        Batch batch;
        const std::size_t count = 500 - random() % 4;
        for (std::size_t i = 0; i < count; ++i) batch.add(wildValue(random), wildValue(random));
        costScores(batch.rows.data(), batch.candidates.data(), count, q0, q1, settings,
                   done % 1000 == 0 ? VectorWidth::Two : VectorWidth::Widest);
        for (std::size_t i = 0; i < count; ++i) {
            const double exact = orderable(costTwoGroups(batch.rows.data() + 4 * i, q0, q1, settings));
            const double cheap = batch.candidates[i].score;
            ASSERT_EQ(std::memcmp(&exact, &cheap, sizeof exact), 0) << std::hexfloat << exact << " " << cheap;
        }
    }
}

// Whole tests of one examinee, chosen twice: through the bounds and, with the detail kept,
// through every exact score. Pools with many equal rows make the tie orders decide.
TEST(BoundedSelection, ChoosesWhatTheExactScoresChoose) {
    std::mt19937_64 random(14);
    for (const char* method : {"Shannon", "MinCost"}) {
        for (int pool = 0; pool < 60; ++pool) {
            InputFiles inputs;
            ItemPool& items = inputs.pool;
            items.groupCount = 2;
            const int count = 5 + static_cast<int>(random() % 120);
            const int distinct = 1 + static_cast<int>(random() % 12);
            for (int i = 1; i <= count; ++i) {
                items.itemId.push_back("I" + std::to_string(i));
                items.itemCollection.push_back(1 + static_cast<int>(random() % 2));
                const int kind = static_cast<int>(random() % static_cast<unsigned>(distinct));
                const double p0 = pool % 5 == 0 ? edgyValue(random) : 0.1 + 0.05 * kind;
                items.pCorrect.insert(items.pCorrect.end(),
                                      {p0, pool % 5 == 0 ? edgyValue(random) : 0.9 - 0.03 * kind});
            }
            items.itemCount = count;
            RunSettings settings;
            settings.groupCount = 2;
            settings.selectionMethod = selectionMethodFromName(method).value();
            settings.randomizationFactor = 1 + static_cast<int>(random() % 6);
            ItemSelector bounded(inputs, settings);
            ItemSelector exact(inputs, settings);
            exact.keepDetail(0);
            ExclusionMarks marks;
            marks.resize(count);
            GroupPosterior posteriorA(2), posteriorB(2);
            posteriorA.resetPosterior(true, {});
            posteriorB.resetPosterior(true, {});
            RandomGenerator randomA, randomB;
            for (std::int32_t position = 1; position <= count; ++position) {
                std::int32_t collectionA = 1 + position % 2;
                std::int32_t collectionB = collectionA;
                const std::int32_t a = bounded.selectItem(collectionA, position, posteriorA, marks, randomA);
                const std::int32_t b = exact.selectItem(collectionB, position, posteriorB, marks, randomB);
                ASSERT_EQ(a, b) << method << " pool " << pool << " position " << position;
                if (a == 0) break;
                marks.markAdministered(a, 1);
                const int answer = static_cast<int>(random() % 2);
                posteriorA.updatePosterior(inputs.pool.itemRow(a), answer);
                posteriorB.updatePosterior(inputs.pool.itemRow(a), answer);
                ASSERT_EQ(posteriorA.values(), posteriorB.values());
            }
            EXPECT_EQ(bounded.candidatesScored(), exact.candidatesScored());
        }
    }
}

}  // namespace
}  // namespace quillon
