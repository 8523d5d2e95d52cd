// The chart model: reading the tables back, axes, series for edge data, and well-formed SVG and HTML.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "failure_text.h"
#include "quillon/charts/chart_model.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/confusion_map.h"
#include "quillon/charts/paired_chart.h"
#include "quillon/charts/report.h"
#include "quillon/charts/study_report.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/confusion_table.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/stopping_table.h"

namespace quillon::charts {
namespace {

const std::string golden = std::string(QUILLON_SOURCE_DIR) + "/tests/golden/";
const std::string header =
    "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,,"
    "BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";
const std::string twoGroupLine = ",.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,,1.0000,.0000,.0000,.8250\r\n";
const std::string threeGroupLine = ",.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n";
const std::string zeroLine = ",.0000,.0000,.0000,.0000,,.000,.0000,.0000,.0000,,.0000,.0000,.0000,.0000\r\n";

std::string results(const std::string& line, int lengths) {
    std::string text = header;
    for (int n = 1; n <= lengths; ++n) text += std::to_string(n) + line;
    return text;
}

// The count the test confusion tables hold for a cell: distinct everywhere, none in SPRT row 2 at length 1.
std::int64_t confusionCount(int length, const std::string& rule, int trueGroup, int decided) {
    if (rule == "SPRT" && length == 1 && trueGroup == 2) return 0;
    return (trueGroup == decided ? 40 : 3) * length + trueGroup * 7 + decided + (rule == "SPRT" ? 0 : 11);
}

RunTables run(const std::string& text, const std::string& label = "run") {
    const Outcome<ResultsTable> read = parseResultsTable(text, label);
    EXPECT_TRUE(read.ok()) << failureText(read);
    RunTables tables;
    tables.label = label;
    tables.results = read.value();
    return tables;
}

// Parses XML with expat and counts the elements of each name; empty when it is not well-formed.
struct XmlCount {
    std::map<std::string, int> elements;
    std::string error;
};

XmlCount parseXml(const std::string& text) {
    XmlCount count;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &count.elements);
    XML_SetStartElementHandler(parser, [](void* data, const XML_Char* name, const XML_Char**) {
        ++(*static_cast<std::map<std::string, int>*>(data))[name];
    });
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_ERROR) {
        count.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                      std::to_string(XML_GetCurrentLineNumber(parser));
    }
    XML_ParserFree(parser);
    return count;
}

TEST(TableReader, ReadsTheTablesQuillonWrites) {
    const auto two = readResultsFile(golden + "sample_results.csv");
    ASSERT_TRUE(two.ok()) << failureText(two);
    EXPECT_TRUE(two.value().hasBayes);
    ASSERT_EQ(two.value().rows.size(), 80u);
    EXPECT_EQ(two.value().rows[79].length, 80);
    const auto three = readResultsFile(golden + "three_shannon_results.csv");
    ASSERT_TRUE(three.ok()) << failureText(three);
    EXPECT_FALSE(three.value().hasBayes);
    EXPECT_EQ(three.value().rows.size(), 40u);
    EXPECT_DOUBLE_EQ(three.value().rows[0].mapAccurate, 0.4633);
    const auto exposure = readExposureFile(golden + "three_shannon_expos.csv");
    ASSERT_TRUE(exposure.ok()) << failureText(exposure);
    EXPECT_EQ(exposure.value().groupCount, 3);
    EXPECT_EQ(exposure.value().items.size(), 200u);

    // An identifier with a comma comes quoted, as poolField writes it; LF-only line ends still read.
    const auto quoted = parseExposureTable(
        "Item_ID,Collection,Freq,dropQQ,1,2\nN,,,,1,1\nP_Grp, , , ,.5,.5\n\"A,\"\"1\",2,7, ,.3,.9\nB,1,0,1,.2,1\n",
        "q");
    ASSERT_TRUE(quoted.ok()) << failureText(quoted);
    EXPECT_EQ(quoted.value().items[0].id, "A,\"1");
    EXPECT_EQ(quoted.value().items[0].uses, 7);
}

TEST(TableReader, RefusesAnythingElseNamingFileAndLine) {
    const std::string exposureHead = "Item_ID,Collection,Freq,dropQQ,1,2\r\nN,,,,1,1\r\nP_Grp, , , ,.5,.5\r\n";
    struct Case {
        std::string text;
        bool exposure;
        std::string problem;
    };
    const Case cases[] = {
        {"", false, "t.csv is empty"},
        {"Nitems,MAP_Accurate\r\n1,.5\r\n", false, "t.csv, line 1: not the header"},
        {header, false, "t.csv has no lines after its header"},
        {results(twoGroupLine, 2).substr(0, results(twoGroupLine, 2).size() - 2), false,
         "line 3: the line has no line end"},
        {header + "1,.7500,.0000\r\n", false, "line 2: has 3 fields"},
        {header + "1" + twoGroupLine + "2" + threeGroupLine, false, "line 3: has 11 fields where line 2 has 15"},
        {header + "2" + twoGroupLine, false, "line 2: the test length is \"2\"; expected 1"},
        {header + "1,0.7500,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n", false,
         "line 2: column 2 holds \"0.7500\""},
        {header + "1,.7500,.0000,.2500,.7750,,.5000,1.0000,.0000,.0000,\r\n", false,
         "column 7 holds \".5000\", not a number with 3"},
        {header + "1,.75,.0000,.2500,.7750,,.500,1.0000,.0000,.0000,\r\n", false, "column 2 holds \".75\""},
        {header + "1,.7500,.0000,.2500,.7750,x,.500,1.0000,.0000,.0000,\r\n", false, "columns 6 and 11 must be empty"},
        {header + "1" + twoGroupLine + "\r\n", false, "line 3: has 1 fields"},
        {"Item_ID,Collection,Freq,dropQQ\r\n", true, "line 1: not the header of a Quillon exposure table"},
        {"Item_ID,Collection,Freq,dropQQ,1,3\r\n", true, "line 1: not the header"},
        {exposureHead, true, "t.csv has no item lines"},
        {"Item_ID,Collection,Freq,dropQQ,1,2\r\nN\r\nP_Grp,,,,.5,.5\r\nA,1,1, ,.2,.3\r\n", true,
         "line 3: not the P_Grp line"},
        {exposureHead + "A,1,0, ,.2,.3\r\n", true, "line 4: the dropQQ column does not match"},
        {exposureHead + "A,1,3,1,.2,.3\r\n", true, "line 4: the dropQQ column does not match"},
        {exposureHead + "A,1,x, ,.2,.3\r\n", true, "line 4: the collection and the use count"},
        {exposureHead + "A,1,3, ,.2\r\n", true, "line 4: has 5 fields; expected 6"},
        {exposureHead + "A,1,3, ,.2,0.3\r\n", true, "line 4: column 6 holds \"0.3\""},
        {exposureHead + "\"A,1,3, ,.2,.3\r\n", true, "line 4: the item identifier is not followed by a comma"},
        {exposureHead + "A,1,3, ,.2,.3", true, "line 4: the line has no line end"},
    };
    for (const Case& c : cases) {
        const std::string problem = c.exposure ? failureText(parseExposureTable(c.text, "t.csv"))
                                               : failureText(parseResultsTable(c.text, "t.csv"));
        EXPECT_NE(problem.find(c.problem), std::string::npos) << "got: " << problem << "\nwanted: " << c.problem;
    }
    EXPECT_NE(failureText(readResultsFile("/nonexistent/r.csv")).find("/nonexistent/r.csv cannot be read"),
              std::string::npos);
}

TEST(ChartAxes, NiceTicksCoverEdgeRanges) {
    struct Case {
        Axis axis;
        double low, high;
        std::vector<std::string> labels;
    };
    const Case cases[] = {
        {niceAxis(0, 80, 8, true), 0, 80, {"0", "10", "20", "30", "40", "50", "60", "70", "80"}},
        {niceAxis(0, 1, 8, true), 0, 1, {"0", "1"}},  // a single test length
        {niceAxis(0, 7, 8, true), 0, 7, {"0", "1", "2", "3", "4", "5", "6", "7"}},
        {niceAxis(0, 0, 5, false), 0, 1, {"0.0", "0.2", "0.4", "0.6", "0.8", "1.0"}},
        {niceAxis(3, 3, 5, false), 1, 5, {"1", "2", "3", "4", "5"}},
        {niceAxis(0.0625, 0.3, 4, false), 0, 0.3, {"0.0", "0.1", "0.2", "0.3"}},
        {niceAxis(0, 301, 8, true), 0, 350, {"0", "50", "100", "150", "200", "250", "300", "350"}},
        {percentAxis(0, 0, false), 0, 1, {"0%", "20%", "40%", "60%", "80%", "100%"}},  // all zeros
        {percentAxis(0, 1, false), 0, 1, {"0%", "20%", "40%", "60%", "80%", "100%"}},  // all ones
        {percentAxis(0, 0, true), 0, 0.1, {"0%", "2%", "4%", "6%", "8%", "10%"}},
        {percentAxis(0, 0.073, true), 0, 0.1, {"0%", "2%", "4%", "6%", "8%", "10%"}},
        {percentAxis(0, 0.31, true), 0, 0.4, {"0%", "10%", "20%", "30%", "40%"}},
        {percentAxis(-0.25, 1.3, false), -0.5, 1.5, {"-50%", "0%", "50%", "100%", "150%"}},
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(c.axis.low, c.low, 1e-12);
        EXPECT_NEAR(c.axis.high, c.high, 1e-12);
        EXPECT_EQ(c.axis.tickLabels, c.labels);
        ASSERT_EQ(c.axis.ticks.size(), c.axis.tickLabels.size());
        EXPECT_NEAR(c.axis.ticks.front(), c.axis.low, 1e-12);
        EXPECT_NEAR(c.axis.ticks.back(), c.axis.high, 1e-12);
    }
}

