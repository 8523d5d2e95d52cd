#include "quillon/engine/simulation.h"

#include <gtest/gtest.h>

#include "failure_text.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/sample_data.h"
#include "recording_host.h"
#include "same_text.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::sameText;
using testing::StreamFeed;
using testing::TempFolder;

const std::string header =
    "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
    ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";

// Eleven identifier characters, the group digit, a blank, the answers.
std::string line(int groupDigit, const std::string& answers) {
    return "EXAMINEE001" + std::to_string(groupDigit) + " " + answers + "\r\n";
}

std::string lines(int count, const std::string& answers) {
    std::string text;
    for (int e = 0; e < count; ++e) text += line(e % 2, answers);
    return text;
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
        // A factor equal to the test length would put every item into collection 1; 0 still
        // takes the best item.
        settings.randomizationFactor = 0;
    }
    RunSummary run(int threads = 1) { return runSimulation(settings, random, host, RunOptions{threads}); }
    std::string results() const { return TempFolder::read(settings.resultsFile); }
    std::string exposure() const { return TempFolder::read(settings.exposureFile); }
};

// Collection 0 never enters the deck, so every draw gives 0, and MaxDiscr with factor 1 takes
// the items in a fixed order: A (1 / ln(8/3) = 1.02) before B (1 / ln 1.5 = 2.47).
const std::string twoItems =
    "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,100,100\r\nP_Grp, , , ,.5,.5\r\n"
    "A,0,,0,.8,.3\r\nB,0,,0,.6,.4\r\n";

TEST(SimulationGolden, SmallRunsCheckedByHand) {
    struct Case {
        const char* what;
        std::string pool, responses;
        std::function<void(RunSettings&)> change;
        std::string results, exposureItems, done;
    };
    const std::vector<Case> cases = {
        // Pass answers 11: (.7273, .2727) then (.8, .2), Fail each time, false negatives.
        // Fail answers 00: (.2222, .7778) then (.16, .84), Pass each time, false positives.
        {"two examinees", twoItems, line(1, "11") + line(0, "00"), [](RunSettings& s) { s.maxTestLength = 2; },
         "1,.0000,.5000,.5000,.7525,,.000,.0000,.0000,.0000,,.0000,.5000,.5000,.7525\r\n"
         "2,.0000,.5000,.5000,.8200,,.000,.0000,.0000,.0000,,.0000,.5000,.5000,.8200\r\n",
         "A,0,2, ,.8,.3\r\nB,0,2, ,.6,.4\r\n", "Done\r\n\r\n100% processed\r\n2 Items\r\n1 Tests/person"},
        // A blank and a missing answer score wrong: A right, B wrong gives (.64, .36) for both.
        {"blank and short answers", twoItems, line(1, "1") + line(1, "1 "), [](RunSettings& s) { s.maxTestLength = 2; },
         "1,.0000,.0000,1.0000,.7273,,.000,.0000,.0000,.0000,,.0000,.0000,1.0000,.7273\r\n"
         "2,.0000,.0000,1.0000,.6400,,.000,.0000,.0000,.0000,,.0000,.0000,1.0000,.6400\r\n",
         "A,0,2, ,.8,.3\r\nB,0,2, ,.6,.4\r\n", "Done\r\n\r\n100% processed\r\n2 Items\r\n1 Tests/person"},
        // Priors (.25, .75). Test 1: A right gives (.75, .25), Fail, a false negative. Test 2
        // cannot repeat A; B has equal probabilities (+infinity), so C: wrong gives (.1111, .8889).
        {"priors, two tests", "h\r\ncal\r\nP_Grp,,,,.25,.75\r\nA,0,,,.9,.1\r\nB,0,,,.5,.5\r\nC,0,,,.7,.2\r\n",
         line(1, "1 0"),
         [](RunSettings& s) {
             s.maxTestLength = 1;
             s.testsPerPerson = 2;
             s.uniformPriors = false;
         },
         "1,.5000,.0000,.5000,.8194,,.000,.0000,.0000,.0000,,.5000,.0000,.5000,.8194\r\n",
         "A,0,1, ,.9,.1\r\nB,0,0,1,.5,.5\r\nC,0,1, ,.7,.2\r\n",
         "Done\r\n\r\n100% processed\r\n3 Items\r\n2 Tests/person"},
        // Three groups, bounds U = 1.5 and L = .6667: right gives (.01, .5, .99) / 1.5, group 3;
        // wrong gives the reverse, group 1. MAP: accurate, accurate, false positive (true 2).
        // No Bayes columns: each line ends with the comma of column 11.
        {"three groups", "h\r\ncal\r\nx\r\nA,0,,,.01,.5,.99\r\n", line(2, "1") + line(0, "0") + line(1, "1"),
         [](RunSettings& s) {
             s.groupCount = 3;
             s.maxTestLength = 1;
             s.sprtAlpha = s.sprtBeta = 0.4;
         },
         "1,.6667,.3333,.0000,.6600,,1.000,.6667,.3333,.0000,\r\n", "A,0,3, ,.01,.5,.99\r\n",
         "Done\r\n\r\n100% processed\r\n1 Items\r\n1 Tests/person"},
        // An empty response file runs no test: every share is 0/0 and the percentage is empty.
        // Lengths past the pool's two items keep no statistics but still have their rows.
        {"no examinees", twoItems, "", [](RunSettings& s) { s.maxTestLength = 4; },
         "1,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n"
         "2,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n"
         "3,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n"
         "4,.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n",
         "A,0,0,1,.8,.3\r\nB,0,0,1,.6,.4\r\n", "Done\r\n\r\n% processed\r\n2 Items\r\n1 Tests/person"},
    };
    for (const Case& c : cases) {
        Scenario s(c.pool, c.responses);
        s.settings.selectionMethod = SelectionMethod::MaxDiscr;
        c.change(s.settings);
        EXPECT_TRUE(s.run().completed) << c.what;
        EXPECT_TRUE(s.host.messages.empty()) << c.what;
        EXPECT_EQ(s.results(), header + c.results) << c.what;
        const std::string exposure = s.exposure();  // its item rows follow the "P_Grp" row
        EXPECT_EQ(exposure.substr(exposure.find("\r\n", exposure.find("P_Grp")) + 2), c.exposureItems) << c.what;
        EXPECT_EQ(s.host.done, std::vector<std::string>{c.done}) << c.what;
    }
}

