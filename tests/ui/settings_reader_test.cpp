// readRunSettings: the order it reads the controls in, and the values it takes from the window.

#include <set>
#include <tuple>

#include "ui_test_support.h"

namespace quillon::ui {

// Answers N Categories and the selected options from its fields and notes every control read, in order.
struct RecordingAccess : ControlAccess {
    std::string controlText(int c) const override { return note(c) == id::groupCount ? groups : ""; }
    bool isChecked(int c) const override { return selected.contains(note(c)); }
    int note(int c) const {
        read.push_back(c);
        return c;
    }
    std::string groups;
    std::set<int> selected;
    mutable std::vector<int> read;
};

TEST(ReadRunSettings, ReadsInItsFixedOrderTheCostsOnlyForTwoGroupsAndTheLastSelectedOptionWins) {
    const std::vector<int> order{2087, 2008, 2009, 2300, 2301, 2302, 2303, 3911, 3912, 3050,
                                 3035, 1090, 2095, 2131, 2080, 2025, 2024, 2026, 2029};
    // Selected options (2025 MaxDiscr, 2024 Shannon, 2026 MinCost), N Categories, method read over
    // a value that is none of the three.
    const SelectionMethod kept = static_cast<SelectionMethod>(9);
    const std::tuple<std::set<int>, const char*, SelectionMethod> cases[] = {
        {{2025}, "2", SelectionMethod::MaxDiscr},      {{2024}, "3", SelectionMethod::Shannon},
        {{2026}, "2", SelectionMethod::MinCost},       {{2025, 2024}, "3", SelectionMethod::Shannon},
        {{2026, 2025}, "2", SelectionMethod::MinCost}, {{}, "2", kept}};
    for (const auto& [selected, groups, method] : cases) {
        RecordingAccess controls;
        controls.groups = groups;
        controls.selected = selected;
        RunSettings settings;
        settings.selectionMethod = kept;
        readRunSettings(controls, settings);
        std::vector<int> expected = order;
        if (groups[0] == '3') expected.erase(expected.begin() + 3, expected.begin() + 7);
        EXPECT_EQ(controls.read, expected) << groups;
        EXPECT_EQ(settings.selectionMethod, method);
    }
}

// Every option that readRunSettings fills, for whole-record comparisons.
static auto options(RunSettings& s) {
    return std::tie(s.maxTestLength, s.groupCount, s.testsPerPerson, s.selectionMethod, s.randomizationFactor,
                    s.sprtAlpha, s.sprtBeta, s.costPassPass, s.costPassFail, s.costFailPass, s.costFailFail,
                    s.dropItems, s.blockEnemies, s.saveExposure, s.uniformPriors, s.followScript, s.useSprt);
}

TEST(ReadRunSettings, ReadsTheWindowByTheNumberRuleAndKeepsTheCostsUnlessNCategoriesIsTwo) {
    RecordingWindow ui;
    RunSettings read;  // every option away from the window's first values
    options(read) =
        std::tuple(0, 0, 0, SelectionMethod::MaxDiscr, 0, 0., 0., 9., 9., 9., 9., true, true, false, false, true, true);
    readRunSettings(*ui.window, read);
    EXPECT_EQ(options(read), std::tuple(80, 2, 1, SelectionMethod::Shannon, 1, .05, .05, 0.0, 1.5, 1.0, 0.0, false,
                                        false, true, true, false, false));

    for (int box : {1090, 3035, 3050, 2095, 2131, 2080}) ui.click(box);
    ui.select(id::minCost);
    const std::pair<int, const char*> typed[] = {
        {2087, "2.5"},  {2008, "3"}, {2009, ""},  {2029, "3.5"}, {3911, " 0.05 percent"},
        {3912, "&H10"}, {2300, "7"}, {2301, "7"}, {2302, "7"},   {2303, "abc"}};
    for (const auto& [box, text] : typed) ui.box(box)->ChangeValue(text);
    readRunSettings(*ui.window, read);
    EXPECT_EQ(options(read), std::tuple(2, 3, 0, SelectionMethod::MinCost, 4, .05, 16.0, 0.0, 1.5, 1.0, 0.0, true, true,
                                        false, false, true, true));
    ui.box(id::groupCount)->ChangeValue("2");
    readRunSettings(*ui.window, read);
    EXPECT_EQ(std::tie(read.costPassPass, read.costPassFail, read.costFailPass, read.costFailFail),
              std::tuple(7.0, 7.0, 7.0, 0.0));
}

}  // namespace quillon::ui
