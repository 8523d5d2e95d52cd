// Known-group calibration: the estimates recover the probabilities that made the answers, the
// pool file reads back as the very same numbers, and data that cannot give a pool are refused.
#include "quillon/calibration/calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "quillon/engine/input_files.h"

namespace {

using quillon::Answer;
using quillon::calibratePool;
using quillon::CalibrationOptions;
using quillon::ObservedAnswers;

double uniform(std::mt19937_64& random) { return static_cast<double>(random() >> 11) * 0x1p-53; }

// `perGroup` examinees in each of two groups answer every item with its true probability; a fifth
// of the answers are not administered.
ObservedAnswers simulatedPilot(const std::vector<double>& truth, std::size_t items, std::size_t perGroup,
                               std::uint64_t seed) {
    std::mt19937_64 random(seed);
    ObservedAnswers data;
    for (std::size_t i = 0; i < items; ++i) data.items.push_back({quillon::defaultItemId(i), 1});
    for (std::int32_t group = 1; group <= 2; ++group)
        for (std::size_t e = 0; e < perGroup; ++e) {
            data.addExaminee("E", group, "sim line " + std::to_string(data.examineeCount() + 1));
            Answer* row = data.answers.data() + (data.examineeCount() - 1) * items;
            for (std::size_t i = 0; i < items; ++i) {
                if (uniform(random) < 0.2) continue;
                row[i] = uniform(random) < truth[i * 2 + static_cast<std::size_t>(group - 1)] ? Answer::Right
                                                                                              : Answer::Wrong;
            }
        }
    return data;
}

// Each estimate (r + 1/2) / (n + 1) errs by e = (d + c) / (n + 1), d = r - np binomial about its mean
// and c = 1/2 - p; the moments of d give the expected bias and mean square error and how far the
// averages over all estimates may stray from them by chance.
TEST(KnownGroups, BiasAndRmseShrinkAsOneOverRootN) {
    const std::size_t items = 150;
    std::mt19937_64 random(7);
    std::vector<double> truth(items * 2);
    for (double& p : truth) p = 0.05 + 0.9 * uniform(random);
    double previousRmse = 1;
    for (const std::size_t perGroup : {100, 400, 1600, 6400}) {
        const auto calibration = calibratePool(simulatedPilot(truth, items, perGroup, perGroup), CalibrationOptions{});
        ASSERT_TRUE(calibration) << calibration.failure().message;
        double bias = 0, expectedBias = 0, biasVariance = 0, squares = 0, expectedSquares = 0, squaresVariance = 0;
        for (std::size_t i = 0; i < items; ++i)
            for (std::int32_t g = 1; g <= 2; ++g) {
                const double p = truth[i * 2 + static_cast<std::size_t>(g - 1)], q = 1 - p;
                const auto& estimate = calibration->pool.at(i, g);
                const double n = estimate.answers, scale = 1 / ((n + 1) * (n + 1)), c = 0.5 - p;
                const double var = n * p * q, mu3 = var * (q - p), mu4 = var * (1 + 3 * (n - 2) * p * q);
                const double error = estimate.estimate - p;
                bias += error;
                expectedBias += c / (n + 1);
                biasVariance += var * scale;
                squares += error * error;
                expectedSquares += (var + c * c) * scale;
                squaresVariance += (mu4 - var * var + 4 * c * mu3 + 4 * c * c * var) * scale * scale;
            }
        const double k = static_cast<double>(items * 2);
        EXPECT_NEAR(bias / k, expectedBias / k, 5 * std::sqrt(biasVariance) / k) << perGroup;
        EXPECT_NEAR(squares / k, expectedSquares / k, 5 * std::sqrt(squaresVariance) / k) << perGroup;
        // Four times the examinees halve the error.
        const double rmse = std::sqrt(squares / k);
        EXPECT_LT(rmse, previousRmse) << perGroup;
        previousRmse = rmse;
    }
}

TEST(KnownGroups, ThePoolFileReadsBackAsTheSameDoubles) {
    // Shares like 1/3 and 2/7 need all seventeen digits; the comma in an identifier needs quotes.
    const auto data = quillon::readObservedAnswers({{"p.txt",
                                                     "A          0 101\nB          0 0 1\nC          1 110\nD          "
                                                     "1 1 0\nE          2 110\nF          2 001"}},
                                                   {{"X,1", 3}, {"Y", 1}, {"Z", 20}});
    ASSERT_TRUE(data) << data.failure().message;
    CalibrationOptions options;
    options.priorA = 1.0 / 3;
    options.priorB = 0.7;
    options.minAnswers = 2;
    options.dropThin = true;
    const auto calibration = calibratePool(*data, options);
    ASSERT_TRUE(calibration) << calibration.failure().message;
    const quillon::CalibratedPool& pool = calibration->pool;
    ASSERT_EQ(pool.groupCount, 3);

    quillon::RunSettings settings;
    settings.groupCount = 3;
    settings.uniformPriors = false;
    settings.maxTestLength = 2;
    settings.randomizationFactor = 3;
    const quillon::ItemPool read = quillon::parsePool(quillon::calibratedPoolText(pool), settings, "pool.csv");
    ASSERT_EQ(read.itemCount, 3);
    EXPECT_EQ(read.itemId, (std::vector<std::string>{"X,1", "Y", "Z"}));
    EXPECT_EQ(read.itemCollection, (std::vector<std::int32_t>{3, 1, 20}));
    EXPECT_EQ(read.groupPrior, pool.groupShares);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::int32_t g = 1; g <= 3; ++g)
            EXPECT_EQ(read.itemRow(static_cast<std::int32_t>(i + 1))[g - 1], pool.at(i, g).estimate);

