#include "quillon/engine/exposure_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>

#include "collected_diagnostics.h"
#include "failure_text.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::TempFolder;

// Generated files and the settings that run them, with the run's tables and counts.
struct Fixture {
    TempFolder folder;
    RunSettings settings;

    explicit Fixture(const SampleOptions& sample) {
        EXPECT_EQ(failureText(writeSampleFiles(sample, generateSampleFiles(sample), folder.file("data"))), "");
        setDefaultPaths(settings, folder.file(""), '/');
        settings.maxTestLength = 12;
    }

    // Rewrites the pool with an Exposure_K column, K of item i (1-based) from `k`.
    void setParameters(const std::function<std::string(int)>& k) const {
        std::istringstream in(TempFolder::read(settings.poolFile));
        std::string text;
        int row = 0;
        for (std::string line; std::getline(in, line); ++row) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            text += line + (row == 0 ? ",Exposure_K" : row < 3 ? "," : "," + k(row - 2)) + "\r\n";
        }
        folder.write("data/" + std::string(samplePoolName), text);
    }

    RunSummary run(const RunSettings& s, RecordingHost& host) const {
        RandomGenerator random;
        return runSimulation(s, random, host, RunOptions{2});
    }

    // The highest exposure rate of a run.
    double maxRate(const RunSettings& s) const {
        RecordingHost host;
        const RunSummary summary = run(s, host);
        EXPECT_TRUE(summary.completed) << (host.messages.empty() ? "" : host.messages.back());
        const auto most =
            std::max_element(summary.statistics.exposureCount.begin(), summary.statistics.exposureCount.end());
        return static_cast<double>(*most) / static_cast<double>(summary.testsStarted);
    }
};

SampleOptions sample(std::int32_t items, std::int32_t collections, std::int64_t examinees) {
    SampleOptions options;
    options.items = items;
    options.collections = collections;
    options.examinees = examinees;
    options.scriptLength = 12;
    options.seed = 5;
    return options;
}

// Where a control cannot bind it must leave every choice, and so every table, as without it.
TEST(ExposureControl, AControlThatCannotBindGivesTheUncontrolledTables) {
    struct Case {
        const char* name;
        std::function<void(Fixture&, RunSettings&)> change;
    };
    const std::vector<Case> cases = {
        {"every K 1, best of 3, enemies",
         [](Fixture& f, RunSettings& s) {
             f.setParameters([](int) { return "1"; });
             s.exposureControl = ExposureControl::SympsonHetter;
             s.randomizationFactor = 3;
             s.blockEnemies = true;
         }},
        // Every item is set aside, the whole collection in turn, and the best comes back.
        {"every K 0, the best item",
         [](Fixture& f, RunSettings& s) {
             f.setParameters([](int) { return "0"; });
             s.exposureControl = ExposureControl::SympsonHetter;
             s.testsPerPerson = 2;
         }},
        {"eligibility at R = 1, best of 2",
         [](Fixture&, RunSettings& s) {
             s.exposureControl = ExposureControl::Eligibility;
             s.maxExposure = 1.0;
             s.randomizationFactor = 2;
         }},
    };
    for (const Case& c : cases) {
        Fixture f(sample(60, 3, 150));
        RunSettings controlled = f.settings;
        c.change(f, controlled);
        RecordingHost plainHost, controlledHost;
        RunSettings plain = controlled;
        plain.exposureControl = ExposureControl::None;
        plain.resultsFile = f.folder.file("plain.csv");
        const RunSummary a = f.run(plain, plainHost);
        const RunSummary b = f.run(controlled, controlledHost);
        ASSERT_TRUE(a.completed && b.completed) << c.name;
        EXPECT_EQ(TempFolder::read(plain.resultsFile), TempFolder::read(controlled.resultsFile)) << c.name;
        EXPECT_EQ(a.statistics.exposureCount, b.statistics.exposureCount) << c.name;
    }
}

// Counts each item's administrations in the tests of the examinees from `first` on.
class LaterExposure : public ReplayListener {
public:
    LaterExposure(std::int64_t first, std::int32_t items) : first_(first), counts_(static_cast<std::size_t>(items)) {}
    void testTaken(const ExamineeLine& examinee, std::int32_t, const TestRecord& test) override {
        if (examinee.number < first_) return;
        ++tests_;
        for (const PositionOutcome& p : test.positions) ++counts_[static_cast<std::size_t>(p.item - 1)];
    }
    double maxRate() const {
        return static_cast<double>(*std::max_element(counts_.begin(), counts_.end())) / static_cast<double>(tests_);
    }

private:
    std::int64_t first_;
    std::int64_t tests_ = 0;
    std::vector<std::int64_t> counts_;
};

