// The main window: its controls, enabling rules, digits-only boxes, default paths and "View".
#include <wx/filefn.h>
#include <wx/uiaction.h>

#include <fstream>
#include <map>
#include <set>

#include "ui_test_support.h"

namespace quillon::ui {

constexpr int pathBoxes[] = {2030, 2133, 3036, 2045, 2048, 3051};

TEST(MainWindow, BuildsItsControlsInTabOrderWithTheirTextsDefaultPathsStatesAndTabStops) {
    RecordingWindow ui;
    MainWindow& window = *ui.window;
    EXPECT_EQ(window.GetTitle(), "Quillon  Version 1.10");
    const std::vector<int> tabOrder{2087, 2008, 2009, 1090, 3035, 3050, 2095, 2024, 2025, 2026, 2028, 2029, 2080, 3911,
                                    3912, 2300, 2301, 2302, 2303, 2030, 2031, 2032, 2133, 2134, 2135, 3037, 3038, 2045,
                                    2046, 2047, 2048, 2049, 2050, 3051, 2042, 3052, 3053, 2082, 3036, 2041, 2054, 2055,
                                    2056, 2058, 2063, 2072, 2073, 2132, 2075, 2076, 2077, 3054, 3039, 2083, 2084, 1092,
                                    2086, 2296, 2297, 2298, 2299, 2304, 2305, 3910, 3913, 2131};
    std::vector<int> created;
    for (const wxWindow* child : window.GetChildren()) created.push_back(child->GetId());
    EXPECT_EQ(created, tabOrder);  // creation order is the tab order

    const std::pair<int, const char*> texts[] = {
        {2087, "80"}, {3911, ".05"}, {2301, "1.5"}, {2042, ""}, {3052, "..."}, {2082, "Go"}, {1090, "Drop items"},
        {2024, "Shannon Information"}, {2055, " Set-up  "}, {2299, "Pass             Fail"}, {2131, "Follow Script"}};
    for (const auto& [controlId, text] : texts) EXPECT_EQ(window.controlText(controlId), text);
    const char* samples[] = {"_pool.csv", "_script.csv", "_enemies.csv", ".txt", "_results.csv", "_expos.csv"};
    for (int i = 0; i < 6; ++i) {  // the path boxes start at the sample files under the current folder
        EXPECT_EQ(window.controlText(pathBoxes[i]), wxGetCwd().utf8_string() + "/data/samplepassfail" + samples[i]);
    }
    const std::set<int> offAtStart{2133, 2134, 2135, 3036, 3037, 3038, 2132, 3039}, noTabStop{2134, 2135, 2041, 2042};
    for (const ControlRow& row : controlTable()) {
        SCOPED_TRACE(row.id);
        wxWindow* made = window.control(row.id);
        EXPECT_EQ(made->GetPosition(), window.ConvertDialogToPixels(wxPoint(row.x, row.y)));
        EXPECT_EQ(window.isChecked(row.id), row.id == 3050 || row.id == 2095 || row.id == 2024);
        EXPECT_EQ(made->IsThisEnabled(), !offAtStart.contains(row.id));
        made->Enable();  // a greyed control takes no focus at all; ask whether it would
        const bool input = row.kind != ControlKind::Label && row.kind != ControlKind::Frame;
        EXPECT_EQ(made->CanAcceptFocusFromKeyboard(), input && !noTabStop.contains(row.id));
    }
}

TEST(MainWindow, CheckBoxesAndNCategoriesSwitchTheControlsTheyGovernAndSetTheirSettings) {
    RecordingWindow ui;
    const std::map<int, bool RunSettings::*> stored{
        {3035, &RunSettings::blockEnemies}, {3050, &RunSettings::saveExposure}, {2131, &RunSettings::followScript}};
    // A check box clicked or N Categories typed, then whether the controls it governs are on.
    const std::tuple<int, const char*, bool> steps[] = {
        {3035, nullptr, true}, {3035, nullptr, false}, {3035, nullptr, true}, {3050, nullptr, false},
        {3050, nullptr, true}, {2131, nullptr, true}, {2131, nullptr, false}, {2008, "3", false},
        {2008, "2", true}, {2008, "", false}, {2008, "2", true}, {2008, "12", false}};
    for (const auto& [source, text, on] : steps) {
        SCOPED_TRACE(source);
        text == nullptr ? ui.click(source) : ui.box(source)->SetValue(text);
        const auto [first, last] = text == nullptr ? std::pair{source + 1, source + 4} : std::pair{2297, 2305};
        for (int c = first; c <= last; ++c) EXPECT_EQ(ui.window->control(c)->IsEnabled(), on) << c;
        const RunSettings& s = ui.window->settings();
        EXPECT_EQ(text == nullptr ? s.*stored.at(source) : s.groupCount, text == nullptr ? on : std::atoi(text));
    }
    EXPECT_TRUE(ui.window->control(2296)->IsEnabled());  // the costs' frame stays on
}

TEST(MainWindow, DigitsOnlyBoxesRefuseLettersAndPointsWhileOtherBoxesTakeAnyText) {
    RecordingWindow ui;
    const auto settle = [](bool simulated) {
        EXPECT_TRUE(simulated);
        for (int round = 0; round < 10; ++round, wxMilliSleep(10)) pumpEvents();
    };
    const std::pair<int, const char*> cases[] = {
        {2087, "123"}, {2008, "123"}, {2009, "123"}, {2029, "123"}, {3911, "1a.2-e3"}, {2045, "1a.2-e3"}};
    for (const auto& [controlId, kept] : cases) {  // typed through the X server, as a person would
        ui.box(controlId)->ChangeValue("");
        wxUIActionSimulator user;
        settle(user.MouseMove(ui.box(controlId)->GetScreenRect().GetPosition() + wxPoint(8, 6)));
        settle(user.MouseClick());
        settle(user.Text("1a.2-e3"));
        EXPECT_EQ(ui.window->controlText(controlId), kept) << controlId;
    }
}

TEST(MainWindow, ViewOpensOnlyAnExistingFileOfItsOwnBoxAndOtherwiseSaysFileNotFound) {
    TempFolder folder;  // names with a wildcard or a final ":" exist too, yet are no file to view
    for (const char* name : {"pool.csv", "pool?.csv", "*.csv", "pool.csv:"}) std::ofstream(folder.file(name)) << "x";
    const std::string file = folder.file("pool.csv");
    RecordingWindow ui;
    for (const std::string& path : {std::string(), std::string("?"), folder.path, folder.file("missing.csv"),
                                    folder.file("*.csv"), folder.file("pool?.csv"), file + ":", file}) {
        ui.box(2030)->ChangeValue(path);
        ui.click(2032);
    }
    EXPECT_EQ(ui.messages, std::vector<std::string>(7, "File not found"));
    std::vector<std::string> opened{file};
    for (int box : pathBoxes) {  // each "View" opens the box two identifiers before it
        opened.push_back(folder.file(std::to_string(box)));
        std::ofstream{opened.back()};
        ui.box(box)->ChangeValue(opened.back());
        ui.window->control(box + 2)->Enable();
        ui.click(box + 2);
    }
    EXPECT_EQ(ui.launched, opened);
}

}  // namespace quillon::ui
