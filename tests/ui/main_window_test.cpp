// The main window against its control table: controls, enabling rules, boxes and file buttons.
#include <gtest/gtest.h>

#include <map>

#include <wx/button.h>
#include <wx/filefn.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/uiaction.h>

#include "control_table.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::pumpEvents;
using testing::RecordingWindow;
using testing::TempFolder;

bool isPathBox(int controlId) {
    return controlId == id::poolFile || controlId == id::scriptFile || controlId == id::enemiesFile ||
           controlId == id::responseFile || controlId == id::resultsFile || controlId == id::exposureFile;
}

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

TEST(MainWindow, BuildsEveryControlOfTheTableWithItsTextPlaceAndState) {
    RecordingWindow ui;
    MainWindow& window = *ui.window;
    EXPECT_EQ(window.GetTitle(), "Quillon  Version 1.10");
    EXPECT_EQ(window.GetClientSize(), window.ConvertDialogToPixels(wxSize(357, 338)));
    EXPECT_EQ(window.GetBackgroundColour(), *wxWHITE);
    EXPECT_FALSE(window.HasFlag(wxRESIZE_BORDER));
    EXPECT_FALSE(window.HasFlag(wxMAXIMIZE_BOX));

    for (const ControlRow& row : controlTable()) {
        SCOPED_TRACE(row.id);
        wxWindow* made = window.control(row.id);
        ASSERT_NE(made, nullptr);
        EXPECT_TRUE(madeAsItsKind(made, row.kind));
        EXPECT_EQ(made->GetPosition(), window.ConvertDialogToPixels(wxPoint(row.x, row.y)));
        if (!isPathBox(row.id)) {
            EXPECT_EQ(window.controlText(row.id), row.text);
        }
        EXPECT_EQ(made->IsThisEnabled(), !row.has(flag::offAtStart));
        if (row.kind == ControlKind::CheckBox || row.kind == ControlKind::Option) {
            EXPECT_EQ(window.isChecked(row.id), row.has(flag::checked));
        }
    }
    EXPECT_EQ(window.controlText(id::ownershipNotice).find('\n'), std::string::npos);
}

TEST(MainWindow, CreationOrderIsTheTabOrderAndOnlyInputControlsTakeTheKeyboardFocus) {
    RecordingWindow ui;
    std::vector<int> created;
    for (const wxWindow* child : ui.window->GetChildren()) created.push_back(child->GetId());
    std::vector<int> table;
    for (const ControlRow& row : controlTable()) table.push_back(row.id);
    EXPECT_EQ(created, table);

    for (const ControlRow& row : controlTable()) {
        SCOPED_TRACE(row.id);
        wxWindow* made = ui.window->control(row.id);
        // A greyed control takes no focus at all; what matters is whether it would.
        made->Enable();
        const bool input = row.kind != ControlKind::Label && row.kind != ControlKind::Frame;
        EXPECT_EQ(made->CanAcceptFocusFromKeyboard(), input && !row.has(flag::noTabStop));
    }
}

TEST(MainWindow, EveryTextFitsItsRectangle) {
    RecordingWindow ui;
    for (const ControlRow& row : controlTable()) {
        if (row.kind != ControlKind::Label && row.kind != ControlKind::CheckBox && row.kind != ControlKind::Option) {
            continue;
        }
        SCOPED_TRACE(row.id);
        std::string_view text = row.text;
        while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
        const wxWindow* made = ui.window->control(row.id);
        const int needed = row.kind == ControlKind::Label ? made->GetTextExtent(wxString::FromUTF8(std::string(text))).x
                                                          : made->GetBestSize().x;
        EXPECT_LE(needed, made->GetSize().x);
    }
}

struct GoverningCase {
    int checkBox;
    bool RunSettings::*field;
    bool checkedAtStart;
};

