// Whole runs started with "Go": the runner's tables, one random sequence across runs, failure
// messages, the window held still during a run, and Exit in the middle of one.
#include <gtest/gtest.h>

#include <cstdlib>

#include <wx/radiobut.h>

#include "quillon/input_files.h"
#include "quillon/simulation.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;
using testing::readFile;
using testing::RecordingWindow;
using testing::TempFolder;

bool runner(const std::string& arguments) {
    return std::system((std::string(QUILLON_SIM) + " " + arguments + " > /dev/null").c_str()) == 0;
}

class GoRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inputs = new TempFolder();
        ASSERT_TRUE(runner("generate --quiet --items 40 --collections 2 --examinees 120 --script-length 12 --out " +
                           inputs->path));
    }
    static void TearDownTestSuite() { delete inputs; }

    // A small two-test MinCost run with enemies blocked and a changed cost, into `out`.
    void configure(RecordingWindow& ui) const {
        ui.box(id::poolFile)->ChangeValue(inputs->file("samplepassfail_pool.csv"));
        ui.box(id::enemiesFile)->ChangeValue(inputs->file("samplepassfail_enemies.csv"));
        ui.box(id::responseFile)->ChangeValue(inputs->file("samplepassfail.txt"));
        ui.box(id::resultsFile)->ChangeValue(out.file("results.csv"));
        ui.box(id::exposureFile)->ChangeValue(out.file("expos.csv"));
        for (const auto& [box, text] : {std::pair{id::maxTestLength, "12"}, {id::testsPerPerson, "2"},
                                        {id::randomizationFactor, "3"}, {id::costPassFail, "2.5"}}) {
            ui.box(box)->ChangeValue(text);
        }
        ui.click(id::blockEnemies);
        dynamic_cast<wxRadioButton*>(ui.window->control(id::minCost))->SetValue(true);
    }

    static bool runFromWindow(RecordingWindow& ui) {
        ui.click(id::go);
        return pumpEvents([&] { return !ui.window->isRunning(); });
    }

    static inline TempFolder* inputs = nullptr;
    TempFolder out;
};

TEST_F(GoRun, WritesTheRunnersTablesSaysDoneAndHoldsTheWindowStillMeanwhile) {
    RecordingWindow ui;
    configure(ui);
    std::map<int, bool> before;
    for (const ControlRow& row : controlTable()) before[row.id] = ui.window->control(row.id)->IsThisEnabled();

    ui.click(id::go);
    ASSERT_TRUE(ui.window->isRunning());
    for (const ControlRow& row : controlTable()) {
        const bool input = row.kind != ControlKind::Label && row.kind != ControlKind::Frame;
        EXPECT_EQ(ui.window->control(row.id)->IsThisEnabled(), input ? row.id == id::exit : before[row.id]);
    }
    ui.window->startRun();  // a second "Go" inside the run starts nothing
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning(); }));
    for (const ControlRow& row : controlTable()) EXPECT_EQ(ui.window->control(row.id)->IsThisEnabled(), before[row.id]);

    ASSERT_TRUE(runner("--quiet --max-length 12 --tests-per-person 2 --randomization 3 --cost-pass-fail 2.5"
                       " --block-enemies --method MinCost --pool " + inputs->file("samplepassfail_pool.csv") +
                       " --enemies " + inputs->file("samplepassfail_enemies.csv") + " --data " +
                       inputs->file("samplepassfail.txt") + " --results " + out.file("runner_results.csv") +
                       " --exposure " + out.file("runner_expos.csv")));
    EXPECT_FALSE(readFile(out.file("results.csv")).empty());
    EXPECT_EQ(readFile(out.file("results.csv")), readFile(out.file("runner_results.csv")));
    EXPECT_EQ(readFile(out.file("expos.csv")), readFile(out.file("runner_expos.csv")));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n100% processed\r\n40 Items\r\n2 Tests/person"));
}

TEST_F(GoRun, ConsecutiveRunsContinueOneRandomSequence) {
    RecordingWindow ui;
    configure(ui);
    ASSERT_TRUE(runFromWindow(ui));
    ASSERT_TRUE(runFromWindow(ui));

    struct SilentHost : RunHost {
        void showMessage(const std::string&) override {}
        ProgressHandle progressInit(const std::string&) override { return 1; }
        void progressSet(ProgressHandle, const ProgressReport&) override {}
        bool progressIsCancelled(ProgressHandle) override { return false; }
        void progressShutdown(ProgressHandle) override {}
    } host;
    RunSettings settings = ui.window->settings();
    settings.resultsFile = out.file("engine_results.csv");
    RandomGenerator random;
    runSimulation(settings, random, host);
    const std::string firstRun = readFile(settings.resultsFile);
    runSimulation(settings, random, host);

    EXPECT_EQ(ui.window->random().state(), random.state());
    EXPECT_EQ(readFile(out.file("results.csv")), readFile(settings.resultsFile));
    EXPECT_NE(firstRun, readFile(settings.resultsFile));
}

TEST_F(GoRun, ALoadFailureIsShownAsItsMessage) {
    RecordingWindow ui;
    configure(ui);
    ui.box(id::poolFile)->ChangeValue(out.file("no_pool.csv"));
    ASSERT_TRUE(runFromWindow(ui));
    EXPECT_EQ(ui.messages, std::vector{"Pool file " + upperName(out.file("no_pool.csv")) + " is not available."});
}

TEST_F(GoRun, ExitDuringARunCancelsItWaitsAndThenCloses) {
    ASSERT_TRUE(runner("generate --quiet --examinees 4000 --out " + out.path));
    RecordingWindow ui;
    ui.box(id::poolFile)->ChangeValue(out.file("samplepassfail_pool.csv"));
    ui.box(id::responseFile)->ChangeValue(out.file("samplepassfail.txt"));
    ui.box(id::resultsFile)->ChangeValue(out.file("results.csv"));
    ui.box(id::exposureFile)->ChangeValue(out.file("expos.csv"));
    wxWeakRef<MainWindow> alive(ui.window);

    ui.click(id::go);
    ui.click(id::exit);
    EXPECT_TRUE(alive);  // not before the run has ended
    ASSERT_TRUE(pumpEvents([&] { return !alive; }));
    ui.window = nullptr;
    // The run stopped early and still wrote its tables and its Done message.
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n"));
    EXPECT_EQ(ui.messages[0].find("100% processed"), std::string::npos);
    EXPECT_FALSE(readFile(out.file("results.csv")).empty());
}

}  // namespace
}  // namespace quillon::ui