    // Item Y has only one answer from groups 1 and 2: thin, so dropped, and gone when the run drops items.
    EXPECT_EQ(pool.dropped, (std::vector<bool>{false, true, false}));
    settings.dropItems = true;
    EXPECT_EQ(quillon::parsePool(quillon::calibratedPoolText(pool), settings, "pool.csv").itemId,
              (std::vector<std::string>{"X,1", "Z"}));
    EXPECT_NE(quillon::calibrationTableText(pool).find(",1,0,thin;dropped\r\nY,1,2,"), std::string::npos)
        << quillon::calibrationTableText(pool);
}

TEST(KnownGroups, RefusesDataThatCannotGiveAPoolAndWarnsAboutThinItems) {
    struct Case {
        const char* text;
        CalibrationOptions options;
        quillon::FailureKind kind;
        const char* message;  // empty: calibrated, with this warning
        const char* warning;
    };
    CalibrationOptions twoGroups, flatPrior, dropping;
    twoGroups.groups = 2;
    flatPrior.priorB = 0;
    dropping.dropThin = true;
    using enum quillon::FailureKind;
    const Case cases[] = {
        {"A          0 1\nB          x 0", {}, Input, "p.txt line 2: the examinee has no group digit", ""},
        {"A          0 1\nB          2 0", twoGroups, Input, "p.txt line 2: the group digit 2 gives group 3", ""},
        {"A          1 1\nB          1 0",
         {},
         Input,
         "group 2: a known-group calibration needs at least two groups",
         ""},
        {"A          0 1\nB          1 0", flatPrior, Usage, "needs a and b above 0", ""},
        {"", {}, Input, "no examinee", ""},
        {"A          0 1\nB          1 0", dropping, Usage, "--drop-thin would leave a pool with no item", ""},
        {"A          0 1 \nB          1 0 ", {}, Input, "", "item I0002: nobody answered it"},
        {"A          0 1 \nB          1 01", {}, Input, "", "item I0002: nobody of group 1 answered it"},
        {"A          0 1\nB          1 0", {}, Input, "", "item I0001 is thin: 1 answer from group 1, 1 answer from"},
    };
    for (const Case& c : cases) {
        const auto data = quillon::readObservedAnswers({{"p.txt", c.text}});
        ASSERT_TRUE(data) << data.failure().message;
        const auto calibration = calibratePool(*data, c.options);
        if (*c.message) {
            ASSERT_FALSE(calibration) << c.text;
            EXPECT_EQ(calibration.failure().kind, c.kind) << c.text;
            EXPECT_NE(calibration.failure().message.find(c.message), std::string::npos)
                << calibration.failure().message;
            continue;
        }
        ASSERT_TRUE(calibration) << calibration.failure().message;
        bool found = false;
        for (const std::string& warning : calibration->warnings) found = found || warning.starts_with(c.warning);
        EXPECT_TRUE(found) << c.text << " lacks the warning " << c.warning;
    }
}

}  // namespace
