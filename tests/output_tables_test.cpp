#include "quillon/output_tables.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace quillon {
namespace {

namespace fs = std::filesystem;

TEST(NumberForms, PlainAndMasks) {
    const struct {
        double value;
        const char* plain;  // nullptr: not written in plain form
        const char* four;
        const char* three;
    } cases[] = {
        {0, "0", ".0000", ".000"},
        {0.5, ".5", ".5000", ".500"},
        {0.85, ".85", ".8500", ".850"},
        {1, "1", "1.0000", "1.000"},
        {2, "2", "2.0000", "2.000"},
        {0.0625, ".0625", ".0625", ".062"},     // an exact half rounds to the even digit
        {0.03125, ".03125", ".0312", ".031"},
        {1.0 / 3.0, ".333333333333333", ".3333", ".333"},
        {2.0 / 3.0, ".666666666666667", ".6667", ".667"},
        {std::nan(""), nullptr, ".0000", ".000"},  // 0/0
        // Rounding works on the exact binary value: .00015 is stored just below the half, .00005 above.
        {0.00015, ".00015", ".0001", ".000"},
        {0.00005, ".00005", ".0001", ".000"},
        {0.0005, ".0005", ".0005", ".001"},
        {0.99995, ".99995", "1.0000", "1.000"},
        {0.00001, ".00001", ".0000", ".000"},
        {1e-15, ".000000000000001", ".0000", ".000"},
        {1e-16, "1E-16", ".0000", ".000"},
        {0.1 + 0.2, ".3", ".3000", ".300"},
        {-0.25, "-.25", "-.2500", "-.250"},
        {100, "100", "100.0000", "100.000"},
        {1234.5, "1234.5", "1234.5000", "1234.500"},
        {123456789012345, "123456789012345", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        if (c.plain) {
            EXPECT_EQ(formatPlain(c.value), c.plain) << c.value;
        }
        if (c.four) {
            EXPECT_EQ(formatDecimals(c.value, 4), c.four) << c.value;
        }
        if (c.three) {
            EXPECT_EQ(formatDecimals(c.value, 3), c.three) << c.value;
        }
    }
}

TEST(NumberForms, ThousandsAndPercent) {
    EXPECT_EQ(formatThousands(0) + formatThousands(999) + formatThousands(1000) + formatThousands(1234567),
              " 0 999 1,000 1,234,567");
    const std::int64_t cases[][3] = {{1, 8, 12}, {3, 8, 38}, {2, 3, 67}, {1, 200, 0}, {3, 200, 2}, {5, 5, 100}, {1, 0, 0}};
    for (const auto& c : cases) EXPECT_EQ(roundedPercent(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
}

const char* resultsHeader =
    "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,"
    ",BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";

// Four examinees, one test each; at length 5 MAP classed 3 accurately and 1 as a false negative
// (probability sum 3.1), the SPRT decided 2, both accurate, and Bayes classed all 4 (sum 3.3).
RunStatistics exampleRun() {
    RunStatistics run;
    run.testsStarted = 4;
    run.lengths.resize(5);
    LengthStatistics& s = run.lengths[4];
    s.mapAccurate = 3;
    s.mapFalseNeg = 1;
    s.mapProbSum = 3.1;
    s.sprtDecided = 2;
    s.sprtAccurate = 2;
    s.bayesAccurate = 4;
    s.bayesProbSum = 3.3;
    return run;
}

TEST(ResultsTable, TwoGroups) {
    std::string expected = resultsHeader;
    for (int n = 1; n <= 4; ++n)
        expected += std::to_string(n) + ",.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n";
    expected += "5,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,,1.0000,.0000,.0000,.8250\r\n";
    EXPECT_EQ(resultsTableText(exampleRun(), 2), expected);
}

TEST(ResultsTable, ThreeGroupsEndEachLineWithAComma) {
    RunStatistics run = exampleRun();
    run.lengths.erase(run.lengths.begin(), run.lengths.begin() + 3);  // lengths 1 and 2 now
    run.lengths[0].mapFalsePos = 2;
    run.lengths[0].mapAccurate = 2;
    run.lengths[0].mapProbSum = 2;
    std::string expected = resultsHeader;
    expected += "1,.5000,.5000,.0000,.5000,,.000,.0000,.0000,.0000,\r\n";
    expected += "2,.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n";
    EXPECT_EQ(resultsTableText(run, 3), expected);
}

TEST(ExposureTable, LayoutAndReloadAsPool) {
    // A1's own drop flag is not carried over: the table flags what the run never used.
    const std::string poolText =
        "Item,Coll,Cal,Drop,Fail,Pass\r\nN, , , ,120,80 \r\nP_Grp,,,,0.5,0.5\r\n"
        "A1,3,9,1,0.80,.3\r\n\"B2\",1,,,.5,.25\r\nC3,2,,,1,0\r\n";
    const struct {
        std::int32_t groups;
        std::vector<std::int64_t> used;
        std::string table;
        std::vector<std::string> kept;
        std::vector<double> keptP;
    } cases[] = {
        {2, {25, 0, 1},
         "Item_ID,Collection,Freq,dropQQ,1,2\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5\r\n"
         "A1,3,25, ,.8,.3\r\nB2,1,0,1,.5,.25\r\nC3,2,1, ,1,0\r\n",
         {"A1", "C3"}, {0.8, 0.3, 1, 0}},
        {3, {0, 7, 0},
         "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN, , , ,120,80 \r\nP_Grp, , , ,.5,.5,0\r\n"
         "A1,3,0,1,.8,.3,0\r\nB2,1,7, ,.5,.25,0\r\nC3,2,0,1,1,0,0\r\n",
         {"B2"}, {0.5, 0.25, 0}},
    };
    for (const auto& c : cases) {
        RunSettings s;
        s.groupCount = c.groups;
        RunStatistics run;
        run.exposureCount = c.used;
        const std::string table = exposureTableText(run, parsePool(poolText, s, "p"));
        EXPECT_EQ(table, c.table);

        // Loaded again as a pool with Drop items on, it keeps exactly the items the run used.
        s.dropItems = true;
        const ItemPool again = parsePool(table, s, "p");
        EXPECT_EQ(again.itemId, c.kept);
        EXPECT_EQ(again.calibrationRow, "N, , , ,120,80 ");
        EXPECT_EQ(again.groupPrior[0], 0.5);
        EXPECT_EQ(again.pCorrect, c.keptP);
    }
}

TEST(ReplaceFileContents, ReplacesWholeOrNotAtAll) {
    const fs::path dir = fs::temp_directory_path() / ("quillon-replace-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path file = dir / "out.csv";
    const auto contents = [&] {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    std::ofstream(file, std::ios::binary) << "old content that is longer\r\n";
    EXPECT_TRUE(replaceFileContents(file.string(), "new\r\n"));
    EXPECT_EQ(contents(), "new\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no temporary left
    EXPECT_FALSE(replaceFileContents("", "x"));
    EXPECT_FALSE(replaceFileContents(dir.string(), "x"));
    EXPECT_FALSE(replaceFileContents((dir / "missing" / "out.csv").string(), "x"));
    EXPECT_EQ(contents(), "new\r\n");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace quillon