TEST(Simulation, ProgressPointsAndTexts) {
    struct Case {
        int examinees, testsPerPerson;
        std::vector<std::int64_t> firstPoints;
        std::size_t points;
    };
    for (const Case& c : {Case{3000, 1, {30, 60, 90}, 100}, Case{1500, 2, {30, 60, 90}, 100},
                          Case{150, 1, {1, 2, 3}, 150}, Case{99, 1, {1, 2, 3}, 99}, Case{250, 1, {2, 4, 6}, 125}}) {
        Scenario s(twoItems, lines(c.examinees, "10"));
        s.settings.maxTestLength = 1;
        s.settings.testsPerPerson = c.testsPerPerson;
        ASSERT_TRUE(s.run().completed);
        // The replay's points, then "Saving results." and "Saving exposure info.".
        ASSERT_EQ(s.host.reports.size(), c.points + 2) << c.examinees;
        for (std::size_t i = 0; i < c.firstPoints.size(); ++i)
            EXPECT_EQ(s.host.reports[i].testsStarted, c.firstPoints[i]);
        EXPECT_EQ(s.host.checks, static_cast<int>(c.points));
        EXPECT_EQ(s.host.captions, std::vector<std::string>{"Simulation Progress"});
        if (c.examinees != 1500) continue;
        const auto& r = s.host.reports;
        EXPECT_EQ(r[0].text, "Processing test 30 of  3,000\r(1% done)");
        EXPECT_EQ(r[0].percent, 1);
        EXPECT_EQ(r[49].text, "Processing test 1,500 of  3,000\r(50% done)");
        EXPECT_EQ(r[100].text, "Processing test 3,000 of  3,000\r(100% done)  Saving results.");
        EXPECT_EQ(r[101].text, "Processing test 3,000 of  3,000\r(100% done)  Saving exposure info.");
    }
}

