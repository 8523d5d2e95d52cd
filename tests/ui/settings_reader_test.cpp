// readRunSettings: the order it reads the controls in, and the values it takes from the window.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include <wx/radiobut.h>

#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::RecordingWindow;

// Answers from fixed tables and remembers which controls were asked, in order.
struct RecordingAccess : ControlAccess {
    std::string controlText(int controlId) const override {
        asked.push_back(controlId);
        return texts.contains(controlId) ? texts.at(controlId) : "";
    }
    bool isChecked(int controlId) const override {
        asked.push_back(controlId);
        return checked.contains(controlId) && checked.at(controlId);
    }
    std::map<int, std::string> texts;
    std::map<int, bool> checked;
    mutable std::vector<int> asked;
};

TEST(ReadRunSettings, ReadsTheControlsInTheirFixedOrderAndTheCostsOnlyForTwoGroups) {
    const std::vector<int> order{2087, 2008, 2009, 2300, 2301, 2302, 2303, 3911, 3912, 3050,
                                 3035, 1090, 2095, 2131, 2080, 2025, 2024, 2026, 2029};
    for (const char* groups : {"2", "3"}) {
        RecordingAccess controls;
        controls.texts[id::groupCount] = groups;
        RunSettings settings;
        readRunSettings(controls, settings);
        std::vector<int> expected = order;
        if (groups[0] == '3') expected.erase(expected.begin() + 3, expected.begin() + 7);
        EXPECT_EQ(controls.asked, expected) << groups;
    }
}

TEST(ReadRunSettings, TheLastSelectedOptionOfTheScanWinsAndNoneKeepsTheOldMethod) {
    // Selected: Maximum Discrimination, Shannon Information, Minimum Expected Bayes Cost.
    const std::tuple<bool, bool, bool, const char*> cases[] = {
        {true, false, false, "MaxDiscr"}, {false, true, false, "Shannon"}, {false, false, true, "MinCost"},
        {true, true, false, "Shannon"},   {false, false, false, "kept"},
    };
    for (const auto& [maxDiscr, shannon, minCost, method] : cases) {
        RecordingAccess controls;
        controls.checked = {{id::maxDiscr, maxDiscr}, {id::shannon, shannon}, {id::minCost, minCost}};
        RunSettings settings;
        settings.selectionMethod = "kept";
        readRunSettings(controls, settings);
        EXPECT_EQ(settings.selectionMethod, method);
    }
}

// Every option that readRunSettings fills, for whole-record comparisons.
auto options(const RunSettings& s) {
    return std::tuple(s.maxTestLength, s.groupCount, s.testsPerPerson, s.selectionMethod, s.randomizationFactor,
                      s.sprtAlpha, s.sprtBeta, s.costPassPass, s.costPassFail, s.costFailPass, s.costFailFail,
                      s.dropItems, s.blockEnemies, s.saveExposure, s.uniformPriors, s.followScript, s.useSprt);
}

TEST(ReadRunSettings, TheWindowReadsAsTheDefaultsAndThenAsEveryCheckAndOptionIsChanged) {
    RecordingWindow ui;
    RunSettings read;  // every option away from the window's defaults first
    read.maxTestLength = read.groupCount = read.testsPerPerson = read.randomizationFactor = 0;
    read.selectionMethod = "MaxDiscr";
    read.sprtAlpha = read.sprtBeta = 0;
    read.costPassPass = read.costPassFail = read.costFailPass = read.costFailFail = 9;
    read.dropItems = read.blockEnemies = read.followScript = read.useSprt = true;
    read.saveExposure = read.uniformPriors = false;
    readRunSettings(*ui.window, read);
    EXPECT_EQ(options(read), options(RunSettings{}));

    for (int box : {id::dropItems, id::blockEnemies, id::saveExposure, id::uniformPriors, id::followScript,
                    id::useSprt}) {
        ui.checkBox(box)->SetValue(!ui.checkBox(box)->GetValue());
    }
    dynamic_cast<wxRadioButton*>(ui.window->control(id::minCost))->SetValue(true);
    readRunSettings(*ui.window, read);
    RunSettings expected;
    expected.dropItems = expected.blockEnemies = expected.followScript = expected.useSprt = true;
    expected.saveExposure = expected.uniformPriors = false;
    expected.selectionMethod = "MinCost";
    EXPECT_EQ(options(read), options(expected));
}

TEST(ReadRunSettings, BoxesAreReadByTheNumberRule) {
    RecordingWindow ui;
    const std::tuple<int, const char*, double> cases[] = {
        {id::sprtAlpha, " 0.05 percent", 0.05}, {id::sprtBeta, "&H10", 16},       {id::costFailFail, "abc", 0},
        {id::maxTestLength, "2.5", 2},          {id::randomizationFactor, "3.5", 4}, {id::testsPerPerson, "", 0},
    };
    for (const auto& [box, text, value] : cases) ui.box(box)->ChangeValue(text);
    RunSettings read;
    readRunSettings(*ui.window, read);
    EXPECT_EQ(std::tuple(read.sprtAlpha, read.sprtBeta, read.costFailFail),
              std::tuple(0.05, 16.0, 0.0));
    EXPECT_EQ(std::tuple(read.maxTestLength, read.randomizationFactor, read.testsPerPerson), std::tuple(2, 4, 0));
}

TEST(ReadRunSettings, CostsKeepTheLastTwoGroupValuesWhenNCategoriesIsThree) {
    RecordingWindow ui;
    RunSettings settings;
    readRunSettings(*ui.window, settings);
    ui.box(id::groupCount)->ChangeValue("3");
    for (int costBox : {id::costPassPass, id::costPassFail, id::costFailPass, id::costFailFail}) {
        ui.box(costBox)->ChangeValue("7");
    }
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(std::tuple(settings.costPassPass, settings.costPassFail, settings.costFailPass, settings.costFailFail),
              std::tuple(0.0, 1.5, 1.0, 0.0));
    ui.box(id::groupCount)->ChangeValue("2");
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(settings.costFailPass, 7.0);
}

TEST(ReadRunSettings, FileNamesAreLeftToTheirOwnReadingWhichTakesThemExactlyAsTyped) {
    RecordingWindow ui;
    ui.box(id::exposureFile)->ChangeValue("  spaced name.csv  ");
    RunSettings settings;
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(settings.exposureFile, "");
    readFileNames(*ui.window, settings);
    EXPECT_EQ(settings.exposureFile, "  spaced name.csv  ");
    EXPECT_EQ(settings.poolFile, ui.window->controlText(id::poolFile));
}

}  // namespace
}  // namespace quillon::ui
