// Whole runs started with "Go": the same tables as the runner, runs continuing the generator,
// failure messages, the window held still during a run, and Exit in the middle of one.
#include <gtest/gtest.h>

#include <cstdlib>

#include <wx/radiobut.h>

#include "progress_window.h"
#include "quillon/input_files.h"
#include "quillon/simulation.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpUntil;
using testing::readFile;
using testing::RecordingWindow;
using testing::TempFolder;

// Runs the command-line runner; true when it exits with 0.
bool runner(const std::string& arguments) {
    const std::string command = std::string(QUILLON_SIM) + " " + arguments + " > /dev/null";
    return std::system(command.c_str()) == 0;
}

class GoRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new TempFolder();
        ASSERT_TRUE(runner("generate --quiet --items 40 --collections 2 --examinees 120 --script-length 12 --out " +
                           folder_->path()));
    }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }

    static std::string input(const char* name) { return folder_->file(name); }

    // Points the window at the generated files and a small run of the given options.
    static void configure(RecordingWindow& ui, const std::string& results, const std::string& exposure) {
        ui.box(id::poolFile)->ChangeValue(input("samplepassfail_pool.csv"));
        ui.box(id::enemiesFile)->ChangeValue(input("samplepassfail_enemies.csv"));
        ui.box(id::scriptFile)->ChangeValue(input("samplepassfail_script.csv"));
        ui.box(id::responseFile)->ChangeValue(input("samplepassfail.txt"));
        ui.box(id::resultsFile)->ChangeValue(results);
        ui.box(id::exposureFile)->ChangeValue(exposure);
        ui.box(id::maxTestLength)->ChangeValue("12");
        ui.box(id::testsPerPerson)->ChangeValue("2");
        ui.box(id::randomizationFactor)->ChangeValue("3");
        ui.box(id::costPassFail)->ChangeValue("2.5");
        ui.clickCheckBox(id::blockEnemies);
        dynamic_cast<wxRadioButton*>(ui.window->control(id::minCost))->SetValue(true);
    }

    static bool runFromWindow(RecordingWindow& ui) {
        ui.clickButton(id::go);
        return pumpUntil([&] { return !ui.window->isRunning(); });
    }

    static TempFolder* folder_;
};

TempFolder* GoRun::folder_ = nullptr;

TEST_F(GoRun, WritesTheSameTablesAsTheRunnerAndSaysDone) {
    TempFolder out;
    RecordingWindow ui;
    configure(ui, out.file("window_results.csv"), out.file("window_expos.csv"));
    ASSERT_TRUE(runFromWindow(ui));

    ASSERT_TRUE(runner("--quiet --max-length 12 --tests-per-person 2 --randomization 3 --cost-pass-fail 2.5"
                       " --block-enemies --method MinCost --pool " + input("samplepassfail_pool.csv") +
                       " --enemies " + input("samplepassfail_enemies.csv") + " --data " +
                       input("samplepassfail.txt") + " --results " + out.file("runner_results.csv") +
                       " --exposure " + out.file("runner_expos.csv")));
    const std::string results = readFile(out.file("window_results.csv"));
    EXPECT_FALSE(results.empty());
    EXPECT_EQ(results, readFile(out.file("runner_results.csv")));
    EXPECT_EQ(readFile(out.file("window_expos.csv")), readFile(out.file("runner_expos.csv")));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n100% processed\r\n40 Items\r\n2 Tests/person"));
}

TEST_F(GoRun, TheWindowIsHeldStillDuringARunAndRestoredAfterIt) {
    TempFolder out;
    RecordingWindow ui;
    configure(ui, out.file("results.csv"), out.file("expos.csv"));
    std::map<int, bool> before;
    for (const ControlRow& row : controlTable()) before[row.id] = ui.window->control(row.id)->IsThisEnabled();

    ui.clickButton(id::go);
    ASSERT_TRUE(ui.window->isRunning());
    for (const ControlRow& row : controlTable()) {
        const bool input = row.kind != ControlKind::Label && row.kind != ControlKind::Frame;
        if (input && row.id != id::exit) {
            EXPECT_FALSE(ui.window->control(row.id)->IsThisEnabled()) << row.id;
        }
    }
    EXPECT_TRUE(ui.window->control(id::exit)->IsThisEnabled());
    // A second "Go" inside the run starts nothing.
    ui.window->startRun();

    ASSERT_TRUE(pumpUntil([&] { return !ui.window->isRunning(); }));
    for (const ControlRow& row : controlTable()) {
        EXPECT_EQ(ui.window->control(row.id)->IsThisEnabled(), before[row.id]) << row.id;
    }
    EXPECT_EQ(ui.messages.size(), 1u);
}

