// The main window against its control table: controls, enabling rules, boxes and file buttons.
#include <gtest/gtest.h>

#include <map>

#include <wx/button.h>
#include <wx/filefn.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/uiaction.h>

#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;
using testing::RecordingWindow;
using testing::TempFolder;

constexpr int pathBoxes[] = {id::poolFile,     id::scriptFile,  id::enemiesFile,
                             id::responseFile, id::resultsFile, id::exposureFile};

bool madeAsItsKind(const wxWindow* made, ControlKind kind) {
    switch (kind) {
        case ControlKind::TextBox: return dynamic_cast<const wxTextCtrl*>(made) != nullptr;
        case ControlKind::CheckBox: return dynamic_cast<const wxCheckBox*>(made) != nullptr;
        case ControlKind::Option: return dynamic_cast<const wxRadioButton*>(made) != nullptr;
        case ControlKind::Label: return dynamic_cast<const wxStaticText*>(made) != nullptr;
        case ControlKind::Frame: return dynamic_cast<const wxStaticBox*>(made) != nullptr;
        case ControlKind::Button: return dynamic_cast<const wxButton*>(made) != nullptr;
    }
    return false;
}

TEST(MainWindow, BuildsEveryControlOfTheTableInOrderWithItsTextPlaceStateAndTabStop) {
    RecordingWindow ui;
    MainWindow& window = *ui.window;
    EXPECT_EQ(window.GetTitle(), "Quillon  Version 1.10");
    EXPECT_EQ(window.GetClientSize(), window.ConvertDialogToPixels(wxSize(357, 338)));
    EXPECT_EQ(window.GetBackgroundColour(), *wxWHITE);
    EXPECT_FALSE(window.HasFlag(wxRESIZE_BORDER) || window.HasFlag(wxMAXIMIZE_BOX));

    std::vector<int> created, table;
    for (const wxWindow* child : window.GetChildren()) created.push_back(child->GetId());
    for (const ControlRow& row : controlTable()) table.push_back(row.id);
    EXPECT_EQ(created, table);  // creation order is the tab order

    for (const ControlRow& row : controlTable()) {
        SCOPED_TRACE(row.id);
        wxWindow* made = window.control(row.id);
        ASSERT_TRUE(madeAsItsKind(made, row.kind));
        EXPECT_EQ(made->GetPosition(), window.ConvertDialogToPixels(wxPoint(row.x, row.y)));
        if (std::ranges::find(pathBoxes, row.id) == std::end(pathBoxes)) {
            EXPECT_EQ(window.controlText(row.id), row.text);
        }
        EXPECT_EQ(made->IsThisEnabled(), !row.has(flag::offAtStart));
        EXPECT_EQ(window.isChecked(row.id), row.has(flag::checked));
        made->Enable();  // a greyed control takes no focus at all; ask whether it would
        const bool input = row.kind != ControlKind::Label && row.kind != ControlKind::Frame;
        EXPECT_EQ(made->CanAcceptFocusFromKeyboard(), input && !row.has(flag::noTabStop));
    }
}

TEST(MainWindow, GoverningCheckBoxesSwitchTheirFourControlsAndTheirSetting) {
    const std::tuple<int, bool RunSettings::*, bool> cases[] = {
        {id::blockEnemies, &RunSettings::blockEnemies, false},
        {id::saveExposure, &RunSettings::saveExposure, true},
        {id::followScript, &RunSettings::followScript, false},
    };
    for (const auto& [box, field, atStart] : cases) {
        SCOPED_TRACE(box);
        RecordingWindow ui;
        const std::string path = ui.window->controlText(box + 1);
        for (bool expected : {!atStart, atStart}) {
            ui.click(box);
            EXPECT_EQ(ui.window->settings().*field, expected);
            for (int k = 1; k <= 4; ++k) EXPECT_EQ(ui.window->control(box + k)->IsEnabled(), expected);
        }
        EXPECT_EQ(ui.window->controlText(box + 1), path);
    }
}

