#include "quillon/simulation.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "quillon/input_files.h"
#include "quillon/output_tables.h"
#include "quillon/sample_data.h"
#include "recording_host.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::TempFolder;

const std::string resultsHeader =
    "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
    ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";

// A response line: eleven identifier characters, the group digit, a blank, the answers.
std::string responseLine(int groupDigit, const std::string& answers) {
    return "EXAMINEE001" + std::to_string(groupDigit) + " " + answers + "\r\n";
}

struct Scenario {
    TempFolder folder;
    RunSettings settings;
    RecordingHost host;
    RandomGenerator random;

    Scenario(const std::string& pool, const std::string& responses) {
        settings.poolFile = folder.write("pool.csv", pool);
        settings.responseFile = folder.write("data.txt", responses);
        settings.resultsFile = folder.file("results.csv");
        settings.exposureFile = folder.file("expos.csv");
        settings.scriptFile = folder.file("script.csv");
        settings.enemiesFile = folder.file("enemies.csv");
        // A factor equal to the test length would put every item into collection 1; 0 still
        // takes the best item.
        settings.randomizationFactor = 0;
    }
    RunSummary run() { return runSimulation(settings, random, host); }
    std::string results() const { return TempFolder::read(settings.resultsFile); }
    std::string exposure() const { return TempFolder::read(settings.exposureFile); }
};

// Items of collection 0 stay out of the deck, so every draw yields collection 0 and MaxDiscr
// with factor 1 picks the items in a fixed order, whatever the generator says.
const std::string twoItemPool =
    "Item_ID,Collection,Freq,dropQQ,1,2\r\n"
    "N,,,,100,100\r\n"
    "P_Grp, , , ,.5,.5\r\n"
    "A,0,,0,.8,.3\r\n"
    "B,0,,0,.6,.4\r\n";

TEST(SimulationGolden, TwoExamineesTwoItemsCheckedByHand) {
    // Examinee 1 (Pass) answers both right; examinee 2 (Fail) answers both wrong. Item A
    // (1 / ln(8/3) = 1.02) comes before item B (1 / ln 1.5 = 2.47). Posteriors by hand:
    // after A right (.7273, .2727), then (.8, .2); after A wrong (.2222, .7778), then (.16, .84).
    Scenario s(twoItemPool, responseLine(1, "11") + responseLine(0, "00"));
    s.settings.maxTestLength = 2;
    s.settings.selectionMethod = "MaxDiscr";
    const RunSummary summary = s.run();
    EXPECT_TRUE(summary.completed);
    EXPECT_TRUE(s.host.messages.empty());
    EXPECT_EQ(s.results(), resultsHeader +
                               "1,.0000,.5000,.5000,.7525,,.000,.0000,.0000,.0000,,.0000,.5000,.5000,.7525\r\n"
                               "2,.0000,.5000,.5000,.8200,,.000,.0000,.0000,.0000,,.0000,.5000,.5000,.8200\r\n");
    EXPECT_EQ(s.exposure(),
              "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,100,100\r\nP_Grp, , , ,.5,.5\r\n"
              "A,0,2, ,.8,.3\r\nB,0,2, ,.6,.4\r\n");
    ASSERT_EQ(s.host.done.size(), 1u);
    EXPECT_EQ(s.host.done[0], "Done\r\n\r\n100% processed\r\n2 Items\r\n1 Tests/person");
}

TEST(SimulationGolden, PriorsAndTwoTestsPerPersonCheckedByHand) {
    // Priors (.25, .75); A (1 / ln 9) before C (1 / ln 3.5); B never (equal probabilities).
    // Test 1: A right gives (.75, .25): Fail, a false negative. Test 2 cannot repeat A:
    // C wrong gives (.075, .6) / .675 = (.1111, .8889): Pass, accurate.
    Scenario s("h\r\ncal\r\nP_Grp,,,,.25,.75\r\nA,0,,,.9,.1\r\nB,0,,,.5,.5\r\nC,0,,,.7,.2\r\n",
               responseLine(1, "1 0"));
    s.settings.maxTestLength = 1;
    s.settings.testsPerPerson = 2;
    s.settings.uniformPriors = false;
    s.settings.selectionMethod = "MaxDiscr";
    EXPECT_TRUE(s.run().completed);
    EXPECT_EQ(s.results(),
              resultsHeader + "1,.5000,.0000,.5000,.8194,,.000,.0000,.0000,.0000,,.5000,.0000,.5000,.8194\r\n");
    EXPECT_EQ(s.exposure(),
              "Item_ID,Collection,Freq,dropQQ,1,2\r\ncal\r\nP_Grp, , , ,.25,.75\r\n"
              "A,0,1, ,.9,.1\r\nB,0,0,1,.5,.5\r\nC,0,1, ,.7,.2\r\n");
    EXPECT_EQ(s.host.done.at(0), "Done\r\n\r\n100% processed\r\n3 Items\r\n2 Tests/person");
}