TEST(MainWindow, GoverningCheckBoxesSwitchTheirFourControlsAndTheirSetting) {
    const GoverningCase cases[] = {
        {id::blockEnemies, &RunSettings::blockEnemies, false},
        {id::saveExposure, &RunSettings::saveExposure, true},
        {id::followScript, &RunSettings::followScript, false},
    };
    for (const GoverningCase& governing : cases) {
        SCOPED_TRACE(governing.checkBox);
        RecordingWindow ui;
        const std::string pathBefore = ui.window->controlText(governing.checkBox + 1);
        for (bool expected : {!governing.checkedAtStart, governing.checkedAtStart}) {
            ui.clickCheckBox(governing.checkBox);
            EXPECT_EQ(ui.window->settings().*governing.field, expected);
            for (int k = 1; k <= 4; ++k) EXPECT_EQ(ui.window->control(governing.checkBox + k)->IsEnabled(), expected);
        }
        EXPECT_EQ(ui.window->controlText(governing.checkBox + 1), pathBefore);
    }
}

TEST(MainWindow, NCategoriesSwitchesTheWholeCostGridButNotItsFrame) {
    const struct {
        const char* text;
        bool gridOn;
        std::int32_t groupCount;
    } cases[] = {{"3", false, 3}, {"2", true, 2}, {"", false, 0}, {"2", true, 2}, {"12", false, 12}};
    RecordingWindow ui;
    for (const auto& step : cases) {
        SCOPED_TRACE(step.text);
        ui.box(id::groupCount)->SetValue(step.text);
        EXPECT_EQ(ui.window->settings().groupCount, step.groupCount);
        for (int controlId = 2297; controlId <= 2305; ++controlId) {
            EXPECT_EQ(ui.window->control(controlId)->IsEnabled(), step.gridOn) << controlId;
        }
        EXPECT_TRUE(ui.window->control(2296)->IsEnabled());
    }
}

TEST(MainWindow, TestsPerPersonTextSetsItsSettingAtOnce) {
    RecordingWindow ui;
    ui.box(id::testsPerPerson)->SetValue("4");
    EXPECT_EQ(ui.window->settings().testsPerPerson, 4);
    ui.box(id::testsPerPerson)->SetValue("");
    EXPECT_EQ(ui.window->settings().testsPerPerson, 0);
}

// Lets the X server deliver what the simulated user did.
void settle() {
    for (int round = 0; round < 10; ++round) {
        pumpEvents();
        wxMilliSleep(10);
    }
}

// Types into a box through the X server, as a person would.
std::string typeInto(RecordingWindow& ui, int controlId, const std::string& keys) {
    wxTextCtrl* box = ui.box(controlId);
    box->ChangeValue("");
    wxUIActionSimulator user;
    const wxRect onScreen = box->GetScreenRect();
    user.MouseMove(onScreen.GetLeft() + onScreen.GetWidth() / 2, onScreen.GetTop() + onScreen.GetHeight() / 2);
    settle();
    user.MouseClick();
    settle();
    box->SetFocus();
    settle();
    user.Text(keys.c_str());
    settle();
    return ui.window->controlText(controlId);
}

TEST(MainWindow, IntegerBoxesRefuseLettersAndPointsWhileOtherBoxesTakeAnyText) {
    RecordingWindow ui;
    ui.window->Raise();
    pumpEvents();
    for (int controlId : {id::maxTestLength, id::groupCount, id::testsPerPerson, id::randomizationFactor}) {
        EXPECT_EQ(typeInto(ui, controlId, "1a.2-e3"), "123") << controlId;
    }
    // "123" categories grey the cost grid; two bring it back for typing.
    ui.box(id::groupCount)->SetValue("2");
    for (int controlId : {id::sprtAlpha, id::costPassFail}) {
        EXPECT_EQ(typeInto(ui, controlId, "1a.2"), "1a.2") << controlId;
    }
}