TEST(MainWindow, CategoryAndTestCountTextsSetTheirSettingsAndTwoCategoriesAloneKeepTheCostGrid) {
    RecordingWindow ui;
    for (const auto& [text, groups] : {std::pair{"3", 3}, {"2", 2}, {"", 0}, {"2", 2}, {"12", 12}}) {
        SCOPED_TRACE(text);
        ui.box(id::groupCount)->SetValue(text);
        EXPECT_EQ(ui.window->settings().groupCount, groups);
        for (int grid = 2297; grid <= 2305; ++grid) EXPECT_EQ(ui.window->control(grid)->IsEnabled(), groups == 2);
        EXPECT_TRUE(ui.window->control(2296)->IsEnabled());  // the frame stays
    }
    ui.box(id::testsPerPerson)->SetValue("4");
    EXPECT_EQ(ui.window->settings().testsPerPerson, 4);
}

// Types into a box through the X server, as a person would.
std::string typeInto(RecordingWindow& ui, int controlId, const char* keys) {
    const auto settle = [] {
        for (int round = 0; round < 10; ++round, wxMilliSleep(10)) pumpEvents();
    };
    wxTextCtrl* box = ui.box(controlId);
    box->ChangeValue("");
    wxUIActionSimulator user;
    const wxRect onScreen = box->GetScreenRect();
    user.MouseMove(onScreen.GetLeft() + onScreen.GetWidth() / 2, onScreen.GetTop() + onScreen.GetHeight() / 2);
    settle();
    user.MouseClick();
    settle();
    user.Text(keys);
    settle();
    return ui.window->controlText(controlId);
}

TEST(MainWindow, IntegerBoxesRefuseLettersAndPointsWhileOtherBoxesTakeAnyText) {
    RecordingWindow ui;
    for (int controlId : {id::maxTestLength, id::groupCount, id::testsPerPerson, id::randomizationFactor}) {
        EXPECT_EQ(typeInto(ui, controlId, "1a.2-e3"), "123") << controlId;
    }
    ui.box(id::groupCount)->SetValue("2");  // "123" categories greyed the cost grid
    for (int controlId : {id::sprtAlpha, id::costPassFail}) EXPECT_EQ(typeInto(ui, controlId, "1a.2"), "1a.2");
}

TEST(MainWindow, PathBoxesStartAtTheSampleFilesUnderTheCurrentFolder) {
    RecordingWindow ui;
    const char* names[] = {"samplepassfail_pool.csv",    "samplepassfail_script.csv", "samplepassfail_enemies.csv",
                           "samplepassfail.txt", "samplepassfail_results.csv", "samplepassfail_expos.csv"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ui.window->controlText(pathBoxes[i]), wxGetCwd().utf8_string() + "/data/" + names[i]);
    }
}

TEST(MainWindow, ViewOpensOnlyAnExistingFileOfItsOwnBoxAndOtherwiseSaysFileNotFound) {
    TempFolder folder;
    const std::string file = folder.file("pool.csv");
    testing::writeFile(file, "x\r\n");
    for (const std::string& path : {std::string(), folder.path, folder.file("missing.csv"), file + " ",
                                    folder.file("*.csv"), folder.file("pool.cs?"), file + ":", file}) {
        SCOPED_TRACE(path);
        RecordingWindow ui;
        ui.box(id::poolFile)->ChangeValue(wxString::FromUTF8(path));
        ui.click(id::poolFile + viewOffset);
        const bool opens = path == file;
        EXPECT_EQ(ui.launched, opens ? std::vector{path} : std::vector<std::string>{});
        EXPECT_EQ(ui.messages, opens ? std::vector<std::string>{} : std::vector<std::string>{"File not found"});
    }
    RecordingWindow ui;
    for (int box : pathBoxes) {
        testing::writeFile(folder.file(std::to_string(box)), "");
        ui.box(box)->ChangeValue(folder.file(std::to_string(box)));
        ui.window->control(box + viewOffset)->Enable();
    }
    for (int box : pathBoxes) ui.click(box + viewOffset);
    EXPECT_EQ(ui.launched.size(), 6u);
    for (std::size_t i = 0; i < ui.launched.size(); ++i) {
        EXPECT_EQ(ui.launched[i], folder.file(std::to_string(pathBoxes[i])));
    }
}