TEST(ExposureControl, SympsonHetterAndEligibilityHoldTheHighestRateDown) {
    // 12 of 300 items per test: a mean rate of .04, so R = .2 can be met. The eligibility method
    // starts knowing nothing and overshoots while the items it has made ineligible hand their
    // tests to others, so it is judged over the last 2000 of 4000 examinees, against R + .15:
    // far below the uncontrolled rate, and above what it shows here (.33).
    Fixture f(sample(300, 1, 4000));
    RunSettings plain = f.settings;
    const double uncontrolled = f.maxRate(plain);
    EXPECT_GT(uncontrolled, .9);

    RunSettings eligibility = f.settings;
    eligibility.exposureControl = ExposureControl::Eligibility;
    eligibility.maxExposure = .2;
    LaterExposure later(2001, 300);
    RecordingHost host;
    RandomGenerator random;
    ASSERT_TRUE(runSimulation(eligibility, random, host, RunOptions{2, &later}).completed);
    EXPECT_LE(later.maxRate(), .35);

    // K = .1 everywhere: every item is kept at a tenth of its selections or comes back last.
    f.setParameters([](int) { return ".1"; });
    RunSettings hetter = f.settings;
    hetter.exposureControl = ExposureControl::SympsonHetter;
    EXPECT_LT(f.maxRate(hetter), uncontrolled / 2);
}

TEST(ExposureControl, ProgressiveSelectionDrawsTheFirstItemUniformly) {
    // At position 1 the score weighs nothing, so each of 40 items is first in about 1 test of 40.
    Fixture f(sample(40, 1, 4000));
    RunSettings s = f.settings;
    s.maxTestLength = 1;
    s.exposureControl = ExposureControl::Progressive;
    RecordingHost host;
    const RunSummary summary = f.run(s, host);
    ASSERT_TRUE(summary.completed);
    const double expected = 4000.0 / 40.0;
    const double sd = std::sqrt(expected * (1.0 - 1.0 / 40.0));
    for (std::int64_t count : summary.statistics.exposureCount)
        EXPECT_NEAR(static_cast<double>(count), expected, 5 * sd);
}

TEST(ExposureControl, TheParameterColumnIsReadCheckedAndWrittenBack) {
    const std::string head = "Item_ID,Collection,Freq,dropQQ,1,2,Exposure_K\r\nN,,,,5,5,\r\nP_Grp, , , ,.5,.5,\r\n";
    RunSettings settings;
    const ItemPool pool = parsePool(head + "A,1,,0,.2,.8,.25\r\nB,1,,0,.3,.7,1\r\n", settings, "p.csv");
    EXPECT_EQ(pool.exposureParameter, (std::vector<double>{.25, 1.0}));
    EXPECT_EQ(pool.groupCount, 2);
    // Each refusal is also told where it is, for the checker (a row short of the column at its end).
    struct Bad {
        const char* row;
        const char* message;
        std::int64_t column;
    };
    for (const Bad& bad : {Bad{"A,1,,0,.2,.8,1.5", "line 4: Exposure_K \"1.5\" is not a number from 0 to 1.", 14},
                           Bad{"A,1,,0,.2,.8,", "line 4: Exposure_K \"\" is not a number from 0 to 1.", 14},
                           Bad{"A,1,,0,.2,.8,x", "line 4: Exposure_K \"x\" is not a number from 0 to 1.", 14},
                           Bad{"A,1,,0,.2", "line 4: Exposure_K \"\" is not a number from 0 to 1.", 10}}) {
        testing::CollectedDiagnostics diagnostics;
        try {
            (void)parsePool(splitLines(head + bad.row + "\r\n"), settings, "p.csv", &diagnostics);
            ADD_FAILURE() << bad.row;
        } catch (const FailureError& error) {
            EXPECT_EQ(error.failure().message, "Pool file P.CSV " + std::string(bad.message));
        }
        ASSERT_EQ(diagnostics.list.size(), 1u) << bad.row;
        EXPECT_TRUE(diagnostics.list[0].refusesLoad);
        EXPECT_EQ(diagnostics.list[0].line, 4);
        EXPECT_EQ(diagnostics.list[0].column, bad.column) << bad.row;
    }
    RunStatistics statistics;
    statistics.exposureCount = {3, 0};
    const std::string table = exposureTableText(statistics, pool);
    EXPECT_NE(table.find(",Exposure_K\r\n"), std::string::npos);
    EXPECT_NE(table.find("A,1,3, ,.2,.8,0.25\r\n"), std::string::npos);
    EXPECT_EQ(parsePool(table, settings, "e.csv").exposureParameter, pool.exposureParameter);
}

TEST(ExposureControl, EligibilityProbabilitiesFollowTheCounts) {
    EXPECT_EQ(eligibilityProbabilities({10, 10, 10, 0}, {0, 1, 8, 0}, .25),
              (std::vector<double>{1.0, 1.0, .25 * 10 / 8, 1.0}));
}

TEST(ExposureControl, SympsonHetterWithoutParametersIsRefused) {
    Fixture f(sample(30, 1, 5));
    RunSettings s = f.settings;
    s.exposureControl = ExposureControl::SympsonHetter;
    RecordingHost host;
    const RunSummary summary = f.run(s, host);
    EXPECT_TRUE(summary.inputsRejected);
    ASSERT_EQ(host.inputMessages.size(), 1u);
    EXPECT_NE(host.inputMessages[0].find("has no Exposure_K column"), std::string::npos);
}

}  // namespace
}  // namespace quillon
