// readRunSettings: the order it reads the controls in, and the values it takes from the window.
#include <gtest/gtest.h>

#include <map>

#include <wx/radiobut.h>

#include "control_table.h"
#include "settings_reader.h"
#include "ui_test_support.h"

namespace quillon::ui {
namespace {

using testing::RecordingWindow;

// Answers from a fixed table and remembers which controls were asked, in order.
class RecordingAccess : public ControlAccess {
public:
    std::string controlText(int controlId) const override {
        asked.push_back(controlId);
        const auto found = texts.find(controlId);
        return found == texts.end() ? std::string() : found->second;
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
    const std::vector<int> twoGroups{2087, 2008, 2009, 2300, 2301, 2302, 2303, 3911, 3912, 3050,
                                     3035, 1090, 2095, 2131, 2080, 2025, 2024, 2026, 2029};
    std::vector<int> otherGroups = twoGroups;
    otherGroups.erase(otherGroups.begin() + 3, otherGroups.begin() + 7);

    for (const auto& [groups, order] : {std::pair{"2", twoGroups}, std::pair{"3", otherGroups}}) {
        SCOPED_TRACE(groups);
        RecordingAccess controls;
        controls.texts[id::groupCount] = groups;
        RunSettings settings;
        readRunSettings(controls, settings);
        EXPECT_EQ(controls.asked, order);
    }
}

TEST(ReadRunSettings, TheLastSelectedOptionOfTheScanWinsAndNoneKeepsTheOldMethod) {
    const struct {
        bool maxDiscr, shannon, minCost;
        const char* method;
    } cases[] = {
        {true, false, false, "MaxDiscr"}, {false, true, false, "Shannon"}, {false, false, true, "MinCost"},
        {true, true, false, "Shannon"},   {false, false, false, "kept"},
    };
    for (const auto& scan : cases) {
        RecordingAccess controls;
        controls.checked = {{id::maxDiscr, scan.maxDiscr}, {id::shannon, scan.shannon}, {id::minCost, scan.minCost}};
        RunSettings settings;
        settings.selectionMethod = "kept";
        readRunSettings(controls, settings);
        EXPECT_EQ(settings.selectionMethod, scan.method);
    }
}

TEST(ReadRunSettings, TheDefaultWindowReadsAsTheDefaultSettings) {
    RecordingWindow ui;
    RunSettings settings;
    settings.costPassFail = settings.costFailPass = -9;
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(settings.maxTestLength, 80);
    EXPECT_EQ(settings.groupCount, 2);
    EXPECT_EQ(settings.testsPerPerson, 1);
    EXPECT_EQ(settings.costPassPass, 0.0);
    EXPECT_EQ(settings.costPassFail, 1.5);
    EXPECT_EQ(settings.costFailPass, 1.0);
    EXPECT_EQ(settings.costFailFail, 0.0);
    EXPECT_EQ(settings.sprtAlpha, 0.05);
    EXPECT_EQ(settings.sprtBeta, 0.05);
    EXPECT_TRUE(settings.saveExposure);
    EXPECT_FALSE(settings.blockEnemies);
    EXPECT_FALSE(settings.dropItems);
    EXPECT_TRUE(settings.uniformPriors);
    EXPECT_FALSE(settings.followScript);
    EXPECT_FALSE(settings.useSprt);
    EXPECT_EQ(settings.selectionMethod, "Shannon");
    EXPECT_EQ(settings.randomizationFactor, 1);
}

TEST(ReadRunSettings, BoxTextsReadByTheNumberRule) {
    const struct {
        int box;
        const char* text;
        double number;
    } cases[] = {
        {id::sprtAlpha, ".05", 0.05},         {id::sprtAlpha, "5E-2", 0.05}, {id::sprtAlpha, " 0.05 percent", 0.05},
        {id::sprtAlpha, "abc", 0.0},          {id::sprtAlpha, "&H10", 16.0}, {id::sprtBeta, "1D-1", 0.1},
        {id::maxTestLength, "", 0},           {id::maxTestLength, "80", 80}, {id::maxTestLength, "2.5", 2},
        {id::randomizationFactor, "3.5", 4}, {id::testsPerPerson, "12abc", 12}, {id::costFailFail, "-0.5x", -0.5},
    };
    for (const auto& box : cases) {
        SCOPED_TRACE(std::string(box.text) + " in " + std::to_string(box.box));
        RecordingWindow ui;
        ui.box(box.box)->ChangeValue(box.text);
        RunSettings settings;
        readRunSettings(*ui.window, settings);
        const double read = box.box == id::sprtAlpha      ? settings.sprtAlpha
                            : box.box == id::sprtBeta     ? settings.sprtBeta
                            : box.box == id::costFailFail ? settings.costFailFail
                            : box.box == id::maxTestLength ? settings.maxTestLength
                            : box.box == id::testsPerPerson ? settings.testsPerPerson
                                                            : settings.randomizationFactor;
        EXPECT_EQ(read, box.number);
    }
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
    EXPECT_EQ(settings.groupCount, 3);
    EXPECT_EQ(settings.costPassPass, 0.0);
    EXPECT_EQ(settings.costPassFail, 1.5);
    EXPECT_EQ(settings.costFailPass, 1.0);
    EXPECT_EQ(settings.costFailFail, 0.0);

    ui.box(id::groupCount)->ChangeValue("2");
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(settings.costFailPass, 7.0);
}

TEST(ReadRunSettings, ChecksAndOptionsOfTheWindow) {
    RecordingWindow ui;
    for (int box : {id::dropItems, id::blockEnemies, id::saveExposure, id::uniformPriors, id::followScript,
                    id::useSprt}) {
        ui.checkBox(box)->SetValue(!ui.checkBox(box)->GetValue());
    }
    dynamic_cast<wxRadioButton*>(ui.window->control(id::minCost))->SetValue(true);
    RunSettings settings;
    readRunSettings(*ui.window, settings);
    EXPECT_TRUE(settings.dropItems);
    EXPECT_TRUE(settings.blockEnemies);
    EXPECT_FALSE(settings.saveExposure);
    EXPECT_FALSE(settings.uniformPriors);
    EXPECT_TRUE(settings.followScript);
    EXPECT_TRUE(settings.useSprt);
    EXPECT_EQ(settings.selectionMethod, "MinCost");
}

TEST(ReadRunSettings, FileNamesAreTakenExactlyAsTyped) {
    RecordingWindow ui;
    ui.box(id::exposureFile)->ChangeValue("  spaced name.csv  ");
    RunSettings settings;
    readRunSettings(*ui.window, settings);
    EXPECT_EQ(settings.exposureFile, "");
    readFileNames(*ui.window, settings);
    EXPECT_EQ(settings.exposureFile, "  spaced name.csv  ");
    EXPECT_EQ(settings.poolFile, ui.window->controlText(id::poolFile));
    EXPECT_EQ(settings.responseFile, ui.window->controlText(id::responseFile));
}

}  // namespace
}  // namespace quillon::ui