TEST(SimulationGolden, ThreeGroupsDecideBySprtAndLeaveTheBayesColumnsOut) {
    // One item that separates the groups sharply: after a right answer the posterior is
    // (.01, .5, .99) / 1.5, whose top ratio .99 / .5 is below 19, and the middle group is not
    // decided either; after a wrong answer (.99, .5, .01) / 1.5 decides nothing as well. With
    // the bounds widened (alpha = beta = .4: U = 1.5, L = .6667) the right answer decides group 3
    // and the wrong answer group 1.
    Scenario s("h\r\ncal\r\nx\r\nA,0,,,.01,.5,.99\r\n", responseLine(2, "1") + responseLine(0, "0") + responseLine(1, "1"));
    s.settings.groupCount = 3;
    s.settings.maxTestLength = 1;
    s.settings.sprtAlpha = 0.4;
    s.settings.sprtBeta = 0.4;
    s.settings.selectionMethod = "MaxDiscr";
    EXPECT_TRUE(s.run().completed);
    // MAP: group 3 (accurate), group 1 (accurate), group 3 for a true 2 (false positive);
    // mean probability (.66 + .66 + .66) / 3.
    EXPECT_EQ(s.results(), resultsHeader + "1,.6667,.3333,.0000,.6600,,1.000,.6667,.3333,.0000,\r\n");
    EXPECT_EQ(TempFolder::read(s.settings.exposureFile).substr(0, 38), "Item_ID,Collection,Freq,dropQQ,1,2,3\r\n");
}

TEST(Simulation, ProgressPointsFollowTheExpectedTestCount) {
    struct Case {
        int examinees;
        int testsPerPerson;
        std::vector<std::int64_t> firstPoints;
        std::size_t pointCount;
    };
    const std::vector<Case> cases = {
        {3000, 1, {30, 60, 90}, 100},
        {1500, 2, {30, 60, 90}, 100},
        {150, 1, {1, 2, 3}, 150},
        {99, 1, {1, 2, 3}, 99},
        {250, 1, {2, 4, 6}, 125},
    };
    for (const Case& c : cases) {
        std::string responses;
        for (int e = 0; e < c.examinees; ++e) responses += responseLine(e % 2, "10");
        Scenario s("h\r\ncal\r\nx\r\nA,0,,,.8,.3\r\nB,0,,,.6,.4\r\n", responses);
        s.settings.maxTestLength = 1;
        s.settings.testsPerPerson = c.testsPerPerson;
        s.settings.saveExposure = false;
        ASSERT_TRUE(s.run().completed);
        // The replay's points, then the closing "Saving results." report.
        ASSERT_EQ(s.host.reports.size(), c.pointCount + 1) << c.examinees;
        for (std::size_t i = 0; i < c.firstPoints.size(); ++i)
            EXPECT_EQ(s.host.reports[i].testsStarted, c.firstPoints[i]) << c.examinees;
        EXPECT_EQ(s.host.captions, std::vector<std::string>{"Simulation Progress"});
        EXPECT_EQ(s.host.checks, static_cast<int>(c.pointCount));
    }
}