TEST(Simulation, CancelAndCollectionAboveEightEndTheReplayWithTablesWritten) {
    // A cancel at the fourth test: that test never starts, three are counted and written.
    for (int threads : {1, 2}) {
        Scenario cancel(twoItems, lines(10, "10"));
        cancel.settings.maxTestLength = 2;
        cancel.host.cancelAtCheck = 4;
        const RunSummary summary = cancel.run(threads);
        EXPECT_TRUE(summary.completed && summary.cancelled);
        EXPECT_EQ(summary.testsStarted, 3);
        EXPECT_EQ(cancel.host.done.at(0), "Done\r\n\r\n30% processed\r\n2 Items\r\n1 Tests/person");
        EXPECT_NE(cancel.exposure().find("A,0,3, ,"), std::string::npos);
        RandomGenerator expected;  // after the three tests that ran: two draws per position
        expected.jump(3 * 2 * 2);
        EXPECT_EQ(cancel.random.state(), expected.state()) << threads;
    }

    // Six items of collection 9 put 9 in the deck: the message, the display shut, and the next
    // progress point ends the run as a cancel does.
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 0; i < 6; ++i) pool += "N" + std::to_string(i) + ",9,,,.8,.3\r\n";
    Scenario icol(pool, lines(3, "1"));
    icol.settings.maxTestLength = 1;
    EXPECT_EQ(icol.run().testsStarted, 1);
    EXPECT_EQ(icol.host.messages, std::vector<std::string>{"icol error  1"});
    EXPECT_GE(icol.host.shutdowns, 1);
    EXPECT_EQ(icol.host.done.at(0), "Done\r\n\r\n33% processed\r\n6 Items\r\n1 Tests/person");
}

