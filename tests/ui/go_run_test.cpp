// Whole runs started with "Go": the runner's tables, the window held still meanwhile, and Exit during a run.
#include <cstdlib>

#include "ui_test_support.h"

namespace quillon::ui {

static bool runner(const std::string& arguments) {
    return std::system((QUILLON_SIM " " + arguments + " > /dev/null").c_str()) == 0;
}

// A fresh working folder, so that both programs' default files are the ones generated into its "data".
struct WorkFolder : TempFolder {
    WorkFolder() { wxSetWorkingDirectory(path); }
    ~WorkFolder() { wxSetWorkingDirectory(home); }
    wxString home = wxGetCwd();
};

TEST(GoRun, WritesTheRunnersTablesSaysDoneAndHoldsTheWindowStillMeanwhile) {
    WorkFolder folder;
    ASSERT_TRUE(runner("generate --quiet --items 40 --collections 2 --examinees 120 --script-length 12 --out data"));
    ASSERT_TRUE(
        runner("--quiet --max-length 12 --tests-per-person 2 --randomization 3 --cost-pass-fail 2.5"
               " --block-enemies --method MinCost --results results.csv --exposure expos.csv"));
    RecordingWindow ui;
    for (const auto& [box, text] : {std::pair{2087, "12"}, {2009, "2"}, {2029, "3"}, {2301, "2.5"}}) {
        ui.box(box)->ChangeValue(text);
    }
    ui.click(id::blockEnemies);
    ui.select(id::minCost);
    const auto on = [&](int controlId) { return ui.window->control(controlId)->IsThisEnabled(); };
    ui.click(id::go);
    ASSERT_TRUE(ui.window->isRunning());  // no edit, browse or second "Go" inside a run; "Exit" stays on
    EXPECT_EQ(std::tuple(on(2030), on(2031), on(3035), on(id::go), on(id::exit)),
              std::tuple(false, false, false, false, true));
    // The labels of the boxes grey with them; the title and the frames name no box.
    EXPECT_EQ(std::tuple(on(2073), on(3039), on(2086), on(2058), on(2072)),
              std::tuple(false, false, false, true, true));
    ui.window->startRun();
    ASSERT_TRUE(pumpEvents([&] { return !ui.window->isRunning(); }));
    EXPECT_EQ(std::tuple(on(2030), on(3036), on(2133), on(id::go)), std::tuple(true, true, false, true));  // as before
    EXPECT_EQ(std::tuple(on(2073), on(3039), on(2132), on(2086)), std::tuple(true, true, false, true));
    EXPECT_FALSE(readFile("results.csv").empty());
    EXPECT_EQ(readFile("data/samplepassfail_results.csv"), readFile("results.csv"));
    EXPECT_EQ(readFile("data/samplepassfail_expos.csv"), readFile("expos.csv"));
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n100% processed\r\n40 Items\r\n2 Tests/person"));
}

TEST(GoRun, ExitDuringARunCancelsItWaitsAndThenCloses) {
    WorkFolder folder;
    ASSERT_TRUE(runner("generate --quiet --examinees 4000 --out data"));
    RecordingWindow ui;
    ui.click(id::go);
    ui.click(id::exit);
    EXPECT_TRUE(ui.window);  // not before the run has ended
    ASSERT_TRUE(pumpEvents([&] { return !ui.window; }));
    ASSERT_EQ(ui.messages.size(), 1u);  // the run stopped early, still with its tables and Done message
    EXPECT_TRUE(ui.messages[0].starts_with("Done\r\n\r\n"));
    EXPECT_EQ(ui.messages[0].find("100% processed"), std::string::npos);
    EXPECT_FALSE(readFile("data/samplepassfail_results.csv").empty());
}

}  // namespace quillon::ui