TEST(Simulation, ProgressAndClosingTexts) {
    std::string responses;
    for (int e = 0; e < 1500; ++e) responses += responseLine(1, "1");
    Scenario s("h\r\ncal\r\nx\r\nA,0,,,.8,.3\r\nB,0,,,.6,.4\r\n", responses);
    s.settings.maxTestLength = 1;
    s.settings.testsPerPerson = 2;
    ASSERT_TRUE(s.run().completed);
    const auto& r = s.host.reports;
    ASSERT_EQ(r.size(), 102u);
    EXPECT_EQ(r[0].text, "Processing test 30 of  3,000\r(1% done)");
    EXPECT_EQ(r[0].percent, 1);
    EXPECT_EQ(r[49].text, "Processing test 1,500 of  3,000\r(50% done)");
    EXPECT_EQ(r[100].text, "Processing test 3,000 of  3,000\r(100% done)  Saving results.");
    EXPECT_EQ(r[101].text, "Processing test 3,000 of  3,000\r(100% done)  Saving exposure info.");
    EXPECT_EQ(r[101].percent, 100);
}

TEST(Simulation, EmptyResponseFileWritesEveryLengthAsZero) {
    Scenario s(twoItemPool, "");
    s.settings.maxTestLength = 2;
    s.settings.groupCount = 3;
    ASSERT_TRUE(s.run().completed);
    EXPECT_EQ(s.results(), resultsHeader + "1,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,\r\n"
                                           "2,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,\r\n");
    EXPECT_EQ(s.host.done.at(0), "Done\r\n\r\n% processed\r\n2 Items\r\n1 Tests/person");
}

TEST(Simulation, BlanksAndShortAnswerStringsScoreWrongButCountAsUse) {
    // Both examinees are Pass; "1" then nothing: item B's answer is missing for the first, blank
    // for the second, so both end with A right and B wrong.
    Scenario s(twoItemPool, responseLine(1, "1") + responseLine(1, "1 "));
    s.settings.maxTestLength = 2;
    s.settings.selectionMethod = "MaxDiscr";
    ASSERT_TRUE(s.run().completed);
    // After A right (.7273, .2727), B wrong: (.7273 * .4, .2727 * .6) -> (.64, .36).
    EXPECT_EQ(s.results(), resultsHeader +
                               "1,.0000,.0000,1.0000,.7273,,.000,.0000,.0000,.0000,,.0000,.0000,1.0000,.7273\r\n"
                               "2,.0000,.0000,1.0000,.6400,,.000,.0000,.0000,.0000,,.0000,.0000,1.0000,.6400\r\n");
    EXPECT_NE(s.exposure().find("B,0,2, ,"), std::string::npos);
}

TEST(Simulation, CancelEndsTheReplayAndWritesWhatRan) {
    std::string responses;
    for (int e = 0; e < 10; ++e) responses += responseLine(e % 2, "10");
    Scenario s(twoItemPool, responses);
    s.settings.maxTestLength = 2;
    s.host.cancelAtCheck = 4;  // the fourth test is never started
    const RunSummary summary = s.run();
    EXPECT_TRUE(summary.completed);
    EXPECT_TRUE(summary.cancelled);
    EXPECT_EQ(summary.testsStarted, 3);
    EXPECT_EQ(s.host.done.at(0), "Done\r\n\r\n30% processed\r\n2 Items\r\n1 Tests/person");
    EXPECT_NE(s.exposure().find("A,0,3, ,"), std::string::npos);
    // The generator stands after the three tests that ran: two draws per position.
    RandomGenerator expected;
    expected.jump(3 * 2 * 2);
    EXPECT_EQ(s.random.state(), expected.state());
}

TEST(Simulation, CollectionAboveEightIsReportedAndEndsTheRunAtTheNextPoint) {
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 0; i < 6; ++i) pool += "N" + std::to_string(i) + ",9,,,.8,.3\r\n";
    Scenario s(pool, responseLine(0, "1") + responseLine(1, "1") + responseLine(1, "0"));
    s.settings.maxTestLength = 1;
    const RunSummary summary = s.run();
    EXPECT_TRUE(summary.completed);
    EXPECT_EQ(summary.testsStarted, 1);
    EXPECT_EQ(s.host.messages, std::vector<std::string>{"icol error  1"});
    EXPECT_GE(s.host.shutdowns, 1);
    EXPECT_EQ(s.host.done.at(0), "Done\r\n\r\n33% processed\r\n6 Items\r\n1 Tests/person");
}