TEST(MainWindow, PathBoxesStartAtTheSampleFilesUnderTheCurrentFolder) {
    RecordingWindow ui;
    const std::string data = wxGetCwd().utf8_string() + "/data/";
    EXPECT_EQ(ui.window->controlText(id::poolFile), data + "samplepassfail_pool.csv");
    EXPECT_EQ(ui.window->controlText(id::scriptFile), data + "samplepassfail_script.csv");
    EXPECT_EQ(ui.window->controlText(id::enemiesFile), data + "samplepassfail_enemies.csv");
    EXPECT_EQ(ui.window->controlText(id::responseFile), data + "samplepassfail.txt");
    EXPECT_EQ(ui.window->controlText(id::resultsFile), data + "samplepassfail_results.csv");
    EXPECT_EQ(ui.window->controlText(id::exposureFile), data + "samplepassfail_expos.csv");
}

TEST(MainWindow, ViewOpensOnlyExistingFilesAndOtherwiseSaysFileNotFound) {
    TempFolder folder;
    const std::string existing = folder.file("pool.csv");
    testing::writeFile(existing, "x\r\n");
    const struct {
        std::string path;
        bool opens;
    } cases[] = {
        {existing, true},
        {"", false},
        {folder.path(), false},
        {folder.file("missing.csv"), false},
        {existing + " ", false},
        {folder.file("*.csv"), false},
        {folder.file("pool.cs?"), false},
        {existing + ":", false},
    };
    for (const auto& check : cases) {
        SCOPED_TRACE(check.path);
        RecordingWindow ui;
        ui.box(id::poolFile)->ChangeValue(wxString::FromUTF8(check.path));
        ui.clickButton(id::poolFile + viewOffset);
        EXPECT_EQ(ui.launched, check.opens ? std::vector<std::string>{check.path} : std::vector<std::string>{});
        EXPECT_EQ(ui.messages, check.opens ? std::vector<std::string>{} : std::vector<std::string>{"File not found"});
    }
}

TEST(MainWindow, EachViewButtonViewsTheFileOfItsOwnBox) {
    TempFolder folder;
    RecordingWindow ui;
    const int boxes[] = {id::poolFile,     id::scriptFile,  id::enemiesFile,
                         id::responseFile, id::resultsFile, id::exposureFile};
    for (int boxId : boxes) {
        const std::string file = folder.file(std::to_string(boxId) + ".csv");
        testing::writeFile(file, "");
        ui.box(boxId)->ChangeValue(wxString::FromUTF8(file));
    }
    for (int boxId : boxes) {
        ui.launched.clear();
        ui.window->control(boxId + viewOffset)->Enable();
        ui.clickButton(boxId + viewOffset);
        EXPECT_EQ(ui.launched, std::vector<std::string>{folder.file(std::to_string(boxId) + ".csv")}) << boxId;
    }
    EXPECT_TRUE(ui.messages.empty());
}

TEST(MainWindow, BrowseButtonsFillTheirOwnBoxAndACancelChangesNothing) {
    const struct {
        int button;
        const char* pattern;
        const char* filter;
        bool newName;
    } cases[] = {
        {2031, "*.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", false},
        {2134, "*.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", false},
        {3037, "*.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", false},
        {2046, "*.txt", "TXT Files (*.txt)|*.txt|All Files (*.*)|*.*", false},
        {2049, "*.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", true},
        {3052, "*.csv", "CSV Files (*.csv)|*.csv|All Files (*.*)|*.*", true},
    };
    for (const auto& browse : cases) {
        SCOPED_TRACE(browse.button);
        RecordingWindow ui;
        std::map<int, std::string> before;
        for (const ControlRow& row : controlTable()) before[row.id] = ui.window->controlText(row.id);

        ui.pickerAnswer.reset();
        ui.clickButton(browse.button);
        ASSERT_EQ(ui.pickerCalls.size(), 1u);
        EXPECT_EQ(ui.pickerCalls[0].title, "Queries");
        EXPECT_EQ(ui.pickerCalls[0].initialName, browse.pattern);
        EXPECT_EQ(ui.pickerCalls[0].initialFolder, "");
        EXPECT_EQ(ui.pickerCalls[0].filter, browse.filter);
        EXPECT_EQ(ui.pickerCalls[0].defaultExtension, std::string(browse.pattern).substr(1));
        EXPECT_EQ(ui.pickerCalls[0].allowNewName, browse.newName);
        for (const auto& [controlId, text] : before) EXPECT_EQ(ui.window->controlText(controlId), text);

        ui.pickerAnswer = "/chosen/folder/file name.csv";
        ui.clickButton(browse.button);
        for (const auto& [controlId, text] : before) {
            const bool target = controlId == browse.button - browseOffset;
            EXPECT_EQ(ui.window->controlText(controlId), target ? "/chosen/folder/file name.csv" : text) << controlId;
        }
    }
}