TEST(Simulation, FailuresShowTheirMessageAndWriteNothing) {
    struct Case {
        std::function<void(Scenario&)> change;
        std::function<std::string(const Scenario&)> message;
        bool aboutInputs;  // shown through showInputMessage, and the run says so
    };
    const std::vector<Case> cases = {
        {[](Scenario& s) { s.settings.groupCount = 1; },
         [](const Scenario&) { return "N Categories must be at least 2."; }, true},
        {[](Scenario& s) { s.settings.testsPerPerson = 6; },
         [](const Scenario&) { return "N tests per person must be from 1 to 5."; }, true},
        {[](Scenario& s) { s.settings.maxTestLength = 0; },
         [](const Scenario&) { return "Maximum test length must be at least 1."; }, true},
        {[](Scenario& s) { s.settings.randomizationFactor = -1; },
         [](const Scenario&) { return "Randomization factor must be at least 0."; }, true},
        {[](Scenario& s) { s.settings.poolFile = s.folder.file("none.csv"); },
         [](const Scenario& s) { return "Pool file " + upperName(s.settings.poolFile) + " is not available."; }, true},
        {[](Scenario& s) { s.settings.groupCount = 3; },
         [](const Scenario& s) {
             return "Pool file " + upperName(s.settings.poolFile) +
                    " has 2 probability columns (from column E on), fewer than N Categories (3).";
         },
         true},
        {[](Scenario& s) { s.settings.resultsFile = s.settings.poolFile; },
         [](const Scenario& s) {
             return "Output file " + upperName(s.settings.poolFile) +
                    " is also the pool file; choose another name for the results.";
         },
         true},
        {[](Scenario& s) { s.settings.responseFile = s.folder.file("none.txt"); },
         [](const Scenario& s) { return "Data file " + upperName(s.settings.responseFile) + " is not available."; },
         true},
        {[](Scenario& s) { s.settings.responseFile = "/dev/zero"; },
         [](const Scenario&) { return "Data file /DEV/ZERO has a problem: line 1 is longer than 64 MB."; }, true},
        {[](Scenario& s) { s.settings.maxTestLength = 3; },
         [](const Scenario&) { return "Not enought items, content area 0"; }, false},
        // A length no pool can fill needs no room for its statistics before the same message.
        {[](Scenario& s) { s.settings.maxTestLength = 1000000000; },
         [](const Scenario&) { return "Not enought items, content area 0"; }, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Scenario s(twoItems, line(1, "11"));
        s.settings.maxTestLength = 2;
        s.folder.write("results.csv", "earlier results\r\n");
        cases[i].change(s);
        const RunSummary summary = s.run();
        EXPECT_FALSE(summary.completed) << i;
        EXPECT_EQ(s.host.messages, std::vector<std::string>{cases[i].message(s)}) << i;
        EXPECT_EQ(s.host.inputMessages.size(), cases[i].aboutInputs ? 1u : 0u) << i;
        EXPECT_EQ(summary.inputsRejected, cases[i].aboutInputs) << i;
        EXPECT_TRUE(s.host.done.empty()) << i;
        EXPECT_EQ(TempFolder::read(s.folder.file("results.csv")), "earlier results\r\n") << i;
        EXPECT_EQ(TempFolder::read(s.folder.file("pool.csv")), twoItems) << i;
        EXPECT_FALSE(std::filesystem::exists(s.settings.exposureFile)) << i;
    }
}

TEST(Simulation, AResponseStreamThatCannotBeReadTwiceIsReadOnce) {
    // Enough examinees that the stream spans several blocks and the copy is really used.
    const std::string responses = lines(3000, "1010");
    Scenario file(twoItems, responses);
    file.settings.maxTestLength = 2;
    ASSERT_TRUE(file.run(2).completed);
    for (const auto kind : {StreamFeed::Kind::Fifo, StreamFeed::Kind::Pipe}) {
        Scenario s(twoItems, "");
        s.settings.maxTestLength = 2;
        StreamFeed feed(kind, s.folder.file("fifo"), responses);
        s.settings.responseFile = feed.path;
        ASSERT_TRUE(s.run(2).completed);
        EXPECT_EQ(s.host.done, file.host.done);
        EXPECT_TRUE(sameText(s.results(), file.results()));
        EXPECT_TRUE(sameText(s.exposure(), file.exposure()));
        EXPECT_EQ(s.random.state(), file.random.state());
    }
}

TEST(Simulation, UnwritableExposureFileIsReportedInTheDoneMessage) {
    Scenario s(twoItems, line(1, "11"));
    s.settings.maxTestLength = 1;
    const std::string missing = s.folder.file("no-such-folder/expos.csv");
    s.settings.exposureFile = "  " + missing + " ";  // used without its blanks
    ASSERT_TRUE(s.run().completed);
    EXPECT_EQ(s.host.messages, std::vector<std::string>{"Exposure file " + upperName(missing) + " is not available."});
    EXPECT_EQ(s.host.done.at(0),
              "Done\r\n\r\n100% processed\r\n2 Items\r\n1 Tests/person\r\n\r\n"
              "Exposure File was unavailable and not written");
    EXPECT_NE(s.results().find("\r\n1,"), std::string::npos);
}

TEST(Simulation, ExposureTableReloadsAsAPoolKeepingExactlyTheUsedItems) {
    std::string pool = "h\r\ncal\r\nP_Grp,,,,.5,.5\r\n";
    for (int i = 1; i <= 40; ++i) pool += "I" + std::to_string(i) + "," + std::to_string(1 + i % 2) + ",,0,.3,.7\r\n";
    Scenario s(pool, lines(3, std::string(40, '1')));
    s.settings.maxTestLength = 5;
    s.settings.randomizationFactor = 4;
    ASSERT_TRUE(s.run().completed);
    RunSettings reload;
    reload.dropItems = true;
    std::vector<std::string> used;
    const std::vector<std::string> rows = splitLines(s.exposure());
    for (std::size_t row = 3; row < rows.size(); ++row) {
        const auto fields = csvFields(rows[row]);
        if (fields.at(2) != "0") used.push_back(fields[0]);
    }
    EXPECT_EQ(parsePool(s.exposure(), reload, "expos").itemId, used);
    EXPECT_LT(used.size(), 40u);
}

TEST(Simulation, ConsecutiveRunsContinueTheRandomSequence) {
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 1; i <= 30; ++i) pool += "I" + std::to_string(i) + ",1,,0,." + std::to_string(10 + i) + ",.8\r\n";
    Scenario s(pool, line(1, "1010101010") + line(0, "0101"));
    s.settings.maxTestLength = 4;
    s.settings.randomizationFactor = 5;
    RandomGenerator expected;
    std::string first;
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(s.run().completed);
        if (run == 0) first = s.results();
        expected.jump(2 * 4 * 2);
        EXPECT_EQ(s.random.state(), expected.state());
    }
    s.random = RandomGenerator();  // a fresh start replays the first run exactly
    ASSERT_TRUE(s.run().completed);
    EXPECT_EQ(s.results(), first);
}

