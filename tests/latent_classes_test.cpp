#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "quillon/calibration/calibration.h"
#include "quillon/engine/random_generator.h"

namespace quillon {
namespace {

/// Classes with known shares and per-item probabilities, listed weakest first.
struct TrueClasses {
    std::vector<double> shares;
    std::vector<std::vector<double>> pCorrect;  // [class][item]
};

/// Well separated classes: class c's items spread around a level that rises with c.
TrueClasses separatedClasses(std::vector<double> shares, std::size_t items) {
    TrueClasses truth{std::move(shares), {}};
    const std::size_t classes = truth.shares.size();
    for (std::size_t c = 0; c < classes; ++c) {
        std::vector<double> p(items);
        for (std::size_t item = 0; item < items; ++item) {
            const double level = 0.15 + 0.7 * static_cast<double>(c) / static_cast<double>(classes - 1);
            p[item] = level + 0.1 * (static_cast<double>(item % 5) - 2) / 2;
        }
        truth.pCorrect.push_back(p);
    }
    return truth;
}

ObservedAnswers simulate(const TrueClasses& truth, std::size_t examinees, double missingShare, std::uint32_t seed) {
    RandomGenerator generator(seed);
    ObservedAnswers data;
    const std::size_t items = truth.pCorrect.front().size();
    for (std::size_t item = 0; item < items; ++item) data.items.push_back({"I" + std::to_string(item + 1), 1});
    for (std::size_t examinee = 0; examinee < examinees; ++examinee) {
        data.addExaminee("E" + std::to_string(examinee), 0, "test line " + std::to_string(examinee + 1));
        double u = generator.nextUniform();
        std::size_t c = 0;
        while (c + 1 < truth.shares.size() && u >= truth.shares[c]) u -= truth.shares[c++];
        for (std::size_t item = 0; item < items; ++item) {
            if (generator.nextUniform() < missingShare) continue;
            data.answers[examinee * items + item] =
                generator.nextUniform() < truth.pCorrect[c][item] ? Answer::Right : Answer::Wrong;
        }
    }
    return data;
}

CalibrationOptions latentOptions(std::int32_t low, std::int32_t high, std::int32_t starts, std::uint64_t seed) {
    CalibrationOptions options;
    options.latentMin = low;
    options.latentMax = high;
    options.starts = starts;
    options.seed = seed;
    return options;
}

TEST(LatentClasses, LogLikelihoodNeverDecreases) {
    struct Case {
        std::vector<double> shares;
        std::size_t items, examinees;
        double missing;
        std::int32_t fitted;
    };
    const std::vector<Case> cases = {
        {{0.5, 0.5}, 20, 300, 0.0, 2},
        {{0.3, 0.7}, 15, 200, 0.4, 3},  // more classes than the data hold: a slow, flat climb
        {{0.2, 0.5, 0.3}, 30, 500, 0.2, 4},
    };
    for (const Case& c : cases) {
        const ObservedAnswers data = simulate(separatedClasses(c.shares, c.items), c.examinees, c.missing, 7);
        for (std::uint64_t seed : {1u, 2u, 3u}) {
            const auto calibration = calibratePool(data, latentOptions(c.fitted, c.fitted, 1, seed));
            ASSERT_TRUE(calibration.ok()) << calibration.failure().message;
            const std::vector<double>& trace = calibration->fits.front().logLikelihoods;
            ASSERT_EQ(trace.size(), static_cast<std::size_t>(calibration->fits.front().iterations) + 1);
            for (std::size_t k = 1; k < trace.size(); ++k)
                ASSERT_GE(trace[k], trace[k - 1] - 1e-12 * std::fabs(trace[k - 1]))
                    << c.fitted << " classes, seed " << seed << ", iteration " << k;
            EXPECT_DOUBLE_EQ(calibration->fits.front().logLikelihood, trace.back());
        }
    }
}

TEST(LatentClasses, RecoversSeparatedClassesWeakestFirst) {
    for (const std::vector<double>& shares : {std::vector<double>{0.6, 0.4}, std::vector<double>{0.25, 0.35, 0.4}}) {
        const TrueClasses truth = separatedClasses(shares, 40);
        const std::size_t examinees = 3000;
        const ObservedAnswers data = simulate(truth, examinees, 0.25, 11);
        const auto G = static_cast<std::int32_t>(shares.size());
        const auto calibration = calibratePool(data, latentOptions(G, G, 5, 5));
        ASSERT_TRUE(calibration.ok()) << calibration.failure().message;
        const CalibratedPool& pool = calibration->pool;
        ASSERT_EQ(pool.groupCount, G);
        for (std::int32_t g = 1; g <= G; ++g) {
            const double share = shares[static_cast<std::size_t>(g - 1)];
            EXPECT_NEAR(pool.groupShares[static_cast<std::size_t>(g - 1)], share,
                        4.5 * std::sqrt(share * (1 - share) / examinees));
            for (std::size_t item = 0; item < truth.pCorrect.front().size(); ++item) {
                const double p = truth.pCorrect[static_cast<std::size_t>(g - 1)][item];
                const ItemGroupEstimate& estimate = pool.at(item, g);
                EXPECT_NEAR(estimate.estimate, p, 4.5 * std::sqrt(p * (1 - p) / estimate.answers))
                    << "class " << g << ", item " << item;
            }
        }
        EXPECT_GT(calibration->fits.front().entropy, 0.95);
    }
}

TEST(LatentClasses, BestOfStartsAgreesAcrossSeeds) {
    const ObservedAnswers data = simulate(separatedClasses({0.3, 0.3, 0.4}, 25), 400, 0.1, 3);
    std::vector<double> best;
    for (std::uint64_t seed : {1u, 17u, 20261208u, 987654321u}) {
        const auto calibration = calibratePool(data, latentOptions(3, 3, 10, seed));
        ASSERT_TRUE(calibration.ok()) << calibration.failure().message;
        best.push_back(calibration->fits.front().logLikelihood);
        EXPECT_GE(calibration->fits.front().startsAtBest, 2);
    }
    for (double value : best) EXPECT_NEAR(value, best.front(), 1e-6 * std::fabs(best.front()));
}

TEST(LatentClasses, BicChoosesTheTrueClassCount) {
    TrueClasses oneClass{{1.0}, {std::vector<double>(30, 0.6)}};
    struct Case {
        TrueClasses truth;
        std::int32_t chosen;
        bool baselineWins;
    };
    const std::vector<Case> cases = {
        {separatedClasses({0.5, 0.5}, 30), 2, false},
        {separatedClasses({0.3, 0.4, 0.3}, 30), 3, false},
        {oneClass, 2, true},  // no groups at all: the pool is still of two classes, with a warning
    };
    for (const Case& c : cases) {
        const auto calibration = calibratePool(simulate(c.truth, 800, 0.2, 21), latentOptions(1, 4, 5, 1));
        ASSERT_TRUE(calibration.ok()) << calibration.failure().message;
        ASSERT_EQ(calibration->fits.size(), 4u);
        EXPECT_EQ(calibration->fits[calibration->chosenFit].classes, c.chosen);
        EXPECT_EQ(calibration->pool.groupCount, c.chosen);
        bool warned = false;
        for (const std::string& warning : calibration->warnings)
            warned |= warning.find("single class") != std::string::npos;
        EXPECT_EQ(warned, c.baselineWins);
    }
}

TEST(LatentClasses, RefusesClassCountsTheDataCannotCarry) {
    const ObservedAnswers ten = simulate(separatedClasses({0.5, 0.5}, 10), 30, 0.0, 1);
    ObservedAnswers sparse = simulate(separatedClasses({0.5, 0.5}, 2), 4, 0.0, 1);
    sparse.answers[0] = sparse.answers[3] = Answer::NotAdministered;  // six answers left
    struct Case {
        const ObservedAnswers* data;
        std::int32_t low, high;
        std::string says;
    };
    const std::vector<Case> cases = {
        {&ten, 1, 1, "at least 2"},
        {&ten, 2, 11, "one digit"},
        {&ten, 4, 3, "is empty"},
        {&sparse, 5, 5, "only 4 answered any item (they allow at most 2)"},
        {&sparse, 3, 3, "cannot identify 3"},
    };
    for (const Case& c : cases) {
        const auto calibration = calibratePool(*c.data, latentOptions(c.low, c.high, 2, 1));
        ASSERT_FALSE(calibration.ok()) << c.says;
        EXPECT_EQ(calibration.failure().kind, FailureKind::Usage);
        EXPECT_NE(calibration.failure().message.find(c.says), std::string::npos) << calibration.failure().message;
    }
}

TEST(LatentClasses, WarnsAboutFitsToReadTwice) {
    ObservedAnswers data = simulate(separatedClasses({0.5, 0.5}, 12), 200, 0.1, 9);
    for (std::size_t examinee = 0; examinee < data.examineeCount(); ++examinee) {
        data.answers[examinee * data.itemCount()] = Answer::Right;                // everyone right
        data.answers[examinee * data.itemCount() + 1] = Answer::NotAdministered;  // nobody asked
    }
    data.addExaminee("silent", 0, "test line 201");
    const ObservedAnswers fewStrong = simulate(separatedClasses({0.985, 0.015}, 12), 200, 0.0, 4);
    struct Case {
        const ObservedAnswers* data;
        CalibrationOptions options;
        std::string says;
    };
    CalibrationOptions cut = latentOptions(2, 2, 3, 1);
    cut.maxIterations = 2;
    const std::vector<Case> cases = {
        {&data, cut, "did not converge within 2 iterations"},
        {&data, latentOptions(2, 2, 3, 1), "lie on 0 or 1"},
        {&data, latentOptions(2, 2, 3, 1), "item I2: nobody answered it"},
        {&fewStrong, latentOptions(2, 2, 3, 1), "class 2 has almost no members"},
    };
    for (const Case& c : cases) {
        const auto calibration = calibratePool(*c.data, c.options);
        ASSERT_TRUE(calibration.ok()) << calibration.failure().message;
        std::string all;
        for (const std::string& warning : calibration->warnings) all += warning + '\n';
        EXPECT_NE(all.find(c.says), std::string::npos) << all;
    }
    const auto calibration = calibratePool(data, latentOptions(2, 2, 3, 1));
    ASSERT_TRUE(calibration.ok());
    const CalibratedPool& pool = calibration->pool;
    for (std::int32_t g = 1; g <= 2; ++g) {
        EXPECT_TRUE(pool.at(0, g).flags & flagBoundary);
        EXPECT_LT(pool.at(0, g).estimate, 1.0);
        EXPECT_TRUE(pool.at(1, g).flags & flagNoAnswers);
        EXPECT_DOUBLE_EQ(pool.at(1, g).estimate, 0.5);
    }
    double examinees = 0;
    for (double size : pool.groupSizes) examinees += size;
    EXPECT_NEAR(examinees, 201, 1e-6);  // the silent examinee counts, shared as the classes are
}

}  // namespace
}  // namespace quillon