std::vector<std::string> names(const Chart& chart) {
    std::vector<std::string> out;
    for (const Series& s : chart.series) out.push_back(s.name);
    return out;
}

int presentPoints(const Series& series) {
    int count = 0;
    for (const auto& p : series.points) count += p.has_value();
    return count;
}

const Chart& chartOf(const std::vector<Chart>& charts, const std::string& id) {
    const auto found = std::find_if(charts.begin(), charts.end(), [&](const Chart& c) { return c.id == id; });
    if (found == charts.end()) throw std::runtime_error("no chart " + id);
    return *found;
}

std::vector<std::string> ids(const std::vector<Chart>& charts) {
    std::vector<std::string> out;
    for (const Chart& chart : charts) out.push_back(chart.id);
    return out;
}

TEST(ChartModel, SeriesAndLegendForEdgeData) {
    // Two groups: every rule; three groups: no Bayes series anywhere. Errors in two panels.
    const std::vector<Chart> two = buildCharts({run(results(twoGroupLine, 3))});
    EXPECT_EQ(ids(two), (std::vector<std::string>{"accuracy", "sprt-decided", "false-positives", "false-negatives",
                                                  "mean-probability"}));
    // Bayes risk is at 100% from length 1: a diamond marks where it first reaches 90, 95 and 99%.
    EXPECT_EQ(names(two[0]), (std::vector<std::string>{"MAP", "SPRT (of decided)", "Bayes risk",
                                                       "First length reaching 90, 95, 99%"}));
    EXPECT_EQ(two[0].series[3].points, (std::vector<std::optional<std::pair<double, double>>>{std::pair{1.0, 1.0}}));
    EXPECT_EQ(names(two[2]), (std::vector<std::string>{"MAP", "SPRT (of decided)", "Bayes risk"}));
    EXPECT_EQ(two[2].y.low, two[3].y.low);
    EXPECT_EQ(two[2].y.high, two[3].y.high);  // the error panels share their axis
    EXPECT_EQ(names(two[4]), (std::vector<std::string>{"MAP", "Bayes risk"}));
    EXPECT_EQ(two[0].x.title, "Test length (items)");
    EXPECT_EQ(two[0].y.tickLabels.back(), "100%");
    EXPECT_EQ(two[0].y.low, 0.5);  // from chance, labelled
    EXPECT_EQ(two[0].references.at(0).label, "Chance: 50%");
    EXPECT_EQ(two[0].series[0].points[2], (std::pair{3.0, 0.75}));
    EXPECT_TRUE(two[1].strip);
    const std::vector<Chart> three = buildCharts({run(results(threeGroupLine, 3))});
    EXPECT_EQ(names(three[0]), (std::vector<std::string>{"MAP", "SPRT (of decided)"}));
    EXPECT_EQ(three[2].series.size(), 2u);
    EXPECT_EQ(names(three[4]), (std::vector<std::string>{"MAP"}));
    EXPECT_EQ(three[0].y.low, 0);  // neither exposure nor confusion table: chance unknown

    // 0/0 rows: the table writes them as 0, but no rule had a case, so nothing is plotted as 0%.
    const std::vector<Chart> empty = buildCharts({run(results(zeroLine, 5))});
    for (const Chart& chart : empty) {
        EXPECT_FALSE(chart.hasData()) << chart.id;
        EXPECT_EQ(chart.y.low, chart.id == "accuracy" ? 0.5 : 0) << chart.id;
    }
    // The SPRT decided for nobody at length 1 only: its accuracy starts at length 2.
    const std::vector<Chart> late =
        buildCharts({run(header + "1,.7500,.0000,.2500,.7750,,.000,.0000,.0000,.0000,\r\n2" + threeGroupLine)});
    EXPECT_EQ(late[0].series[1].points[0], std::nullopt);
    EXPECT_EQ(presentPoints(late[0].series[1]), 1);
    EXPECT_EQ(presentPoints(late[1].series[0]), 2);  // decided share 0% at length 1 is a real 0

    // Several runs: a panel per rule, colour means the run on every chart, every accuracy panel
    // on one axis.
    RunTables a = run(results(twoGroupLine, 4), "A"), b = run(results(threeGroupLine, 9), "B");
    b.exposure = ExposureTable{3, {{"I1", 9}}};
    const std::vector<Chart> both = buildCharts({a, b});
    EXPECT_EQ(ids(both),
              (std::vector<std::string>{"accuracy-map", "accuracy-sprt", "accuracy-bayes", "sprt-decided",
                                        "false-positives-map", "false-negatives-map", "false-positives-sprt",
                                        "false-negatives-sprt", "false-positives-bayes", "false-negatives-bayes",
                                        "mean-probability-map", "mean-probability-bayes", "exposure"}));
    EXPECT_EQ(names(chartOf(both, "accuracy-map")), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(names(chartOf(both, "accuracy-bayes")),
              (std::vector<std::string>{"A", "First length reaching 90, 95, 99%"}));
    for (const Chart& chart : both) {
        for (const Series& series : chart.series) {
            if (series.name == "A" || series.name == "B") {
                EXPECT_EQ(series.style.colour, runColour(series.name == "A" ? 0 : 1)) << chart.id;
            }
        }
        if (chart.id.starts_with("accuracy")) {
            EXPECT_NEAR(chart.y.low, 1.0 / 3, 1e-12) << chart.id;  // the lower chance of the two
            EXPECT_EQ(chart.references.size(), 2u);
            EXPECT_EQ(chart.references[1].label, "Chance with 3 groups: 33.3%");
        }
    }
    EXPECT_NE(both[0].series[0].style.dash, both[0].series[1].style.dash);
    EXPECT_EQ(both[0].x.high, 10);  // the longer run sets the length axis
}

ExposureTable exposure(std::vector<std::int64_t> uses) {
    ExposureTable table{2, {}};
    for (std::size_t i = 0; i < uses.size(); ++i) table.items.push_back({"I" + std::to_string(i), uses[i]});
    return table;
}

TEST(ChartModel, ExposureFiguresAndChart) {
    // 3 tests of 2 items: rates 1, 1/3, 0, 2/3; overlap N Var(r) / L + L / N = 5/18 + 1/2.
    const auto figures = exposureFigures(exposure({3, 1, 0, 2}), 2);
    ASSERT_TRUE(figures);
    EXPECT_EQ(figures->tests, 3);
    EXPECT_EQ(figures->itemsUsed, 3);
    EXPECT_DOUBLE_EQ(figures->maxRate, 1.0);
    EXPECT_DOUBLE_EQ(figures->neverUsedShare, 0.25);
    EXPECT_NEAR(figures->meanOverlap, 7.0 / 9.0, 1e-15);
    EXPECT_FALSE(exposureFigures(exposure({3, 2}), 2));  // 5 uses are no whole number of 2-item tests
    EXPECT_EQ(exposureFigures(exposure({0, 0}), 2)->tests, 0);

    RunTables tables = run(results(twoGroupLine, 2));
    tables.exposure = exposure({1, 3, 0, 2});
    tables.exposureFile = "e.csv";
    const std::vector<Chart> charts = buildCharts({tables});
    const Chart& chart = chartOf(charts, "exposure");
    EXPECT_EQ(chart.series[0].points[0], (std::pair{1.0, 1.0}));  // sorted by use, as a share of 3 tests
    EXPECT_EQ(chart.series[0].points[3], (std::pair{4.0, 0.0}));
    EXPECT_EQ(chart.notes,
              (std::vector<std::string>{
                  "maximum exposure rate 100.0%; 3 of 4 items used, 25.0% never used; mean test overlap 77.8%."}));
    tables.exposure = exposure({1, 3, 0, 1});
    tables.resultsFile = "r.csv";
    EXPECT_EQ(failureText(checkRunPairs({tables})),
              "e.csv does not belong to r.csv: its use counts are not a whole number of tests of 2 items.");
}

// A controlled run's exposure charts carry its target line, on the axis however low the rates;
// an uncontrolled run's report has none and names no control.
TEST(ChartModel, AControlledRunDrawsItsTargetRate) {
    RunTables tables = run(results(twoGroupLine, 2));
    tables.exposure = exposure({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1});  // every rate 1/6
    tables.exposureFile = "e.csv";
    const std::string plain = reportHtml({tables});
    EXPECT_EQ(plain.find("target R"), std::string::npos);
    EXPECT_TRUE(chartOf(buildCharts({tables}), "exposure").references.empty());

    RunSettings settings;
    settings.exposureControl = ExposureControl::Eligibility;
    settings.maxExposure = 0.4;
    tables.exposureTarget = exposureTargetOf(settings);
    const Chart chart = chartOf(buildCharts({tables}), "exposure");
    ASSERT_EQ(chart.references.size(), 1u);
    EXPECT_EQ(chart.references[0].y, 0.4);
    EXPECT_EQ(chart.references[0].label, "target R = 0.4");
    EXPECT_GE(chart.y.high, 0.4);
    EXPECT_NE(svgElement(layoutChart(chart)).find("target R = 0.4"), std::string::npos);
    EXPECT_NE(reportHtml({tables}).find("target R = 0.4"), std::string::npos);

    // The settings list names the control only when there is one.
    const auto named = [](const RunSettings& s) {
        for (const auto& [name, value] : settingsSummary(s))
            if (name == "Exposure control") return value;
        return std::string();
    };
    EXPECT_EQ(named(settings), "eligibility, target R = 0.4");
    EXPECT_EQ(named(RunSettings{}), "");
    EXPECT_EQ(exposureTargetOf(RunSettings{}), std::nullopt);
}

// One test as the engine records it: the MAP group and its probability at each length, and the
// SPRT's decision from `sprtFrom` on (0: never).
struct TestCase {
    std::int32_t trueGroup, mapGroup;
    std::vector<double> mapProb;
    std::size_t sprtFrom = 0;
    std::int32_t sprtGroup = 0;
};

// The stopping table's text as the run writes it.
StoppingTable stoppingTable(std::int32_t length, const std::vector<double>& thresholds,
                            const std::vector<TestCase>& tests) {
    std::vector<StoppingRule> rules = {{StoppingRule::Kind::Sprt, 0}};
    for (double x : thresholds) rules.push_back({StoppingRule::Kind::PosteriorThreshold, x});
    StoppingTable table(rules, length);
    for (const TestCase& c : tests) {
        TestRecord record;
        for (std::size_t n = 0; n < c.mapProb.size(); ++n) {
            PositionOutcome p;
            p.mapGroup = c.mapGroup;
            p.mapProb = c.mapProb[n];
            p.sprtGroup = c.sprtFrom != 0 && n + 1 >= c.sprtFrom ? c.sprtGroup : 0;
            record.positions.push_back(p);
        }
        table.addTest(record, c.trueGroup);
    }
    return table;
}

// Three tests of 3 items. SPRT: test 1 stops at 2 (accurate), test 3 at 3 (accurate), test 2 never
// (its last MAP group 2 for true 1: a false positive): ATL (2 + 3 + 3) / 3. Threshold .9: test 3
// stops at 1 (.95), test 1 at 2 (.92), test 2 never: ATL (1 + 2 + 3) / 3. Fixed length: 2 of 3.
const std::vector<TestCase> threeTests = {
    {2, 2, {.6, .92, .97}, 2, 2},
    {1, 2, {.55, .6, .7}},
    {1, 1, {.95, .96, .99}, 3, 1},
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find("\r\n", at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

std::string joined(const std::vector<std::string>& rows) {
    std::string text;
    for (const std::string& row : rows) text += row + "\r\n";
    return text;
}

TEST(StoppingReader, ReadsEveryTableTheRunWrites) {
    struct Case {
        const char* what;
        std::int32_t length;
        std::vector<double> thresholds;
        std::vector<TestCase> tests;
    };
    const Case cases[] = {
        {"three tests", 3, {.9, .5}, threeTests},
        {"no test at all", 4, {.95}, {}},
        {"all undecided", 2, {.99}, {{1, 1, {.6, .7}}, {2, 1, {.5, .8}}}},
        {"one length", 1, {.95}, {{2, 2, {.97}, 1, 2}, {1, 2, {.6}}}},
    };
    for (const Case& c : cases) {
        const StoppingTable written = stoppingTable(c.length, c.thresholds, c.tests);
        const Outcome<StoppingResults> read = parseStoppingTable(written.text(), "s.csv");
        ASSERT_TRUE(read.ok()) << c.what << ": " << failureText(read);
        EXPECT_EQ(read.value().maxTestLength, c.length) << c.what;
        ASSERT_EQ(read.value().rules.size(), c.thresholds.size() + 1) << c.what;
        for (std::size_t r = 0; r < read.value().rules.size(); ++r) {
            const StoppingRulePart& rule = read.value().rules[r];
            const StoppingSummary s = written.summary(r);
            EXPECT_EQ(rule.rule, r == 0 ? "SPRT" : "Posterior");
            EXPECT_EQ(rule.stopped.size(), static_cast<std::size_t>(c.length));
            EXPECT_EQ(rule.total.tests, s.tests) << c.what;
            EXPECT_EQ(rule.undecided.tests, s.undecided) << c.what;
            EXPECT_EQ(rule.averageLength, s.averageLength()) << c.what;
            EXPECT_EQ(rule.percentCorrect, s.percentCorrect()) << c.what;
            EXPECT_EQ(rule.fixedPercentCorrect, s.fixedPercentCorrect()) << c.what;
        }
    }
    const StoppingResults three = parseStoppingTable(stoppingTable(3, {.9}, threeTests).text(), "s").value();
    EXPECT_EQ(three.rules[1].threshold, ".9");
    EXPECT_EQ(three.rules[0].stopped[1].tests, 1);
    EXPECT_EQ(three.rules[0].undecided.falsePos, 1);
    EXPECT_DOUBLE_EQ(three.rules[1].averageLength, 2.0);
    EXPECT_EQ(stoppingRuleLabel(three.rules[1]), "Posterior \xE2\x89\xA5 .9");
}

TEST(StoppingReader, RefusesAnythingElseNamingFileAndLine) {
    // Lines 2-6: SPRT stopped at 1, 2, 3, undecided, summary; lines 7-11: Posterior .9 likewise.
    const std::vector<std::string> good = lines(stoppingTable(3, {.9}, threeTests).text());
    ASSERT_EQ(good.size(), 11u);
    ASSERT_EQ(good[5],
              "SPRT,,summary,,3,2,1,0,2.66666666666667,.666666666666667,.333333333333333,0,"
              ".333333333333333,3,.666666666666667");
    const auto with = [&](std::size_t index, const std::string& line) {
        std::vector<std::string> rows = good;
        rows[index] = line;
        return joined(rows);
    };
    const auto without = [&](std::size_t index) {
        std::vector<std::string> rows = good;
        rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(index));
        return joined(rows);
    };
    std::string huge = good[0] + "\r\n";
    for (int n = 1; n <= 4; ++n)
        huge += "SPRT,,stopped," + std::to_string(n) + ",999999999999999999,999999999999999999,0,0,,,,,,,\r\n";
    struct Case {
        std::string text;
        std::string problem;
    };
    const Case cases[] = {
        {"", "s.csv is empty"},
        {"rule,threshold\r\n", "s.csv, line 1: not the header of a Quillon stopping table."},
        {good[0] + "\r\n", "s.csv has no lines after its header."},
        {joined(good).substr(0, joined(good).size() - 2), "line 11: the line has no line end"},
        {with(1, "SPRT,,stopped,1,0,0,0,0,,,,,,"), "line 2: has 14 fields; expected 15."},
        {with(1, "Posterior,.9,stopped,1,0,0,0,0,,,,,,,"), "line 2: the rule is \"Posterior\" where \"SPRT\""},
        {with(1, "SPRT,.9,stopped,1,0,0,0,0,,,,,,,"), "line 2: the threshold \".9\" does not suit the rule SPRT"},
        {with(6, "Posterior,1,stopped,1,1,1,0,0,,,,,,,"), "line 7: the threshold \"1\" does not suit"},
        {with(6, "Posterior,0.9,stopped,1,1,1,0,0,,,,,,,"), "line 7: the threshold \"0.9\""},
        {with(6, "SPRT,,stopped,1,1,1,0,0,,,,,,,"), "line 7: the rule is \"SPRT\" where \"Posterior\""},
        {without(2),
         "line 3: expected the \"stopped\" row of length 2 or the \"undecided\" row of length 1 of SPRT; "
         "found \"stopped\" with length \"3\""},
        {without(8), "line 9: expected the \"stopped\" row of length 3 of Posterior; found \"undecided\""},
        {with(2, "SPRT,,stopped,2,1,0,0,0,,,,,,,"), "line 3: columns 5 to 8 must be whole numbers"},
        {with(2, "SPRT,,stopped,2,1,1,0,-0,,,,,,,"), "line 3: columns 5 to 8"},
        {with(2, "SPRT,,stopped,2,1,1,0,0,2,,,,,,"), "line 3: columns 9 to 15 must be empty"},
        {with(2, "SPRT,,stopped,2,2,2,0,0,,,,,,,"),
         "line 6: the summary's counts are not the sums of the rows of SPRT."},
        {with(5,
              "SPRT,,summary,,3,2,1,0,2.6667,.666666666666667,.333333333333333,0,.333333333333333,3,.666666666666667"),
         "line 6: column 9 holds \"2.6667\" where the rows of SPRT give \"2.66666666666667\"."},
        {with(5, "SPRT,,summary,,3,2,1,0,2.66666666666667,.666666666666667,.333333333333333,0,.333333333333333,3,.7"),
         "line 6: column 15 holds \".7\", not a share of 3 tests."},
        {with(10, good[10].substr(0, good[10].size() - 16) + ".333333333333333"),
         "line 11: the tests and the fixed-length share differ from the SPRT's."},
        {with(3, "SPRT,,summary,,3,2,1,0,,,,,,,"),
         "line 4: expected the \"stopped\" row of length 3 or the \"undecided\" row of length 2 of SPRT; found "
         "\"summary\" with length \"\"."},
        {with(7, "SPRT,,stopped,2,1,1,0,0,,,,,,,"), "line 8: a new rule starts before the summary of Posterior .9."},
        {without(10), "line 10: the table ends before the summary row of Posterior."},
        {huge, "line 5: the counts are too large."},
    };
    for (const Case& c : cases) {
        const std::string problem = failureText(parseStoppingTable(c.text, "s.csv"));
        EXPECT_NE(problem.find(c.problem), std::string::npos) << "got: " << problem << "\nwanted: " << c.problem;
    }
    EXPECT_NE(failureText(readStoppingFile("/nonexistent/s.csv")).find("/nonexistent/s.csv cannot be read"),
              std::string::npos);
}

RunTables withStopping(RunTables tables, const StoppingTable& written) {
    const Outcome<StoppingResults> read = parseStoppingTable(written.text(), "s.csv");
    EXPECT_TRUE(read.ok()) << failureText(read);
    tables.stopping = read.value();
    tables.stoppingFile = "s.csv";
    return tables;
}

TEST(ChartModel, StoppingLengthsPerRuleWithAtlAndPcc) {
    const RunTables three = withStopping(run(results(twoGroupLine, 3)), stoppingTable(3, {.9}, threeTests));
    const std::vector<Chart> charts = buildCharts({three});
    // No exposure table: the stopping chart and the trade-off follow the length charts.
    EXPECT_EQ(ids(charts).back(), "trade-off");
    const Chart& chart = chartOf(charts, "stopping-lengths");
    EXPECT_EQ(names(chart), (std::vector<std::string>{"SPRT", "Posterior \xE2\x89\xA5 .9"}));
    EXPECT_NE(chart.series[0].style.dash, chart.series[1].style.dash);  // coinciding rules stay visible
    using P = std::optional<std::pair<double, double>>;
    EXPECT_EQ(chart.series[0].points,
              (std::vector<P>{std::pair{1.0, 0.0}, std::pair{2.0, 1.0 / 3}, std::pair{3.0, 1.0 / 3}}));
    EXPECT_EQ(chart.series[1].points[0], (std::pair{1.0, 1.0 / 3}));
    EXPECT_EQ(chart.notes[0], "SPRT: ATL 2.67 items, PCC 66.7%, 33.33% undecided.");
    EXPECT_EQ(chart.notes[1], "Posterior \xE2\x89\xA5 .9: ATL 2.00 items, PCC 66.7%, 33.33% undecided.");
    EXPECT_EQ(chart.notes[2], "Fixed length 3: PCC 66.7%.");
    EXPECT_EQ(chart.x.high, 3);
    EXPECT_EQ(chart.y.tickLabels.back(), "40%");  // the points set it; the bands are cut

    struct Edge {
        const char* what;
        RunTables tables;
        bool hasData;
        std::string note;
    };
    const Edge edges[] = {
        {"no test stopped", withStopping(run(results(twoGroupLine, 2)), stoppingTable(2, {.99}, {{1, 1, {.6, .7}}})),
         true, "SPRT: ATL 2.00 items, PCC 100.0%, 100.00% undecided."},
        {"no test at all", withStopping(run(results(zeroLine, 4)), stoppingTable(4, {.95}, {})), false,
         "SPRT: no tests."},
        {"one length", withStopping(run(results(twoGroupLine, 1)), stoppingTable(1, {.95}, {{2, 2, {.97}, 1, 2}})),
         true, "SPRT: ATL 1.00 items, PCC 100.0%, 0.00% undecided."},
    };
    for (const Edge& e : edges) {
        const Chart edge = chartOf(buildCharts({e.tables}), "stopping-lengths");
        EXPECT_EQ(edge.id, "stopping-lengths") << e.what;
        EXPECT_EQ(edge.hasData(), e.hasData) << e.what;
        EXPECT_EQ(edge.notes[0], e.note) << e.what;
        EXPECT_EQ(edge.y.low, 0) << e.what;
        EXPECT_GE(edge.y.high, 0.1) << e.what;
        for (const Series& series : edge.series)
            EXPECT_EQ(series.points.size(), static_cast<std::size_t>(e.tables.stopping->maxTestLength)) << e.what;
    }

    // Several runs: only those with a stopping table add series, named by run; the axis follows the longest.
    RunTables plain = run(results(twoGroupLine, 9), "B");
    RunTables a = three;
    a.label = "A";
    const Chart both = chartOf(buildCharts({a, plain}), "stopping-lengths");
    EXPECT_EQ(names(both), (std::vector<std::string>{"SPRT \xC2\xB7 A", "Posterior \xE2\x89\xA5 .9 \xC2\xB7 A"}));
    EXPECT_EQ(both.notes[0], "A: SPRT: ATL 2.67 items, PCC 66.7%, 33.33% undecided.");
    EXPECT_EQ(both.x.high, 10);
    EXPECT_EQ(ids(buildCharts({plain})).back(), "mean-probability");  // no stopping table, no stopping chart

    // A stopping table of another test length does not belong to the results table.
    RunTables longer = withStopping(run(results(twoGroupLine, 4)), stoppingTable(3, {.9}, threeTests));
    longer.resultsFile = "r.csv";
    EXPECT_EQ(failureText(checkRunPairs({longer})),
              "s.csv does not belong to r.csv: its tests are 3 items long, the results table's 4.");
}

TEST(SvgWriter, WellFormedWithOnePathPerSeries) {
    RunTables odd = run(results(twoGroupLine, 1), "A & <B> \"q\" \xFF\x01 end");  // single length, hostile label
    odd.exposure = exposure({1, 0});
    odd = withStopping(odd, stoppingTable(1, {.9, .95}, {{2, 2, {.97}, 1, 2}}));
    RunTables other = run(results(zeroLine, 30), "C");
    for (const std::vector<RunTables>& runs : {std::vector{odd}, std::vector{odd, other}}) {
        for (const Chart& chart : buildCharts(runs)) {
            const std::string svg = svgDocument(layoutChart(chart));
            const XmlCount parsed = parseXml(svg);
            ASSERT_EQ(parsed.error, "") << svg;
            // Every line is one path (and a faded one for its stretches on few cases).
            for (const Series& series : chart.series) {
                if (series.style.marker >= 0) continue;
                EXPECT_NE(svg.find("data-series=\"" + escapeMarkup(series.name) + "\""), std::string::npos) << chart.id;
            }
            // Every tick label and both axis titles are drawn.
            EXPECT_GE(parsed.elements.at("text"), static_cast<int>(chart.x.ticks.size() + chart.y.ticks.size() + 3));
        }
    }
    // A lone point still draws: it becomes a short stroke (faded: its share rests on one test).
    const Scene scene = layoutChart(buildCharts({odd})[0]);
    std::map<std::string, int> strokes;
    for (const Shape& shape : scene.shapes) {
        if (const auto* path = std::get_if<PathShape>(&shape)) {
            strokes[path->name] += static_cast<int>(path->runs.size());
            for (const auto& run : path->runs) EXPECT_EQ(run.size(), 2u);
            if (!path->runs.empty()) {
                EXPECT_LT(path->opacity, 1);
            }
        }
    }
    for (const auto& [name, count] : strokes) EXPECT_EQ(count, 1) << name;
    EXPECT_EQ(escapeMarkup("a\xC3\xA9<\xC3\x28\x02"), "a\xC3\xA9&lt;\xEF\xBF\xBD(");
}

TEST(Report, SelfContainedAndWellFormed) {
    RunTables tables = run(results(twoGroupLine, 12), "Run <1>");
    tables.resultsFile = "/data/r.csv";
    tables.settings = {{"Method", "MinCost"}};
    const std::string plain = reportHtml({tables});
    EXPECT_NE(plain.find("No stopping table was given"), std::string::npos);
    tables = withStopping(tables, stoppingTable(12, {.9}, {{2, 2, std::vector<double>(12, .92), 2, 2}}));
    const std::string html = reportHtml({tables, run(results(threeGroupLine, 40), "Run 2")});
    const XmlCount parsed = parseXml(html);
    ASSERT_EQ(parsed.error, "");
    // Every chart is drawn, beside the swatches of the keys.
    EXPECT_GE(parsed.elements.at("svg"),
              static_cast<int>(buildCharts({tables, run(results(threeGroupLine, 40))}).size()));
    for (const char* fetched : {"<script", "src=", "url(", "@import", "<link"})
        EXPECT_EQ(html.find(fetched), std::string::npos);
    for (const char* shown :
         {"Run &lt;1&gt;", "/data/r.csv", "MinCost", "<th>5 items</th>", "<th>40 items</th>", "75.0%",
          "<td>Run &lt;1&gt;</td><td>Posterior \xE2\x89\xA5 .9</td><td>1.00</td><td>100.0%</td><td>0.00%</td>"
          "<td>12</td><td>100.0%</td>"}) {
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    }
}

TEST(Report, WritesWholeFilesAndRefusesAMismatchedPair) {
    const auto folder = std::filesystem::temp_directory_path() / ("quillon-charts-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    RunTables tables;
    EXPECT_EQ(takeInto(loadRunTables({golden + "sample_results.csv", golden + "sample_expos.csv", "", ""}), tables),
              "");
    EXPECT_EQ(tables.label, "sample_results.csv");
    EXPECT_EQ(failureText(writeReport((folder / "r.html").string(), {tables})), "");
    EXPECT_EQ(parseXml(*readWholeFile((folder / "r.html").string())).error, "");
    EXPECT_EQ(failureText(writeChartFiles((folder / "svg").string(), {tables})), "");
    for (const char* id :
         {"accuracy", "false-positives", "false-negatives", "sprt-decided", "mean-probability", "exposure"}) {
        EXPECT_TRUE(std::filesystem::exists(folder / "svg" / (std::string(id) + ".svg"))) << id;
    }
    EXPECT_NE(failureText(writeReport((folder / "missing" / "r.html").string(), {tables})), "");
    EXPECT_EQ(
        takeInto(loadRunTables({golden + "sample_results.csv", golden + "three_shannon_expos.csv", "x", ""}), tables),
        golden + "three_shannon_expos.csv does not belong to " + golden +
            "sample_results.csv: it has 3 groups, the results table two.");
    std::filesystem::remove_all(folder);
}

// A confusion table as the engine writes it, with counts that differ in every cell.
std::string confusionText(int groups, int lengths) {
    std::string text = "length,rule,true_group,decided_group,tests\r\n";
    for (int n = 1; n <= lengths; ++n)
        for (const char* rule : {"MAP", "SPRT"})
            for (int t = 1; t <= groups; ++t)
                for (int d = 1; d <= groups; ++d)
                    text += std::to_string(n) + "," + rule + "," + std::to_string(t) + "," + std::to_string(d) + "," +
                            std::to_string(confusionCount(n, rule, t, d)) + "\r\n";
    return text;
}

TEST(ConfusionReader, ReadsTheEnginesTableAndRefusesAnythingElse) {
    const ConfusionCounts read = parseConfusionTable(confusionText(3, 4), "c.csv").value();
    EXPECT_EQ(read.groupCount, 3);
    EXPECT_EQ(read.maxTestLength, 4);
    EXPECT_EQ(read.count(4, 1, 3, 2), confusionCount(4, "SPRT", 3, 2));
    EXPECT_EQ(read.count(1, 0, 1, 1), confusionCount(1, "MAP", 1, 1));
    // The engine's own text of a table that no test reached, and a pair outside the groups.
    EXPECT_EQ(parseConfusionTable(ConfusionTable(4, 3).text(), "c").value().groupCount, 4);
    std::string outside = confusionText(2, 1);
    outside.insert(outside.find("1,SPRT,1,1"), "1,MAP,3,1,7\r\n");
    EXPECT_EQ(parseConfusionTable(outside, "c").value().outside, (std::vector<std::int64_t>{7, 0}));

    const std::string good = confusionText(2, 2);
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const struct {
        std::string text, problem;
    } cases[] = {
        {"", "c.csv is empty; it is not a confusion table."},
        {"length,rule\r\n1,MAP,1,1,2\r\n", "c.csv, line 1: not the header of a Quillon confusion table."},
        {good.substr(0, good.size() - 2), "the line has no line end; the table was cut short."},
        {replaced("1,MAP,1,2,", "1,MAP,1,2,x"), "c.csv, line 3: expected a length, MAP or SPRT"},
        {replaced("1,SPRT,", "1,BAYES,"), "c.csv, line 6: expected a length, MAP or SPRT"},
        {replaced("1,MAP,2,1,", "1,MAP,1,1,"), "c.csv, line 4: the row is out of the table's order."},
        {replaced("2,MAP,1,1,", "3,MAP,1,1,"), "c.csv, line 10: the row is out of the table's order."},
        {replaced("1,SPRT,2,2,", "1,SPRT,2,3,"), "c.csv: MAP at length 1 lacks pairs of groups 1 to 3."},
        {replaced("1,SPRT,2,1,", "1,SPRT,2,0,"), "c.csv: SPRT at length 1 lacks pairs of groups 1 to 2."},
    };
    for (const auto& c : cases) {
        const std::string problem = failureText(parseConfusionTable(c.text, "c.csv"));
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
    EXPECT_EQ(confusionLengths({}, 12), (std::vector<std::int32_t>{5, 10, 12}));
    EXPECT_EQ(confusionLengths({}, 3), (std::vector<std::int32_t>{3}));
    EXPECT_EQ(confusionLengths({20, 2, 2, 40}, 30), (std::vector<std::int32_t>{2, 20}));
}

// Every cell of a heat map carries its table's count, the row share, and the page has no note
// that only two groups give.
TEST(Report, ConfusionHeatMapsOfAThreeGroupRun) {
    RunTables tables = run(results(threeGroupLine, 12), "Run <3>");
    tables.resultsFile = "r.csv";
    tables.confusionFile = "c<1>.csv";
    tables.confusion = parseConfusionTable(confusionText(3, 12), "c").value();
    ASSERT_EQ(failureText(checkRunPairs({tables})), "");
    const std::string html = reportHtml({tables}, {1, 12, 40});
    ASSERT_EQ(parseXml(html).error, "");
    for (const char* absent : {"Bayes", "Fail classed as Pass", "c<1>"})
        EXPECT_EQ(html.find(absent), std::string::npos) << absent;
    for (const char* shown : {"False positive: classed in a higher group than the true one; false negative: in a "
                              "lower group.",
                              "MAP: share of all tests", "<td>3</td></tr>", "c&lt;1&gt;.csv", "True group",
                              "Decided group", "SPRT (of decided)", "Share of the true group"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    std::vector<std::int32_t> lengths;
    for (std::size_t at = html.find("data-confusion-length=\""); at != std::string::npos;
         at = html.find("data-confusion-length=\"", at + 1))
        lengths.push_back(std::stoi(html.substr(at + 23)));
    EXPECT_EQ(lengths, (std::vector<std::int32_t>{1, 12}));
    for (std::int32_t n : lengths) {
        const std::size_t map = html.find("data-confusion-length=\"" + std::to_string(n) + "\"");
        for (const char* rule : {"MAP", "SPRT"}) {
            const std::size_t start = html.find(std::string("<g data-rule=\"") + rule + "\">", map);
            ASSERT_NE(start, std::string::npos);
            for (int t = 1; t <= 3; ++t) {
                std::int64_t row = 0;
                for (int d = 1; d <= 3; ++d) row += confusionCount(n, rule, t, d);
                for (int d = 1; d <= 3; ++d) {
                    const std::int64_t tests = confusionCount(n, rule, t, d);
                    const std::string cell = "<g data-true=\"" + std::to_string(t) + "\" data-decided=\"" +
                                             std::to_string(d) + "\" data-tests=\"" + std::to_string(tests) + "\">";
                    const std::size_t at = html.find(cell, start);
                    ASSERT_NE(at, std::string::npos) << n << rule << cell;
                    const std::string body = html.substr(at, html.find("</g>", at) - at);
                    EXPECT_NE(body.find(">" + std::to_string(tests) + "</text>"), std::string::npos) << body;
                    const std::string share =
                        row > 0 ? percentText(static_cast<double>(tests) / static_cast<double>(row), 1)
                                : "\xE2\x80\x93";
                    EXPECT_NE(body.find(">" + share + "</text>"), std::string::npos) << body;
                }
            }
        }
    }
    // A table of other tests is refused as the stopping table is.
    RunTables other = tables;
    other.confusion = parseConfusionTable(confusionText(3, 10), "c").value();
    EXPECT_EQ(failureText(checkRunPairs({other})),
              "c<1>.csv does not belong to r.csv: its tests are 10 items long, the results table's 12.");
    other.confusion = parseConfusionTable(confusionText(2, 12), "c").value();
    EXPECT_EQ(failureText(checkRunPairs({other})),
              "c<1>.csv does not belong to r.csv: it has 2 groups, the results table not two.");
    // Two groups keep their Pass/Fail and Bayes notes; no confusion table, no section.
    const std::string two = reportHtml({run(results(twoGroupLine, 12))});
    EXPECT_NE(two.find("(Fail classed as Pass)"), std::string::npos);
    EXPECT_NE(two.find("MAP and Bayes risk: share"), std::string::npos);
    EXPECT_EQ(two.find("Confusion"), std::string::npos);
}

}  // namespace
}  // namespace quillon::charts

namespace quillon::charts {
namespace {

struct Ran {
    int code;
    std::string err;
};

Ran sim(const std::string& folder, const std::string& arguments) {
    const std::string errFile = folder + "/stderr.txt";
    const int status =
        std::system(("cd " + folder + " && " + QUILLON_SIM + " " + arguments + " >/dev/null 2>" + errFile).c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile(errFile).value_or("")};
}

TEST(ReportCommand, WritesReportsAndRefusesWithExitCodes) {
    const auto folder = std::filesystem::temp_directory_path() / ("quillon-report-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string f = folder.string();
    ASSERT_EQ(sim(f, "generate --quiet --force --items 40 --collections 2 --examinees 60 --out data").code, 0);
    ASSERT_EQ(sim(f, "--quiet --max-length 10 --method MaxDiscr --report run.html").code, 0);
    const std::string run = readWholeFile(f + "/run.html").value_or("");
    EXPECT_EQ(parseXml(run).error, "");
    for (const char* shown : {"MaxDiscr", "samplepassfail_results.csv", "<th>10 items</th>", "Maximum exposure rate",
                              "No stopping table was given"}) {
        EXPECT_NE(run.find(shown), std::string::npos) << shown;
    }
    const std::string footer = "Quillon " + std::string(quillon::programVersion) + "</footer>";
    EXPECT_NE(run.find(footer), std::string::npos);
    // With Use SPRT the run's report includes the stopping table it wrote beside the results, and the
    // confusion table it wrote.
    ASSERT_EQ(sim(f,
                  "--quiet --max-length 10 --use-sprt --stop-probability .8 --results sprt.csv --confusion sprt_c.csv "
                  "--report sprt.html")
                  .code,
              0);
    const std::string sprt = readWholeFile(f + "/sprt.html").value_or("");
    EXPECT_EQ(parseXml(sprt).error, "");
    for (const char* shown : {"<span class=\"kind\">stopping</span> sprt_stopping.csv", "<td>SPRT</td>",
                              "<td>Posterior \xE2\x89\xA5 .8</td>", "Where a variable-length test would stop",
                              "<span class=\"kind\">confusion</span> sprt_c.csv", "Confusion matrix after 10 items"}) {
        EXPECT_NE(sprt.find(shown), std::string::npos) << shown;
    }

    // A run of three groups with its confusion table.
    ASSERT_EQ(sim(f, "generate --quiet --groups 3 --items 40 --collections 2 --examinees 60 --out three/data").code, 0);
    ASSERT_EQ(sim(f + "/three",
                  "--quiet --max-length 10 --categories 3 --no-exposure --results ../c3.csv "
                  "--confusion ../c3_confusion.csv")
                  .code,
              0);

    struct Case {
        std::string arguments;
        int code;
        std::string err;
    };
    const std::string results = "data/samplepassfail_results.csv", exposure = "data/samplepassfail_expos.csv";
    const Case cases[] = {
        {"report " + results + " --exposure " + exposure + " " + golden +
             "three_shannon_results.csv --label A --label B --out two.html --svg svg",
         0, ""},
        {"report " + exposure + " --out x.html", 1, exposure + ", line 1: not the header of a Quillon results table."},
        {"report " + results + " --exposure " + golden + "three_shannon_expos.csv --out x.html", 1,
         "does not belong to"},
        {"report missing.csv --out x.html", 1, "missing.csv cannot be read."},
        {"report " + results, 2, "name the report with --out or a folder with --svg."},
        {"report " + results + " --label A --label B --out x.html", 2, "more --label names than results tables."},
        {"report --out x.html", 2, "results is required"},
        {"report sprt.csv --stopping sprt_stopping.csv --label S --out s.html", 0, ""},
        {"report " + results + " --stopping " + results + " --out x.html", 1,
         results + ", line 1: not the header of a Quillon stopping table."},
        {"report " + results + " --stopping sprt_stopping.csv --stopping sprt_stopping.csv --out x.html", 2,
         "more --stopping tables than results tables."},
        {"report c3.csv --confusion c3_confusion.csv --confusion-lengths 10,2 --out c3.html", 0, ""},
        {"report " + golden + "three_shannon_results.csv --confusion c3_confusion.csv --out x.html", 1,
         "c3_confusion.csv does not belong to " + golden + "three_shannon_results.csv: its tests are 10 items long"},
        {"report c3.csv --confusion c3.csv --out x.html", 1, "c3.csv, line 1: not the header of a Quillon confusion"},
        {"report c3.csv --confusion-lengths 5 --out x.html", 2, "--confusion-lengths needs a --confusion table."},
        {"report c3.csv --confusion c3_confusion.csv --confusion-lengths 0 --out x.html", 2, "--confusion-lengths"},
    };
    for (const Case& c : cases) {
        const Ran ran = sim(f, c.arguments);
        EXPECT_EQ(ran.code, c.code) << c.arguments << "\n" << ran.err;
        EXPECT_NE(ran.err.find(c.err), std::string::npos) << c.arguments << "\n" << ran.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "x.html"));
    const std::string two = readWholeFile(f + "/two.html").value_or("");
    EXPECT_NE(two.find("data-series=\"B\""), std::string::npos);
    EXPECT_NE(readWholeFile(f + "/s.html").value_or("").find("<td>Posterior \xE2\x89\xA5 .8</td>"), std::string::npos);
    EXPECT_EQ(parseXml(*readWholeFile(f + "/svg/exposure.svg")).error, "");
    const std::string c3 = readWholeFile(f + "/c3.html").value_or("");
    EXPECT_EQ(parseXml(c3).error, "");
    for (const char* shown : {"data-confusion-length=\"2\"", "data-confusion-length=\"10\"", "<td>3</td></tr>"})
        EXPECT_NE(c3.find(shown), std::string::npos) << shown;
    EXPECT_EQ(c3.find("Bayes"), std::string::npos);
    ASSERT_EQ(sim(f, "report c3.csv --confusion c3_confusion.csv --svg c3svg").code, 0);
    EXPECT_EQ(parseXml(readWholeFile(f + "/c3svg/confusion-10.svg").value_or("")).error, "");
    EXPECT_FALSE(std::filesystem::exists(folder / "c3svg" / "confusion-20.svg"));
    std::filesystem::remove_all(folder);
}

// A study's output folder: its report is made again from its tables, with the chosen layout, and
// nothing else in the folder changes.
TEST(ReportCommand, RemakesAStudyFoldersReport) {
    const auto folder = std::filesystem::temp_directory_path() / ("quillon-study-report-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string f = folder.string();
    ASSERT_TRUE(replaceFileContents(f + "/tiny.toml",
                                    "[study]\nname = \"tiny\"\nseed = 5\nreplications = 2\nthreads = 1\n"
                                    "output = \"tiny_output\"\n[settings]\nuse-sprt = true\n[factors]\n"
                                    "method = [\"Shannon\", \"MaxDiscr\"]\nmax-length = [4, 6]\n[data.generate]\n"
                                    "items = 30\nexaminees = 20\nscript-length = 6\n"));
    ASSERT_EQ(sim(f, "study tiny.toml --quiet").code, 0) << sim(f, "study tiny.toml --quiet").err;
    const std::string out = f + "/tiny_output/";
    std::map<std::string, std::string> tables;
    for (const char* name : {"study_results.csv", "study_outcomes.csv", "study_summary.csv", "study_conditions.csv"})
        tables[name] = readWholeFile(out + name).value_or("");
    std::filesystem::remove(out + "study_report.html");

    ASSERT_EQ(sim(f, "report tiny_output/ --panel method --rank sprt_atl").code, 0);
    const std::string html = readWholeFile(out + "study_report.html").value_or("");
    EXPECT_EQ(parseXml(html).error, "");
    for (const char* shown : {"<h1>tiny</h1>", "One panel per level of method", "lowest first", "max_length=6"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    EXPECT_NE(html.find("Quillon " + std::string(quillon::programVersion) + "</footer>"), std::string::npos);

    struct Case {
        std::string arguments;
        int code;
        std::string err;
    };
    const Case cases[] = {
        {"report tiny_output --rank nothing", 2, "quillon-sim report: The outcome to rank by, \"nothing\", is none"},
        {"report tiny_output --colour seed", 2, "quillon-sim report: The colour factor \"seed\" is none"},
        {"report tiny_output --out x.html", 2, "a study folder's report goes to its study_report.html"},
        {"report tiny_output/work --out x.html", 1, "tiny_output/work is a folder but no study's output folder"},
        {"report x.csv --panel method --out x.html", 2,
         "--panel, --colour and --rank are for a study's output folder."},
    };
    for (const Case& c : cases) {
        const Ran ran = sim(f, c.arguments);
        EXPECT_EQ(ran.code, c.code) << c.arguments << "\n" << ran.err;
        EXPECT_NE(ran.err.find(c.err), std::string::npos) << c.arguments << "\n" << ran.err;
    }
    // A report linked to one of the tables would replace it: refused.
    std::filesystem::remove(out + "study_report.html");
    std::filesystem::create_symlink("study_summary.csv", out + "study_report.html");
    EXPECT_EQ(sim(f, "report tiny_output").code, 1);
    for (const auto& [name, text] : tables) EXPECT_EQ(readWholeFile(out + name).value_or(""), text) << name;
    EXPECT_FALSE(std::filesystem::exists(f + "/x.html"));
    std::filesystem::remove_all(folder);
}

// A study's figures made by hand: method {Shannon, MaxDiscr, MinCost} by max_length {3, 4}, three
// replications, every condition referred to condition 1.
FigureSummary figure(double mean, double halfWidth) {
    FigureSummary summary;
    summary.n = 3;
    summary.mean = mean;
    summary.ciLow = mean - halfWidth;
    summary.ciHigh = mean + halfWidth;
    return summary;
}

OutcomeFigures outcome(OutcomeKind kind, const std::string& rule, std::optional<double> threshold,
                       std::optional<double> mean, double reference) {
    OutcomeFigures figures{OutcomeKey{kind, rule, threshold}, {}, {}};
    if (!mean) return figures;
    figures.summary = figure(*mean, .1);
    if (*mean != reference) figures.difference = figure(*mean - reference, .05);
    return figures;
}

StudyFigures sampleFigures() {
    StudyFigures figures;
    figures.title = "Study <A&B>";
    figures.replications = 3;
    figures.factors = {{"method", false}, {"max_length", true}};
    const std::string methods[] = {"Shannon", "MaxDiscr", "MinCost"};
    for (int m = 0; m < 3; ++m) {
        for (int maxLength : {3, 4}) {
            ConditionFigures condition;
            condition.number = static_cast<std::int64_t>(figures.conditions.size()) + 1;
            condition.reference = 1;
            condition.levels = {methods[m], std::to_string(maxLength)};
            for (std::int32_t length = 1; length <= maxLength; ++length) {
                LengthFigures line;
                line.length = length;
                line.replications = 3;
                for (std::size_t measure = 0; measure < 8; ++measure)
                    line.measures[measure] = figure(.5 + .1 * length + .02 * m, .1);  // Bayes measures missing
                line.measures[5] = length == 1 ? FigureSummary{} : figure(.9, .2);    // nothing decided at 1
                condition.lengths.push_back(line);
            }
            // SPRT: the later methods need fewer items; MinCost at length 3 has no PCC at all.
            const bool noPcc = m == 2 && maxLength == 3;
            condition.outcomes = {
                outcome(OutcomeKind::Atl, "SPRT", std::nullopt, 3 - .5 * m, 3),
                outcome(OutcomeKind::Pcc, "SPRT", std::nullopt, noPcc ? std::nullopt : std::optional(.8 + .05 * m), .8),
                outcome(OutcomeKind::Atl, "Posterior", .95, 2.5, 2.5),
                outcome(OutcomeKind::Pcc, "Posterior", .95, .75, .75),
                outcome(OutcomeKind::MaxExposureRate, "", std::nullopt, .4, .4),
            };
            figures.conditions.push_back(condition);
        }
    }
    return figures;
}

std::vector<std::string> names(const std::vector<Series>& series) {
    std::vector<std::string> out;
    for (const Series& s : series) out.push_back(s.name);
    return out;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++count;
    return count;
}

TEST(StudyReport, PanelsPerLevelAndOneColourPerLevelOnEveryChart) {
    const StudyFigures figures = sampleFigures();
    const auto sets = buildStudyCharts(figures);
    ASSERT_TRUE(sets.ok()) << failureText(sets);
    std::vector<std::string> ids;
    for (const StudyChartSet& set : *sets) ids.push_back(set.id);
    // No Bayes chart: no condition has its measures.
    EXPECT_EQ(ids, (std::vector<std::string>{"map-accuracy", "sprt-accuracy", "sprt-decided", "false-positives",
                                             "false-negatives", "trade-off"}));
    // By default one panel per max_length (fewer levels than method), colour by method.
    const StudyChartSet& map = sets->front();
    ASSERT_EQ(map.panels.size(), 2u);
    EXPECT_EQ(map.panels[0].title, "max_length=3");
    EXPECT_EQ(map.panels[1].title, "max_length=4");
    EXPECT_EQ(names(map.panels[1].series),
              (std::vector<std::string>{"method=Shannon, max_length=4", "method=MaxDiscr, max_length=4",
                                        "method=MinCost, max_length=4"}));
    EXPECT_NE(map.notes[0].find("n = 3 replications per condition; bands: 95 % interval of the mean"),
              std::string::npos);
    for (const StudyChartSet& set : *sets) {
        for (const Chart& panel : set.panels) {
            EXPECT_FALSE(panel.legend);
            // The same axes in every panel, and the same colour for the same method.
            EXPECT_EQ(panel.y.ticks, set.panels[0].y.ticks) << set.id;
            EXPECT_EQ(panel.x.ticks, set.panels[0].x.ticks) << set.id;
            for (const Series& series : panel.series) {
                const int method = series.name.starts_with("method=Shannon")    ? 0
                                   : series.name.starts_with("method=MaxDiscr") ? 1
                                                                                : 2;
                EXPECT_EQ(series.style.colour, runColour(static_cast<std::size_t>(method))) << series.name;
            }
        }
    }
    // The curve is the mean, its band the 95 % interval kept within 0 to 100%; a missing mean is a gap.
    using Pair = std::pair<double, double>;
    const Series& shannon = map.panels[0].series[0];
    ASSERT_EQ(shannon.points.size(), 3u);
    EXPECT_EQ(shannon.points[0], (Pair{1, .6}));
    EXPECT_NEAR(shannon.band[0]->first, .5, 1e-12);
    EXPECT_NEAR(shannon.band[0]->second, .7, 1e-12);
    const Series& sprt = (*sets)[1].panels[1].series[0];
    EXPECT_EQ(sprt.points[0], std::nullopt);
    EXPECT_EQ(sprt.points[1], (Pair{2, .9}));
    EXPECT_EQ(sprt.band[1], (Pair{.7, 1.0}));

    // Chosen factors; a name that is none of them, or one factor for both, is refused naming them.
    const auto byMethod = buildStudyCharts(figures, {"method", "", ""});
    ASSERT_TRUE(byMethod.ok()) << failureText(byMethod);
    EXPECT_EQ(byMethod->front().panels.size(), 3u);
    EXPECT_EQ(byMethod->front().panels[2].series[1].style.colour, runColour(1));  // max_length=4
    // Colour chosen alone: the panels go to the other factor.
    const auto colourOnly = buildStudyCharts(figures, {"", "max_length", ""});
    ASSERT_TRUE(colourOnly.ok()) << failureText(colourOnly);
    EXPECT_EQ(colourOnly->front().panels[0].title, "method=Shannon");
    struct Refusal {
        StudyReportOptions options;
        std::string message;
    };
    const Refusal refusals[] = {
        {{"length", "", ""}, "The panel factor \"length\" is none of the study's factors: method, max_length."},
        {{"", "seed", ""}, "The colour factor \"seed\" is none of the study's factors: method, max_length."},
        {{"method", "method", ""}, "The panel and colour factors must differ; both are method."},
    };
    for (const Refusal& refusal : refusals) {
        const auto refused = studyReportHtml(figures, refusal.options);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.failure().kind, FailureKind::Usage);
        EXPECT_EQ(refused.failure().message, refusal.message);
    }
    // One factor or none: one panel, coloured by the factor when there is one.
    StudyFigures oneFactor = figures;
    oneFactor.factors.pop_back();
    oneFactor.conditions.resize(3);
    for (ConditionFigures& condition : oneFactor.conditions) condition.levels.pop_back();
    oneFactor.conditions[1].levels[0] = "MinCost";
    const auto one = buildStudyCharts(oneFactor);
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one->front().panels.size(), 1u);
    EXPECT_EQ(one->front().panels[0].title, "MAP classification accuracy by test length");
    EXPECT_EQ(one->front().panels[0].series[1].style.colour, runColour(1));  // MinCost
    StudyFigures noFactor = oneFactor;
    noFactor.factors.clear();
    noFactor.conditions.resize(1);
    noFactor.conditions[0].levels.clear();
    const auto none = buildStudyCharts(noFactor);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(names(none->front().panels[0].series), (std::vector<std::string>{"condition 1"}));
}

TEST(StudyReport, TradeOffPointsWithIntervalsOverTheFixedLengthCurve) {
    const auto sets = buildStudyCharts(sampleFigures());
    ASSERT_TRUE(sets.ok());
    const StudyChartSet& tradeOff = sets->back();
    ASSERT_EQ(tradeOff.id, "trade-off");
    const Chart& panel = tradeOff.panels[0];  // max_length=3
    // Three MAP curves, then a point per rule and condition; MinCost has no SPRT PCC, so no SPRT point.
    std::vector<std::string> expected = {"method=Shannon, max_length=3", "method=MaxDiscr, max_length=3",
                                         "method=MinCost, max_length=3"};
    for (const char* rule : {"SPRT", "Posterior \xE2\x89\xA5 .95"})
        for (const char* method : {"Shannon", "MaxDiscr", "MinCost"})
            if (std::string(rule) != "SPRT" || std::string(method) != "MinCost")
                expected.push_back("method=" + std::string(method) + ", max_length=3 \xC2\xB7 " + rule);
    EXPECT_EQ(names(panel.series), expected);
    using Pair = std::pair<double, double>;
    const Series& maxDiscr = panel.series[4];
    EXPECT_EQ(maxDiscr.style.marker, 0);
    EXPECT_EQ(maxDiscr.style.colour, runColour(1));
    ASSERT_EQ(maxDiscr.points.size(), 1u);
    EXPECT_EQ(maxDiscr.points[0], (Pair{2.5, .8 + .05}));
    EXPECT_NEAR(maxDiscr.whiskers[0].x->first, 2.4, 1e-12);
    EXPECT_NEAR(maxDiscr.whiskers[0].y->second, .95, 1e-12);
    EXPECT_EQ(panel.series[5].style.marker, 1);
    EXPECT_TRUE(panel.series[0].band.empty());
    EXPECT_EQ(panel.series[0].style.marker, -1);

    // In SVG: a mark per point, whiskers, and the gap in a curve as a new run of its path.
    const std::string svg = svgDocument(layoutChart(panel, 400, 0));
    EXPECT_EQ(parseXml(svg).error, "");
    EXPECT_EQ(occurrences(svg, "data-point="), 5u);
    EXPECT_EQ(occurrences(svg, "<circle "), 2u);
    const std::string sprtSvg = svgDocument(layoutChart((*sets)[1].panels[0]));
    const std::size_t path = sprtSvg.find("<path data-series=\"method=Shannon, max_length=3\" d=\"M");
    ASSERT_NE(path, std::string::npos);
    EXPECT_EQ(occurrences(sprtSvg.substr(path, sprtSvg.find('\n', path) - path), " M"), 0u);  // starts at 2
    EXPECT_EQ(occurrences(sprtSvg, "data-band="), 3u);
}

TEST(StudyReport, PageRanksConditionsWithTheirPairedDifferences) {
    const StudyFigures figures = sampleFigures();
    const auto page = studyReportHtml(figures);
    ASSERT_TRUE(page.ok()) << failureText(page);
    const std::string& html = *page;
    const XmlCount parsed = parseXml(html);
    ASSERT_EQ(parsed.error, "");
    EXPECT_NE(html.find("<h1>Study &lt;A&amp;B&gt;</h1>"), std::string::npos);
    EXPECT_EQ(parsed.elements.at("figure"), 6);
    // One legend for the page: each method once in the key of the curves and of the trade-off.
    EXPECT_EQ(occurrences(html, "</svg>\n MaxDiscr</span>"), 2u);
    EXPECT_EQ(occurrences(html, "</svg>\n Posterior \xE2\x89\xA5 .95</span>"), 1u);
    // Ranked by SPRT PCC, highest first; the condition without it last, shown as missing, not 0.
    const auto rowOf = [&](const std::string& number) { return html.find("</svg>\n " + number + "</td>"); };
    EXPECT_NE(html.find("<h2>Conditions ranked by " + outcomeLabel({OutcomeKind::Pcc, "SPRT", std::nullopt})),
              std::string::npos);
    for (const auto& [before, after] : {std::pair{"6", "3"}, {"3", "1"}, {"1", "5"}})
        EXPECT_LT(rowOf(before), rowOf(after)) << before << " before " << after;
    const std::string last = html.substr(rowOf("5"), html.find("</tr>", rowOf("5")) - rowOf("5"));
    EXPECT_NE(last.find("<td style=\"white-space:nowrap\">\xE2\x80\x93</td>"), std::string::npos) << last;
    EXPECT_EQ(last.find("0.0%"), std::string::npos) << last;
    // The difference to the reference with its interval, in percentage points; the reference's own row.
    const std::string third = html.substr(rowOf("3"), html.find("</tr>", rowOf("3")) - rowOf("3"));
    for (const char* shown : {">85.0%<", ">75.0% to 95.0%<", ">+5.0 pp<", ">0.0 pp to +10.0 pp<"})
        EXPECT_NE(third.find(shown), std::string::npos) << shown << " in " << third;
    EXPECT_NE(html.find(">reference</td>"), std::string::npos);
    EXPECT_NE(html.find("reference: condition 1 (method=Shannon, max_length=3)."), std::string::npos);

    // Another outcome ranks lowest first; an unknown name is refused naming the choices.
    const auto byAtl = studyReportHtml(figures, {"", "", "sprt_atl"});
    ASSERT_TRUE(byAtl.ok());
    EXPECT_LT(byAtl->find("</svg>\n 6</td>"), byAtl->find("</svg>\n 1</td>"));
    EXPECT_NE(byAtl->find("lowest first"), std::string::npos);
    const auto unknown = studyReportHtml(figures, {"", "", "pcc"});
    ASSERT_FALSE(unknown.ok());
    EXPECT_EQ(unknown.failure().kind, FailureKind::Usage);
    EXPECT_EQ(unknown.failure().message,
              "The outcome to rank by, \"pcc\", is none of the study's: sprt_atl, sprt_pcc, posterior_0.95_atl, "
              "posterior_0.95_pcc, max_exposure_rate.");

    StudyFigures empty = figures;
    empty.conditions.clear();
    const auto none = studyReportHtml(empty);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(parseXml(*none).error, "");
    EXPECT_NE(none->find("The study holds no condition."), std::string::npos);
}

TEST(PairedSection, PanelsFollowTheRulesThatHavePairsAndStayWellFormed) {
    struct Case {
        const char* what;
        std::int32_t groups;
        PairedCounts map, sprt, bayes;
        std::size_t panels;
        const char* shown;
    };
    const Case cases[] = {
        {"two groups", 2, {90, 3, 5, 2}, {40, 1, 0, 1}, {88, 4, 4, 4}, 3, "+2.00"},
        {"three groups: no Bayes risk", 3, {90, 3, 5, 2}, {40, 1, 0, 1}, {}, 2, "Bayes risk: only with two groups."},
        {"no discordant pair", 2, {95, 0, 0, 5}, {}, {95, 0, 0, 5}, 2, "0 (no discordant pair)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PairedLength length;
        length.rules = {c.map, c.sprt, c.bayes};
        const PairedFigures figures{"<A & \"1\">", "B</svg>", c.groups, {length, length}};
        EXPECT_EQ(pairedChartSet(figures).panels.size(), c.panels);
        const std::string html = pairedSectionHtml(figures);
        const XmlCount xml = parseXml("<div>" + html + "</div>");
        EXPECT_EQ(xml.error, "");
        EXPECT_EQ(xml.elements.at("svg"), static_cast<int>(c.panels));
        EXPECT_EQ(html.find("B</svg>"), std::string::npos) << "labels are escaped";
        EXPECT_NE(html.find(c.shown), std::string::npos);
    }
}

}  // namespace
}  // namespace quillon::charts
