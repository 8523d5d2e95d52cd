#include "quillon/output_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <tuple>

#include "recording_host.h"

using namespace quillon;
using quillon::testing::TempFolder;

TEST(NumberForms, PlainMasksThousandsAndPercent) {
    const std::tuple<double, std::string, const char*, const char*> cases[] = {  // plain "": not written plain
        {0, "0", ".0000", ".000"},        {0.5, ".5", ".5000", ".500"},          {1, "1", "1.0000", "1.000"},
        {0.0625, ".0625", ".0625", ".062"},  // an exact half rounds to the even digit
        {1.0 / 3.0, ".333333333333333", ".3333", ".333"},  {2.0 / 3.0, ".666666666666667", ".6667", ".667"},
        {std::nan(""), "", ".0000", ".000"},  // 0/0
        // Rounding works on the exact binary value: .00015 is stored just below the half, .00005 above.
        {0.00015, ".00015", ".0001", ".000"},  {0.00005, ".00005", ".0001", ".000"},
        {0.0005, ".0005", ".0005", ".001"},    {0.99995, ".99995", "1.0000", "1.000"},
        {0.00001, ".00001", ".0000", ".000"},  {1e-15, ".000000000000001", ".0000", ".000"},
        {1e-16, "1E-16", ".0000", ".000"},     {0.1 + 0.2, ".3", ".3000", ".300"},
        {-0.25, "-.25", "-.2500", "-.250"},    {1234.5, "1234.5", "1234.5000", "1234.500"},
        {123456789012345, "123456789012345", "123456789012345.0000", "123456789012345.000"},
    };
    for (const auto& [value, plain, four, three] : cases)
        EXPECT_EQ((plain.empty() ? "" : formatPlain(value)) + " " + formatDecimals(value, 4) + " " +
                      formatDecimals(value, 3), plain + " " + four + " " + three);
    EXPECT_EQ(formatThousands(0) + formatThousands(999) + formatThousands(1000) + formatThousands(1234567),
              " 0 999 1,000 1,234,567");
    const std::int64_t percents[][3] = {{1, 8, 12}, {3, 8, 38}, {2, 3, 67}, {3, 200, 2}, {5, 5, 100}, {1, 0, 0}};
    for (const auto& c : percents) EXPECT_EQ(roundedPercent(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
}

TEST(ResultsTable, TwoAndThreeGroups) {
    // Four tests; at length 5 MAP classed 3 accurately and 1 as a false negative (probability sum 3.1),
    // the SPRT decided 2, both accurate, and Bayes classed all 4 (sum 3.3).
    RunStatistics run;
    run.testsStarted = 4;
    run.lengths.resize(5);
    LengthStatistics& s = run.lengths[4];
    s.mapAccurate = 3, s.mapFalseNeg = 1, s.mapProbSum = 3.1, s.sprtDecided = s.sprtAccurate = 2;
    s.bayesAccurate = 4, s.bayesProbSum = 3.3;
    const std::string header =
        "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
        ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";
    std::string two = header;
    for (char n : {'1', '2', '3', '4'})
        two += n + std::string(",.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n");
    EXPECT_EQ(resultsTableText(run, 2),
              two + "5,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,,1.0000,.0000,.0000,.8250\r\n");

    // Three groups: no Bayes columns, and each line ends with a comma.
    run.lengths.erase(run.lengths.begin(), run.lengths.begin() + 3);
    LengthStatistics& one = run.lengths[0];
    one.mapAccurate = one.mapFalsePos = 2, one.mapProbSum = 2, one.sprtDecided = 4, one.sprtFalsePos = 1;
    one.sprtFalseNeg = 3;
    EXPECT_EQ(resultsTableText(run, 3), header + "1,.5000,.5000,.0000,.5000,,1.000,.0000,.2500,.7500,\r\n"
                                                 "2,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n");
}

TEST(ExposureTable, LaidOutAsAPool) {
    // A1's own drop flag is not carried over: the table flags what the run never used.
    const std::string poolText = "Item,Coll,Cal,Drop,Fail,Pass\r\nN, , , ,120,80 \r\nP_Grp,,,,0.5,0.5\r\n"
                                 "A1,3,9,1,0.80,.3\r\n\"B2\",1,,,.5,.25\r\nC3,2,,,1,0,0\r\n";
    const std::tuple<std::int32_t, std::vector<std::int64_t>, std::string> cases[] = {
        {2, {25, 0, 1}, "Item_ID,Collection,Freq,dropQQ,1,2\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5\r\n"
         "A1,3,25, ,.8,.3\r\nB2,1,0,1,.5,.25\r\nC3,2,1, ,1,0\r\n"},
        {3, {0, 7, 0}, "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5,0\r\n"
         "A1,3,0,1,.8,.3,0\r\nB2,1,7, ,.5,.25,0\r\nC3,2,0,1,1,0,0\r\n"},
    };
    for (const auto& [groups, used, table] : cases) {
        RunSettings s;
        s.groupCount = groups;
        RunStatistics run;
        run.exposureCount = used;
        EXPECT_EQ(exposureTableText(run, parsePool(poolText, s, "p")), table);
    }
}

TEST(ReplaceFileContents, ReplacesWholeOrNotAtAll) {
    const TempFolder dir;
    const std::string file = dir.write("out.csv", "old content that is longer\r\n");
    EXPECT_TRUE(replaceFileContents(file, "new\r\n"));
    EXPECT_FALSE(replaceFileContents("", "x") || replaceFileContents(dir.file(""), "x") ||
                 replaceFileContents(dir.file("missing/out.csv"), "x"));
    EXPECT_EQ(TempFolder::read(file), "new\r\n");
    const auto entries = std::filesystem::directory_iterator(dir.file(""));
    EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);  // no temporary left
}