TEST(Simulation, FailuresShowTheirMessageAndWriteNothing) {
    struct Case {
        const char* what;
        std::function<void(Scenario&)> change;
        std::string message;  // with NAME for the upper-cased file name
        std::string nameOf;   // which file NAME stands for
    };
    const std::vector<Case> cases = {
        {"groups", [](Scenario& s) { s.settings.groupCount = 1; }, "N Categories must be at least 2.", ""},
        {"tests", [](Scenario& s) { s.settings.testsPerPerson = 6; }, "N tests per person must be from 1 to 5.", ""},
        {"length", [](Scenario& s) { s.settings.maxTestLength = 0; }, "Maximum test length must be at least 1.", ""},
        {"pool", [](Scenario& s) { s.settings.poolFile = s.folder.file("missing.csv"); }, "Pool file NAME is not available.", "pool"},
        {"data", [](Scenario& s) { s.settings.responseFile = s.folder.file("missing.txt"); }, "Data file NAME is not available.", "data"},
        {"items", [](Scenario& s) { s.settings.maxTestLength = 3; }, "Not enought items, content area 0", ""},
    };
    for (const Case& c : cases) {
        Scenario s(twoItemPool, responseLine(1, "11"));
        s.settings.maxTestLength = 2;
        s.folder.write("results.csv", "earlier results\r\n");
        c.change(s);
        const RunSummary summary = s.run();
        EXPECT_FALSE(summary.completed) << c.what;
        std::string expected = c.message;
        if (!c.nameOf.empty()) {
            const std::string& path = c.nameOf == "pool" ? s.settings.poolFile : s.settings.responseFile;
            expected.replace(expected.find("NAME"), 4, upperName(path));
        }
        EXPECT_EQ(s.host.messages, std::vector<std::string>{expected}) << c.what;
        EXPECT_TRUE(s.host.done.empty()) << c.what;
        EXPECT_EQ(s.results(), "earlier results\r\n") << c.what;
        EXPECT_FALSE(std::filesystem::exists(s.settings.exposureFile)) << c.what;
    }
}

TEST(Simulation, UnwritableExposureFileIsReportedInTheDoneMessage) {
    Scenario s(twoItemPool, responseLine(1, "11"));
    s.settings.maxTestLength = 1;
    s.settings.exposureFile = "  " + s.folder.file("no-such-folder/expos.csv") + " ";
    ASSERT_TRUE(s.run().completed);
    EXPECT_EQ(s.host.messages,
              std::vector<std::string>{"Exposure file " + upperName(s.folder.file("no-such-folder/expos.csv")) +
                                       " is not available."});
    EXPECT_EQ(s.host.done.at(0), "Done\r\n\r\n100% processed\r\n2 Items\r\n1 Tests/person\r\n\r\n"
                                 "Exposure File was unavailable and not written");
    EXPECT_NE(s.results().find("\r\n1,"), std::string::npos);
}

TEST(Simulation, ExposureTableReloadsAsAPoolKeepingExactlyTheUsedItems) {
    std::string pool = "h\r\ncal\r\nP_Grp,,,,.5,.5\r\n";
    for (int i = 1; i <= 40; ++i) pool += "I" + std::to_string(i) + "," + std::to_string(1 + i % 2) + ",,0,.3,.7\r\n";
    std::string responses;
    for (int e = 0; e < 3; ++e) responses += responseLine(e % 2, std::string(40, '1'));
    Scenario s(pool, responses);
    s.settings.maxTestLength = 5;
    s.settings.randomizationFactor = 4;
    ASSERT_TRUE(s.run().completed);
    RunSettings reload;
    reload.dropItems = true;
    const ItemPool kept = parsePool(s.exposure(), reload, "expos");
    const ItemPool all = parsePool(s.exposure(), RunSettings{}, "expos");
    std::vector<std::string> used;
    const std::vector<std::string> lines = splitLines(s.exposure());
    for (std::size_t row = 3; row < lines.size(); ++row) {
        const auto fields = csvFields(lines[row]);
        if (fields.at(2) != "0") used.push_back(fields[0]);
    }
    EXPECT_EQ(kept.itemId, used);
    EXPECT_EQ(all.itemCount, 40);
    EXPECT_LT(kept.itemCount, 40);
}