TEST(MainWindow, BrowseButtonsFillTheirOwnBoxAndACancelChangesNothing) {
    const std::string csv = "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*";
    const std::tuple<int, std::string, std::string, bool> cases[] = {
        {2031, "*.csv", csv, false}, {2134, "*.csv", csv, false}, {3037, "*.csv", csv, false},
        {2046, "*.txt", "TXT Files (*.txt)|*.txt|All Files (*.*)|*.*", false},
        {2049, "*.csv", csv, true},  {3052, "*.csv", csv, true},
    };
    for (const auto& [button, pattern, filter, newName] : cases) {
        SCOPED_TRACE(button);
        RecordingWindow ui;
        std::map<int, std::string> before;
        for (const ControlRow& row : controlTable()) before[row.id] = ui.window->controlText(row.id);
        ui.click(button);
        ASSERT_EQ(ui.pickerCalls.size(), 1u);
        const PickerSettings& asked = ui.pickerCalls[0];
        EXPECT_EQ(std::tuple(asked.title, asked.initialName, asked.initialFolder, asked.filter, asked.allowNewName),
                  std::tuple(std::string("Queries"), pattern, std::string(), filter, newName));
        EXPECT_EQ(asked.defaultExtension, pattern.substr(1));
        for (const auto& [controlId, text] : before) EXPECT_EQ(ui.window->controlText(controlId), text);

        ui.pickerAnswer = "/chosen/folder/file name.csv";
        ui.click(button);
        for (const auto& [controlId, text] : before) {
            EXPECT_EQ(ui.window->controlText(controlId),
                      controlId == button - browseOffset ? *ui.pickerAnswer : text) << controlId;
        }
    }
    EXPECT_EQ(withDefaultExtension("/out.d/results", ".csv"), "/out.d/results.csv");
    EXPECT_EQ(withDefaultExtension("/out/results.txt", ".csv"), "/out/results.txt");
}

TEST(MainWindow, ElevenTipsSitOnTheirControlsWithCrLfBetweenLines) {
    RecordingWindow ui;
    std::vector<int> attached;
    for (const FieldTip& tip : fieldTips()) {
        SCOPED_TRACE(tip.controlId);
        attached.push_back(tip.controlId);
        EXPECT_EQ(tip.text.ends_with("\r\n"), tip.controlId != 2045);  // the last has no final CR LF
        wxString shown = wxString::FromUTF8(std::string(tip.text));
        const std::size_t pairs = shown.Replace("\r\n", "\n");
        EXPECT_EQ(pairs, shown.Freq('\n'));  // every line break is a CR LF pair
        EXPECT_FALSE(shown.Contains("\r"));
        EXPECT_EQ(ui.window->control(tip.controlId)->GetToolTipText(), shown);
    }
    EXPECT_EQ(attached, (std::vector{2030, 2133, 3050, 3051, 2042, 3036, 2041, 2048, 2029, 2028, 2045}));
    EXPECT_EQ(ui.window->control(2028)->GetToolTipText(), ui.window->control(2029)->GetToolTipText());
    EXPECT_TRUE(fieldTips()[10].text.ends_with("\r\n                             coded as 1,0 or blank respectively"));

    EXPECT_TRUE(setFieldTip(ui.window, id::poolFile, "second\r\nline"));  // replaces the first
    EXPECT_EQ(ui.window->control(id::poolFile)->GetToolTipText(), "second\nline");
    EXPECT_FALSE(setFieldTip(ui.window, 9999, "no such control"));
}

TEST(MainWindow, ExitClosesTheWindowWhenNoRunIsWorking) {
    RecordingWindow ui;
    wxWeakRef<MainWindow> alive(ui.window);
    ui.click(id::exit);
    pumpEvents();
    EXPECT_FALSE(alive);
    ui.window = nullptr;
}

}  // namespace
}  // namespace quillon::ui