TEST_F(GoRun, ConsecutiveRunsContinueOneRandomSequence) {
    TempFolder out;
    RecordingWindow ui;
    configure(ui, out.file("results.csv"), out.file("expos.csv"));
    ASSERT_TRUE(runFromWindow(ui));
    ASSERT_TRUE(runFromWindow(ui));

    // The same two runs straight on the engine, with one generator from the start.
    class SilentHost : public RunHost {
    public:
        void showMessage(const std::string&) override {}
        ProgressHandle progressInit(const std::string&) override { return 1; }
        void progressSet(ProgressHandle, const ProgressReport&) override {}
        bool progressIsCancelled(ProgressHandle) override { return false; }
        void progressShutdown(ProgressHandle) override {}
    } host;
    RunSettings settings = ui.window->settings();
    settings.resultsFile = out.file("engine_results.csv");
    settings.exposureFile = out.file("engine_expos.csv");
    RandomGenerator random;
    runSimulation(settings, random, host);
    const std::string firstRun = readFile(out.file("engine_results.csv"));
    runSimulation(settings, random, host);

    EXPECT_EQ(ui.window->random().state(), random.state());
    EXPECT_NE(random.state(), RandomGenerator().state());
    EXPECT_EQ(readFile(out.file("results.csv")), readFile(out.file("engine_results.csv")));
    EXPECT_NE(firstRun, readFile(out.file("engine_results.csv")));
}

TEST_F(GoRun, ALoadFailureIsShownAndNothingIsLeftOpen) {
    TempFolder out;
    RecordingWindow ui;
    configure(ui, out.file("results.csv"), out.file("expos.csv"));
    const std::string missing = out.file("no_pool.csv");
    ui.box(id::poolFile)->ChangeValue(missing);
    ASSERT_TRUE(runFromWindow(ui));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"Pool file " + upperName(missing) + " is not available."});
    EXPECT_TRUE(readFile(out.file("results.csv")).empty());
}

TEST_F(GoRun, ASettingsRefusalComesAsAMessage) {
    TempFolder out;
    RecordingWindow ui;
    configure(ui, out.file("results.csv"), out.file("expos.csv"));
    ui.box(id::testsPerPerson)->ChangeValue("6");
    ASSERT_TRUE(runFromWindow(ui));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"N tests per person must be from 1 to 5."});
}

TEST_F(GoRun, ExitDuringARunCancelsItWaitsAndThenCloses) {
    TempFolder big;
    ASSERT_TRUE(runner("generate --quiet --examinees 4000 --out " + big.path()));
    TempFolder out;
    RecordingWindow ui;
    ui.box(id::poolFile)->ChangeValue(big.file("samplepassfail_pool.csv"));
    ui.box(id::responseFile)->ChangeValue(big.file("samplepassfail.txt"));
    ui.box(id::resultsFile)->ChangeValue(out.file("results.csv"));
    ui.box(id::exposureFile)->ChangeValue(out.file("expos.csv"));
    wxWeakRef<MainWindow> alive(ui.window);

    ui.clickButton(id::go);
    ASSERT_TRUE(ui.window->isRunning());
    ui.clickButton(id::exit);
    EXPECT_TRUE(alive);  // not before the run has ended
    ASSERT_TRUE(pumpUntil([&] { return !alive; }));
    ui.window = nullptr;

    // The run stopped early and still wrote its tables and its Done message.
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n"));
    EXPECT_EQ(ui.messages[0].find("100% processed"), std::string::npos);
    EXPECT_FALSE(readFile(out.file("results.csv")).empty());
}

}  // namespace
}  // namespace quillon::ui
