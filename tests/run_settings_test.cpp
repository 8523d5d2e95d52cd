#include "quillon/run_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quillon {
namespace {

TEST(ReadNumber, LongestNumericPrefixAfterBlanks) {
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"", 0},        {"80", 80},        {".05", 0.05},      {"5E-2", 0.05},   {" 0.05 percent", 0.05},
        {"abc", 0},     {"12abc", 12},     {"\t\r\n 7", 7},    {"-3.5", -3.5},   {"+4", 4},
        {"1.", 1},      {".", 0},          {"- 5", 0},         {"1.2.3", 1.2},   {"1E", 1},  // no exponent digits
        {"1e+2x", 100}, {"1.5D2", 150},    {"2.5d-1", 0.25},   {"&H10", 16},     {"&h1f", 31},
        {"&HFFg", 255}, {"&H", 0},         {"&B101", 5},       {"&b102", 2},     {"&O17", 15},
        {"&Q17", 15},   {"&O18", 1},       {" &H10", 16},      {"&X5", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(readNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(ReadInteger, RoundsHalvesToEven) {
    const std::int32_t max = std::numeric_limits<std::int32_t>::max(), min = std::numeric_limits<std::int32_t>::min();
    const struct {
        const char* text;
        std::int32_t value;
    } cases[] = {
        {"2.5", 2},     {"3.5", 4},     {"-0.5", 0},  {"0.5", 0},   {"1.5", 2},       {"-1.5", -2},        {"2.4999", 2},
        {"2.5001", 3},  {"", 0},        {"&H10", 16}, {"7 items", 7}, {"1E10", max},  {"-1E10", min},
    };
    for (const auto& c : cases) EXPECT_EQ(readInteger(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(roundToInteger(std::nan("")), 0);
}

TEST(RunSettings, DefaultsAndSamplePaths) {
    RunSettings s;
    // Predicted-then-actual: Pass/Pass, Pass/Fail, Fail/Pass, Fail/Fail.
    EXPECT_EQ((std::vector<double>{s.costPassPass, s.costPassFail, s.costFailPass, s.costFailFail}),
              (std::vector<double>{0.0, 1.5, 1.0, 0.0}));
    EXPECT_EQ(s.sprtAlpha, readNumber(".05"));
    EXPECT_EQ(s.selectionMethod, "Shannon");
    setDefaultPaths(s, "C:\\work", '\\');
    EXPECT_EQ(s.poolFile, "C:\\work\\data\\samplepassfail_pool.csv");
    EXPECT_EQ(s.responseFile, "C:\\work\\data\\samplepassfail.txt");
    EXPECT_EQ(s.exposureFile, "C:\\work\\data\\samplepassfail_expos.csv");
}

TEST(CheckRunSettings, RefusesWhatNoRunCanUse) {
    const struct {
        void (*change)(RunSettings&);
        bool accepted;
    } cases[] = {
        {[](RunSettings&) {}, true},
        {[](RunSettings& s) { s.groupCount = 1; }, false},
        {[](RunSettings& s) { s.groupCount = 5; }, true},
        {[](RunSettings& s) { s.testsPerPerson = 0; }, false},
        {[](RunSettings& s) { s.testsPerPerson = 5; }, true},
        {[](RunSettings& s) { s.testsPerPerson = 6; }, false},  // exclusion marks hold five tests
        {[](RunSettings& s) { s.maxTestLength = 0; }, false},
        {[](RunSettings& s) { s.selectionMethod = "MinCost"; }, true},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row) {
        RunSettings s;
        cases[row].change(s);
        EXPECT_EQ(checkRunSettings(s).empty(), cases[row].accepted) << "row " << row;
    }
    RunSettings s;
    s.selectionMethod = "shannon";  // compared by exact text
    EXPECT_EQ(checkRunSettings(s), " error in adaptby");
}

}  // namespace
}  // namespace quillon