TEST(Simulation, ConsecutiveRunsContinueTheRandomSequence) {
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 1; i <= 30; ++i) pool += "I" + std::to_string(i) + ",1,,0,." + std::to_string(10 + i) + ",.8\r\n";
    Scenario s(pool, responseLine(1, "1010101010") + responseLine(0, "0101"));
    s.settings.maxTestLength = 4;
    s.settings.randomizationFactor = 5;
    ASSERT_TRUE(s.run().completed);
    const std::string first = s.results();
    RandomGenerator expected;
    expected.jump(2 * 4 * 2);
    EXPECT_EQ(s.random.state(), expected.state());
    ASSERT_TRUE(s.run().completed);
    expected.jump(2 * 4 * 2);
    EXPECT_EQ(s.random.state(), expected.state());
    // A fresh generator replays the first run exactly.
    s.random = RandomGenerator();
    ASSERT_TRUE(s.run().completed);
    EXPECT_EQ(s.results(), first);
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

struct ThreadCase {
    const char* name;
    SampleOptions sample;
    std::function<void(RunSettings&)> change;
};

TEST(SimulationThreads, EveryThreadCountWritesTheSameTables) {
    const auto small = [](std::int32_t groups, std::int64_t examinees) {
        SampleOptions o;
        o.items = 160;
        o.groups = groups;
        o.examinees = examinees;
        o.scriptLength = 20;
        return o;
    };
    const std::vector<ThreadCase> cases = {
        {"shannon", small(2, 300), [](RunSettings& s) { s.randomizationFactor = 3; }},
        {"maxdiscr", small(2, 200), [](RunSettings& s) { s.selectionMethod = "MaxDiscr"; s.randomizationFactor = 2; }},
        {"mincost", small(2, 200), [](RunSettings& s) { s.selectionMethod = "MinCost"; }},
        {"script", small(2, 150), [](RunSettings& s) { s.followScript = true; }},
        {"enemies", small(2, 150), [](RunSettings& s) { s.blockEnemies = true; s.randomizationFactor = 4; }},
        {"tests", small(2, 120), [](RunSettings& s) { s.testsPerPerson = 3; s.uniformPriors = false; }},
        {"groups", small(3, 150), [](RunSettings& s) { s.groupCount = 3; s.randomizationFactor = 2; }},
    };
    for (const ThreadCase& c : cases) {
        TempFolder folder;
        const SampleFiles files = generateSampleFiles(c.sample);
        ASSERT_EQ(writeSampleFiles(c.sample, files, folder.file("in")), "");
        std::string firstResults, firstExposure;
        std::uint32_t firstState = 0;
        for (int threads : {1, 2, 4}) {
            RunSettings settings;
            setDefaultPaths(settings, folder.file(""), '/');
            settings.poolFile = folder.file("in/samplepassfail_pool.csv");
            settings.scriptFile = folder.file("in/samplepassfail_script.csv");
            settings.enemiesFile = folder.file("in/samplepassfail_enemies.csv");
            settings.responseFile = folder.file("in/samplepassfail.txt");
            settings.resultsFile = folder.file("results.csv");
            settings.exposureFile = folder.file("expos.csv");
            settings.maxTestLength = 20;
            c.change(settings);
            RecordingHost host;
            RandomGenerator random;
            ASSERT_TRUE(runSimulation(settings, random, host, RunOptions{threads}).completed) << c.name;
            const std::string results = TempFolder::read(settings.resultsFile);
            const std::string exposure = TempFolder::read(settings.exposureFile);
            if (threads == 1) {
                firstResults = results;
                firstExposure = exposure;
                firstState = random.state();
                EXPECT_EQ(std::count(results.begin(), results.end(), '\n'), 21) << c.name;
                continue;
            }
            EXPECT_EQ(results, firstResults) << c.name << " with " << threads << " threads";
            EXPECT_EQ(exposure, firstExposure) << c.name << " with " << threads << " threads";
            EXPECT_EQ(random.state(), firstState) << c.name << " with " << threads << " threads";
        }
    }
}