TEST(MainWindow, ATypedNameWithoutExtensionGetsTheDefaultOne) {
    const struct {
        const char* typed;
        const char* kept;
    } cases[] = {
        {"/out/results", "/out/results.csv"},
        {"/out/results.csv", "/out/results.csv"},
        {"/out/results.txt", "/out/results.txt"},
        {"/out.d/results", "/out.d/results.csv"},
    };
    for (const auto& name : cases) EXPECT_EQ(withDefaultExtension(name.typed, ".csv"), name.kept);
}

TEST(MainWindow, ElevenTipsSitOnTheirControlsWithCrLfBetweenLines) {
    RecordingWindow ui;
    const std::vector<int> order{2030, 2133, 3050, 3051, 2042, 3036, 2041, 2048, 2029, 2028, 2045};
    std::vector<int> attached;
    for (const FieldTip& tip : fieldTips()) attached.push_back(tip.controlId);
    EXPECT_EQ(attached, order);

    for (std::size_t i = 0; i < fieldTips().size(); ++i) {
        const FieldTip& tip = fieldTips()[i];
        SCOPED_TRACE(tip.controlId);
        const bool last = i + 1 == fieldTips().size();
        EXPECT_EQ(tip.text.ends_with("\r\n"), !last);
        // Every line break is a CR LF pair.
        for (std::size_t at = 0; at < tip.text.size(); ++at) {
            if (tip.text[at] == '\r') {
                EXPECT_EQ(tip.text.substr(at, 2), "\r\n");
            }
            if (tip.text[at] == '\n') {
                EXPECT_EQ(tip.text[at - 1], '\r');
            }
        }
        wxString expected = wxString::FromUTF8(std::string(tip.text));
        expected.Replace("\r\n", "\n");
        ASSERT_NE(ui.window->control(tip.controlId)->GetToolTip(), nullptr);
        EXPECT_EQ(ui.window->control(tip.controlId)->GetToolTipText(), expected);
    }
    EXPECT_EQ(ui.window->control(2028)->GetToolTipText(), ui.window->control(2029)->GetToolTipText());
    EXPECT_EQ(ui.window->control(2042)->GetToolTipText(), ui.window->control(3051)->GetToolTipText());
    EXPECT_TRUE(fieldTips()[10].text.ends_with("\r\n                             coded as 1,0 or blank respectively"));
    EXPECT_NE(fieldTips()[10].text.find("\r\nColumn   12       True group membership \r\n"), std::string_view::npos);
}

TEST(MainWindow, ASecondTipOnAControlReplacesTheFirst) {
    RecordingWindow ui;
    EXPECT_TRUE(setFieldTip(ui.window, id::poolFile, "first"));
    EXPECT_TRUE(setFieldTip(ui.window, id::poolFile, "second\r\nline"));
    EXPECT_EQ(ui.window->control(id::poolFile)->GetToolTipText(), "second\nline");
    EXPECT_FALSE(setFieldTip(ui.window, 9999, "no such control"));
}

TEST(MainWindow, ExitClosesTheWindowWhenNoRunIsWorking) {
    RecordingWindow ui;
    wxWeakRef<MainWindow> alive(ui.window);
    ui.clickButton(id::exit);
    pumpEvents();
    EXPECT_FALSE(alive);
    ui.window = nullptr;
}

}  // namespace
}  // namespace quillon::ui
