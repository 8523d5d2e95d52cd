// Sympson–Hetter parameters: the pool file that carries them, and the search that finds them.
#include "quillon/exposure_calibration/exposure_calibration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"

namespace {

using quillon::testing::RecordingHost;
using quillon::testing::TempFolder;

quillon::RunSettings twoGroups() {
    quillon::RunSettings settings;
    settings.groupCount = 2;
    settings.poolFile = "pool.csv";
    return settings;
}

TEST(PoolWithExposureParameters, AddsOrReplacesTheColumnAndReadsBackExactly) {
    const std::vector<double> ks = {1.0, 0.1, 1.0 / 3.0, 2.5e-7};
    struct Case {
        std::string name;
        std::string pool;
        bool dropItems;
        std::string expected;
    };
    const Case cases[] = {
        {"plain CR LF",
         "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,500,500\r\nP_Grp, , , ,.5,.5\r\nA,1,,0,.3,.6\r\nB,1,,0,.4,.7\r\n"
         "C,2,,0,.2,.8\r\nD,2,,0,.5,.9\r\n",
         false,
         "Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K\r\nN,,,,500,500\r\nP_Grp, , , ,.5,.5\r\nA,1,,0,.3,.6,1\r\n"
         "B,1,,0,.4,.7,0.1\r\nC,2,,0,.2,.8,0.3333333333333333\r\nD,2,,0,.5,.9,2.5e-07\r\n"},
        // A row wider than the header, a short one, mixed line ends and no end on the last line.
        {"ragged",
         "Item_ID,Collection,Freq,dropQQ,1,2\nN\r\nP_Grp,,,,.5,.5\rA,1,,0,.3,.6,note,\"x,y\"\nB,1,,0,.4,.7\r\n"
         "C,2,,0,.2\nD,2,,0,.5,.9",
         false,
         "Item_ID,Collection,Freq,dropQQ,1,2,,,Exposure_K\nN\r\nP_Grp,,,,.5,.5\rA,1,,0,.3,.6,note,\"x,y\",1\n"
         "B,1,,0,.4,.7,,,0.1\r\nC,2,,0,.2,,,,0.3333333333333333\nD,2,,0,.5,.9,,,2.5e-07"},
        // The column there already (not last), with a dropped row that keeps its value.
        {"existing column",
         "Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K,Comment\r\nN\r\nP_Grp,,,,.5,.5,,\r\nA,1,,0,.3,.6, .5 ,a\r\n"
         "X,1,,1,.3,.6,.25,dropped\r\nB,1,,0,.4,.7,1,b\r\nC,2,,0,.2,.8,.9,c\r\nD,2,,0,.5,.9,.7,\r\n",
         true,
         "Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K,Comment\r\nN\r\nP_Grp,,,,.5,.5,,\r\nA,1,,0,.3,.6, 1,a\r\n"
         "X,1,,1,.3,.6,.25,dropped\r\nB,1,,0,.4,.7,0.1,b\r\nC,2,,0,.2,.8,0.3333333333333333,c\r\n"
         "D,2,,0,.5,.9,2.5e-07,\r\n"},
        // A dropped row gets 1 in a new column, and what follows the end-of-file mark stays.
        {"dropped row, new column",
         "Item_ID,Collection,Freq,dropQQ,1,2\r\nN\r\nP_Grp,,,,.5,.5\r\nA,1,,0,.3,.6\r\nX,1,,1,.3,.6\r\nB,1,,0,.4,.7\r\n"
         "C,2,,0,.2,.8\r\nD,2,,0,.5,.9\r\n\x1a junk",
         true,
         "Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K\r\nN\r\nP_Grp,,,,.5,.5\r\nA,1,,0,.3,.6,1\r\nX,1,,1,.3,.6,1\r\n"
         "B,1,,0,.4,.7,0.1\r\nC,2,,0,.2,.8,0.3333333333333333\r\nD,2,,0,.5,.9,2.5e-07\r\n\x1a junk"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        quillon::RunSettings settings = twoGroups();
        settings.dropItems = c.dropItems;
        const quillon::Outcome<std::string> written = quillon::poolWithExposureParameters(c.pool, settings, ks);
        ASSERT_TRUE(written) << written.failure().message;
        EXPECT_EQ(*written, c.expected);
        const quillon::ItemPool pool = quillon::parsePool(*written, settings, "pool.csv");
        ASSERT_EQ(pool.exposureParameter.size(), ks.size());
        for (std::size_t i = 0; i < ks.size(); ++i) EXPECT_EQ(pool.exposureParameter[i], ks[i]) << i;
    }
}

TEST(PoolWithExposureParameters, Refuses) {
    const std::string pool =
        "Item_ID,Collection,Freq,dropQQ,1,2\r\nN\r\nP_Grp,,,,.5,.5\r\nA,1,,0,.3,.6\r\nB,1,,0,.4,.7\r\n";
    struct Case {
        std::string pool;
        std::vector<double> ks;
        quillon::FailureKind kind;
        std::string message;
    };
    const Case cases[] = {
        {pool, {1.0}, quillon::FailureKind::Usage, "1 exposure parameters for a pool of 2 items"},
        {pool, {1.0, NAN}, quillon::FailureKind::Usage, "is not a number from 0 to 1"},
        {pool, {1.0, 1.5}, quillon::FailureKind::Usage, "is not a number from 0 to 1"},
        // An unclosed quote would swallow the new cell: the pool would no longer load.
        {"Item_ID,Collection,Freq,dropQQ,1,2\r\nN\r\nP_Grp,,,,.5,.5\r\nA,1,,0,.3,.6,\"open\r\nB,1,,0,.4,.7\r\n",
         {1.0, 1.0},
         quillon::FailureKind::Input,
         "line 4 cannot take an Exposure_K cell"},
        {"Item_ID\r\n", {}, quillon::FailureKind::Input, "has no items"},
    };
    for (const Case& c : cases) {
        const quillon::Outcome<std::string> written = quillon::poolWithExposureParameters(c.pool, twoGroups(), c.ks);
        ASSERT_FALSE(written) << c.message;
        EXPECT_EQ(written.failure().kind, c.kind) << written.failure().message;
        EXPECT_NE(written.failure().message.find(c.message), std::string::npos) << written.failure().message;
    }
}

// A generated pool and its responses on disk, with the settings of a run over them.
struct GeneratedRun {
    TempFolder folder;
    quillon::RunSettings settings;

    explicit GeneratedRun(std::uint64_t seed) {
        quillon::SampleOptions sample;
        sample.items = 120;
        sample.examinees = 1500;
        sample.seed = seed;
        EXPECT_TRUE(quillon::writeSampleFiles(sample, quillon::generateSampleFiles(sample), folder.file("")));
        settings.groupCount = 2;
        settings.maxTestLength = 15;
        settings.randomizationFactor = 3;
        settings.maxExposure = 0.25;
        settings.poolFile = folder.file(std::string(quillon::samplePoolName));
        settings.responseFile = folder.file(std::string(quillon::sampleResponseName));
        settings.saveExposure = false;
    }

    // The highest exposure rate of a run under `control` with the pool `poolFile` and `seed`.
    double maxRate(quillon::ExposureControl control, const std::string& poolFile, std::uint32_t seed) {
        quillon::RunSettings run = settings;
        run.exposureControl = control;
        run.poolFile = poolFile;
        run.resultsFile = folder.file("results.csv");
        quillon::RandomGenerator random(seed);
        RecordingHost host;
        const quillon::RunSummary summary = quillon::runSimulation(run, random, host);
        EXPECT_TRUE(summary.completed) << (host.messages.empty() ? "" : host.messages.front());
        const auto& counts = summary.statistics.exposureCount;
        const std::int64_t most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
        return static_cast<double>(most) / static_cast<double>(summary.testsStarted);
    }
};

// The parameters found hold a fresh run, with other draws than the calibration's, to the bound:
// what a calibrated pool is for.
TEST(CalibrateExposure, TheCalibratedPoolKeepsEveryRateAtTheBound) {
    for (const std::uint64_t dataSeed : {11u, 12u}) {
        SCOPED_TRACE(dataSeed);
        GeneratedRun generated(dataSeed);
        const double bound = generated.settings.maxExposure;
        // A rate held at R is binomial over the run's tests: four of its standard deviations leave
        // room for chance alone, not for a parameter that misses.
        const double tolerance = 4.0 * std::sqrt(bound * (1.0 - bound) / 1500.0);
        ASSERT_GT(generated.maxRate(quillon::ExposureControl::None, generated.settings.poolFile, 5), bound + tolerance)
            << "the pool needs no control";

        quillon::ExposureCalibrationOptions options;
        options.toleranceFromTests = true;
        options.threadCount = 2;
        std::vector<std::int32_t> told;
        options.stepDone = [&told](const quillon::ExposureCalibrationStep& step) { told.push_back(step.iteration); };
        RecordingHost host;
        const quillon::Outcome<quillon::ExposureCalibration> found =
            quillon::calibrateExposure(generated.settings, options, host);
        ASSERT_TRUE(found) << found.failure().message;
        EXPECT_TRUE(found->converged);
        EXPECT_LE(found->finalMaxExposureRate, bound + found->tolerance);
        EXPECT_EQ(found->tests, 1500);
        EXPECT_EQ(told.size(), found->steps.size());
        EXPECT_GT(found->steps.size(), 1u);
        // The search stops at the first simulation within the bound.
        for (std::size_t s = 0; s + 1 < found->steps.size(); ++s)
            EXPECT_GT(found->steps[s].maxExposureRate, bound + found->tolerance) << s;
        EXPECT_GT(found->itemsAtBound, 0);
        EXPECT_TRUE(host.done.empty()) << "a simulation's Done message is not the calibration's";
        for (const double k : found->parameters) {
            EXPECT_GT(k, 0.0);
            EXPECT_LE(k, 1.0);
        }

        const quillon::Outcome<std::string> pool = quillon::poolWithExposureParameters(
            TempFolder::read(generated.settings.poolFile), generated.settings, found->parameters);
        ASSERT_TRUE(pool) << pool.failure().message;
        const std::string calibrated = generated.folder.write("calibrated.csv", *pool);
        EXPECT_LE(generated.maxRate(quillon::ExposureControl::SympsonHetter, calibrated, 99), bound + tolerance);
    }
}

TEST(CalibrateExposure, RefusesWhatCannotBeCalibrated) {
    GeneratedRun generated(11);
    struct Case {
        std::string name;
        std::function<void(quillon::RunSettings&, quillon::ExposureCalibrationOptions&, RecordingHost&)> change;
        quillon::FailureKind kind;
        std::string message;
    };
    const Case cases[] = {
        {"no iteration", [](auto&, auto& o, auto&) { o.maxIterations = 0; }, quillon::FailureKind::Usage,
         "at least 1 iteration"},
        {"negative tolerance", [](auto&, auto& o, auto&) { o.tolerance = -0.01; }, quillon::FailureKind::Usage,
         "tolerance"},
        {"bound", [](auto& s, auto&, auto&) { s.maxExposure = 0.0; }, quillon::FailureKind::Usage,
         "Maximum exposure rate"},
        {"no data", [](auto& s, auto&, auto&) { s.responseFile = "missing.txt"; }, quillon::FailureKind::Input,
         "MISSING.TXT is not available"},
        {"cancelled", [](auto&, auto&, auto& h) { h.cancelAtCheck = 3; }, quillon::FailureKind::Cancelled, "cancelled"},
    };
    for (const Case& c : cases) {
        quillon::RunSettings settings = generated.settings;
        quillon::ExposureCalibrationOptions options;
        RecordingHost host;
        c.change(settings, options, host);
        const quillon::Outcome<quillon::ExposureCalibration> found =
            quillon::calibrateExposure(settings, options, host);
        ASSERT_FALSE(found) << c.name;
        EXPECT_EQ(found.failure().kind, c.kind) << c.name;
        EXPECT_NE(found.failure().message.find(c.message), std::string::npos) << found.failure().message;
    }
}

}  // namespace