TEST(SimulationThreads, TheFirstFailingExamineeInFileOrderDecides) {
    // Examinees with two tests exhaust a five-item collection in their second test, so the
    // first examinee already fails; every thread count must report it the same way.
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 1; i <= 5; ++i) pool += "I" + std::to_string(i) + ",0,,0,.3,.7\r\n";
    std::string responses;
    for (int e = 0; e < 200; ++e) responses += "EXAMINEE001" + std::to_string(e % 2) + " 10101\r\n";
    for (int threads : {1, 2, 4}) {
        TempFolder folder;
        RunSettings settings;
        settings.poolFile = folder.write("pool.csv", pool);
        settings.responseFile = folder.write("data.txt", responses);
        settings.resultsFile = folder.file("results.csv");
        settings.exposureFile = folder.file("expos.csv");
        settings.maxTestLength = 3;
        settings.testsPerPerson = 2;
        RecordingHost host;
        RandomGenerator random;
        const RunSummary summary = runSimulation(settings, random, host, RunOptions{threads});
        EXPECT_FALSE(summary.completed);
        EXPECT_EQ(host.messages, std::vector<std::string>{"Not enought items, content area 0"});
        EXPECT_EQ(summary.testsStarted, 2) << threads;
        // Two draws for each of the first test's three positions, then the failing position's
        // collection draw in the second test: 2 + 2 + 2 + 2 + 2 + 1.
        RandomGenerator expected;
        expected.jump(2 * 3 + 2 * 2 + 1);
        EXPECT_EQ(random.state(), expected.state()) << threads;
    }
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// Whole runs on the shipped sample data and on a generated three-group set, compared byte for
// byte with tables kept from the first, plainest version of the engine: every later speed-up
// must leave them unchanged.
TEST(SimulationGolden, WholeRunsMatchTheirKeptTables) {
    struct Case {
        const char* name;
        bool threeGroups;
        std::function<void(RunSettings&)> change;
    };
    const std::vector<Case> cases = {
        {"maxdiscr", false, [](RunSettings& s) { s.selectionMethod = "MaxDiscr"; s.randomizationFactor = 3; }},
        {"mincost", false, [](RunSettings& s) { s.selectionMethod = "MinCost"; s.randomizationFactor = 2; s.blockEnemies = true; }},
        {"script", false, [](RunSettings& s) { s.followScript = true; s.testsPerPerson = 2; s.uniformPriors = false; }},
        {"three_shannon", true, [](RunSettings& s) { s.randomizationFactor = 2; s.maxTestLength = 40; }},
        {"three_maxdiscr", true, [](RunSettings& s) { s.selectionMethod = "MaxDiscr"; s.maxTestLength = 40; s.blockEnemies = true; }},
        {"three_mincost", true, [](RunSettings& s) { s.selectionMethod = "MinCost"; s.maxTestLength = 30; s.followScript = true; }},
    };
    const std::string source = QUILLON_SOURCE_DIR;
    TempFolder generated;
    SampleOptions three;
    three.items = 200;
    three.groups = 3;
    three.examinees = 300;
    three.scriptLength = 40;
    three.seed = 3;
    ASSERT_EQ(writeSampleFiles(three, generateSampleFiles(three), generated.file("")), "");
    for (const Case& c : cases) {
        TempFolder out;
        RunSettings settings;
        setDefaultPaths(settings, c.threeGroups ? generated.file("") : source, '/');
        if (c.threeGroups) {
            // The generated files sit in the folder itself, not in its data folder.
            settings.poolFile = generated.file("samplepassfail_pool.csv");
            settings.scriptFile = generated.file("samplepassfail_script.csv");
            settings.enemiesFile = generated.file("samplepassfail_enemies.csv");
            settings.responseFile = generated.file("samplepassfail.txt");
            settings.groupCount = 3;
            // A run with other than two groups never reads the cost grid.
            settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
        }
        settings.resultsFile = out.file("results.csv");
        settings.exposureFile = out.file("expos.csv");
        c.change(settings);
        RecordingHost host;
        RandomGenerator random;
        ASSERT_TRUE(runSimulation(settings, random, host, RunOptions{2}).completed) << c.name;
        const std::string golden = source + "/tests/golden/" + c.name;
        EXPECT_EQ(TempFolder::read(settings.resultsFile), TempFolder::read(golden + "_results.csv")) << c.name;
        EXPECT_EQ(TempFolder::read(settings.exposureFile), TempFolder::read(golden + "_expos.csv")) << c.name;
    }
}

}  // namespace
}  // namespace quillon
