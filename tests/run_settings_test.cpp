#include "quillon/engine/run_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "failure_text.h"

using namespace quillon;

TEST(NumberRule, LongestNumericPrefixAndIntegersRoundedHalfToEven) {
    const std::pair<const char*, double> cases[] = {
        {"", 0},          {".05", 0.05},   {"5E-2", 0.05}, {" 0.05 percent", 0.05},
        {"abc", 0},       {"\t\r\n 7", 7}, {"-3.5", -3.5}, {"- 5", 0},
        {"1.2.3", 1.2},   {"1E", 1},       {"1e+2x", 100}, {"1.5D2", 150},
        {"2.5d-1", 0.25}, {"&H10", 16},    {"&h1f", 31},   {"&HFFg", 255},
        {"&H", 0},        {"&B101", 5},    {"&b102", 2},   {"&O17", 15},
        {"&Q17", 15},     {"&O18", 1},     {"&X5", 0},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(readNumber(text), value) << '"' << text << '"';
    const std::pair<const char*, std::int32_t> integers[] = {
        {"2.5", 2},    {"3.5", 4},   {"-0.5", 0},    {"-1.5", -2},        {"2.4999", 2},
        {"2.5001", 3}, {"&H10", 16}, {"7 items", 7}, {"1E10", INT32_MAX}, {"-1E10", INT32_MIN},
    };
    for (const auto& [text, value] : integers) EXPECT_EQ(readInteger(text), value) << '"' << text << '"';
    EXPECT_EQ(roundToInteger(std::nan("")), 0);
}

TEST(RunSettings, DefaultsSamplePathsAndChecks) {
    RunSettings s;
    // Costs predicted-then-actual: Pass/Pass, Pass/Fail, Fail/Pass, Fail/Fail; then alpha and beta.
    EXPECT_EQ(
        (std::vector<double>{s.costPassPass, s.costPassFail, s.costFailPass, s.costFailFail, s.sprtAlpha, s.sprtBeta}),
        (std::vector<double>{0, 1.5, 1, 0, 0.05, 0.05}));
    setDefaultPaths(s, "C:\\w", '\\');
    EXPECT_EQ(s.poolFile + " " + s.responseFile,
              "C:\\w\\data\\samplepassfail_pool.csv C:\\w\\data\\samplepassfail.txt");

    // From 1 to 5 tests per person; the selection method by its exact name.
    for (const auto& [tests, method, accepted] : {std::tuple{5, SelectionMethod::MinCost, true},
                                                  {0, SelectionMethod::MaxDiscr, false},
                                                  {5, static_cast<SelectionMethod>(3), false}}) {
        s.testsPerPerson = tests, s.selectionMethod = method;
        EXPECT_EQ(checkRunSettings(s).ok(), accepted) << tests << selectionMethodName(method);
    }
    for (const auto& [name, method] : {std::pair{"Shannon", SelectionMethod::Shannon},
                                       {"MaxDiscr", SelectionMethod::MaxDiscr},
                                       {"MinCost", SelectionMethod::MinCost}}) {
        EXPECT_EQ(selectionMethodFromName(name), method);
        EXPECT_EQ(selectionMethodName(method), name);
    }
    for (const char* name : {"shannon", "Shannon ", "", "MinCostX"})
        EXPECT_FALSE(selectionMethodFromName(name)) << name;
    const Status refused = checkRunSettings(s);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.failure().kind, FailureKind::Usage);
    EXPECT_EQ(refused.failure().message, " error in adaptby");
}

// Each refusal names the runner's option it is about, so that a package can name it its own way;
// the values at the edges are taken.
TEST(RunSettings, ProblemsNameTheirSetting) {
    const struct {
        void (*change)(RunSettings&);
        std::string_view setting;  // empty: taken
    } cases[] = {
        {[](RunSettings& s) { s.groupCount = 1; }, "categories"},
        {[](RunSettings& s) { s.testsPerPerson = 6; }, "tests-per-person"},
        {[](RunSettings& s) { s.maxTestLength = 0; }, "max-length"},
        {[](RunSettings& s) { s.selectionMethod = static_cast<SelectionMethod>(7); }, "method"},
        {[](RunSettings& s) { s.randomizationFactor = -1; }, "randomization"},
        {[](RunSettings& s) { s.randomizationFactor = 0; }, ""},  // the best item, as a factor of 1
        {[](RunSettings& s) {
             s.stopProbabilities = {.5, 1.0};
         },
         "stop-probability"},
        {[](RunSettings& s) { s.stopProbabilities = {0.0}; }, "stop-probability"},
        {[](RunSettings& s) { s.stopProbabilities = {std::nan("")}; }, "stop-probability"},
        {[](RunSettings& s) {
             s.stopProbabilities = {1e-300, 1 - 1e-16};
         },
         ""},
    };
    for (const auto& c : cases) {
        RunSettings s;
        c.change(s);
        const std::optional<RunSettingsProblem> problem = findRunSettingsProblem(s);
        EXPECT_EQ(problem.has_value(), !c.setting.empty()) << c.setting;
        EXPECT_EQ(failureText(checkRunSettings(s)), problem ? problem->failure.message : "");
        if (problem) {
            EXPECT_EQ(problem->setting, c.setting) << problem->failure.message;
        }
    }
}

namespace quillon {
namespace {

TEST(RunSettings, CostsOfRunsWithoutTwoGroupsAreZero) {
    for (const std::int32_t groups : {1, 2, 3, 10}) {
        RunSettings s;
        s.groupCount = groups;
        s.costPassPass = 0.25;
        clearUnreadCosts(s);
        const double kept = groups == 2 ? 1.0 : 0.0;
        EXPECT_EQ((std::vector<double>{s.costPassPass, s.costPassFail, s.costFailPass, s.costFailFail}),
                  (std::vector<double>{0.25 * kept, 1.5 * kept, 1.0 * kept, 0.0}))
            << groups;
    }
}

}  // namespace
}  // namespace quillon