TEST(SimulationThreads, TheFirstFailingExamineeInFileOrderDecides) {
    // The second test of every examinee finds the five-item collection used up.
    std::string pool = "h\r\ncal\r\nx\r\n";
    for (int i = 1; i <= 5; ++i) pool += "I" + std::to_string(i) + ",0,,0,.3,.7\r\n";
    for (int threads : {1, 2, 4}) {
        Scenario s(pool, lines(200, "10101"));
        s.settings.maxTestLength = 3;
        s.settings.testsPerPerson = 2;
        const RunSummary summary = s.run(threads);
        EXPECT_FALSE(summary.completed);
        EXPECT_EQ(s.host.messages, std::vector<std::string>{"Not enought items, content area 0"});
        EXPECT_EQ(summary.testsStarted, 2) << threads;
        RandomGenerator expected;  // test 1: 3 positions of two draws; test 2: 2 more, then one
        expected.jump(2 * 3 + 2 * 2 + 1);
        EXPECT_EQ(s.random.state(), expected.state()) << threads;
    }
}

// Whole runs compared byte for byte with tables kept from the first, plainest version of the
// engine, with 1, 2 and 4 threads: no speed-up and no thread count may move a character.
TEST(SimulationGolden, WholeRunsMatchTheirKeptTablesWithAnyThreadCount) {
    struct Case {
        const char* name;
        bool threeGroups;
        std::function<void(RunSettings&)> change;
    };
    const std::vector<Case> cases = {
        {"sample", false, [](RunSettings&) {}},
        {"maxdiscr", false,
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MaxDiscr;
             s.randomizationFactor = 3;
         }},
        {"mincost", false,
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MinCost;
             s.randomizationFactor = 2;
             s.blockEnemies = true;
         }},
        {"script", false,
         [](RunSettings& s) {
             s.followScript = true;
             s.testsPerPerson = 2;
             s.uniformPriors = false;
         }},
        {"three_shannon", true,
         [](RunSettings& s) {
             s.randomizationFactor = 2;
             s.maxTestLength = 40;
         }},
        {"three_maxdiscr", true,
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MaxDiscr;
             s.maxTestLength = 40;
             s.blockEnemies = true;
         }},
        {"three_mincost", true,
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MinCost;
             s.maxTestLength = 30;
             s.followScript = true;
         }},
    };
    const std::string source = QUILLON_SOURCE_DIR;
    TempFolder generated;
    SampleOptions three;
    three.items = 200;
    three.groups = 3;
    three.examinees = 300;
    three.scriptLength = 40;
    three.seed = 3;
    ASSERT_EQ(failureText(writeSampleFiles(three, generateSampleFiles(three), generated.file("data"))), "");
    for (const Case& c : cases) {
        for (int threads : {1, 2, 4}) {
            TempFolder out;
            RunSettings settings;
            setDefaultPaths(settings, c.threeGroups ? generated.file("") : source, '/');
            if (c.threeGroups) {
                settings.groupCount = 3;  // a run with other than two groups never reads the costs
                settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
            }
            settings.resultsFile = out.file("results.csv");
            settings.exposureFile = out.file("expos.csv");
            c.change(settings);
            RecordingHost host;
            RandomGenerator random;
            ASSERT_TRUE(runSimulation(settings, random, host, RunOptions{threads}).completed) << c.name;
            const std::string golden = source + "/tests/golden/" + c.name;
            EXPECT_TRUE(sameText(TempFolder::read(settings.resultsFile), TempFolder::read(golden + "_results.csv")))
                << c.name << " with " << threads << " threads";
            EXPECT_TRUE(sameText(TempFolder::read(settings.exposureFile), TempFolder::read(golden + "_expos.csv")))
                << c.name << " with " << threads << " threads";
        }
    }
}

}  // namespace
}  // namespace quillon
