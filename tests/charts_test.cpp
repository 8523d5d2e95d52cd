// The chart model: reading the tables back, axes, series for edge data, and well-formed SVG and HTML.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "quillon/chart_model.h"
#include "quillon/chart_scene.h"
#include "quillon/report.h"
#include "quillon/table_reader.h"

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

RunTables run(const std::string& text, const std::string& label = "run") {
    const ReadResult<ResultsTable> read = parseResultsTable(text, label);
    EXPECT_TRUE(read.ok()) << read.problem;
    RunTables tables;
    tables.label = label;
    tables.results = read.table;
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
    ASSERT_TRUE(two.ok()) << two.problem;
    EXPECT_TRUE(two.table.hasBayes);
    ASSERT_EQ(two.table.rows.size(), 80u);
    EXPECT_EQ(two.table.rows[79].length, 80);
    const auto three = readResultsFile(golden + "three_shannon_results.csv");
    ASSERT_TRUE(three.ok()) << three.problem;
    EXPECT_FALSE(three.table.hasBayes);
    EXPECT_EQ(three.table.rows.size(), 40u);
    EXPECT_DOUBLE_EQ(three.table.rows[0].mapAccurate, 0.4633);
    const auto exposure = readExposureFile(golden + "three_shannon_expos.csv");
    ASSERT_TRUE(exposure.ok()) << exposure.problem;
    EXPECT_EQ(exposure.table.groupCount, 3);
    EXPECT_EQ(exposure.table.items.size(), 200u);

    // An identifier with a comma comes quoted, as poolField writes it; LF-only line ends still read.
    const auto quoted = parseExposureTable(
        "Item_ID,Collection,Freq,dropQQ,1,2\nN,,,,1,1\nP_Grp, , , ,.5,.5\n\"A,\"\"1\",2,7, ,.3,.9\nB,1,0,1,.2,1\n",
        "q");
    ASSERT_TRUE(quoted.ok()) << quoted.problem;
    EXPECT_EQ(quoted.table.items[0].id, "A,\"1");
    EXPECT_EQ(quoted.table.items[0].uses, 7);
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
        const std::string problem =
            c.exposure ? parseExposureTable(c.text, "t.csv").problem : parseResultsTable(c.text, "t.csv").problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << "got: " << problem << "\nwanted: " << c.problem;
    }
    EXPECT_NE(readResultsFile("/nonexistent/r.csv").problem.find("/nonexistent/r.csv cannot be read"),
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

TEST(ChartModel, SeriesAndLegendForEdgeData) {
    // Two groups: every rule; three groups: no Bayes series anywhere.
    const std::vector<Chart> two = buildCharts({run(results(twoGroupLine, 3))});
    ASSERT_EQ(two.size(), 4u);  // no exposure table, no exposure chart
    EXPECT_EQ(names(two[0]), (std::vector<std::string>{"MAP", "SPRT (of decided)", "Bayes risk"}));
    EXPECT_EQ(names(two[1]),
              (std::vector<std::string>{"MAP false pos.", "MAP false neg.", "SPRT false pos.", "SPRT false neg.",
                                        "Bayes risk false pos.", "Bayes risk false neg."}));
    EXPECT_EQ(names(two[3]), (std::vector<std::string>{"MAP", "Bayes risk"}));
    EXPECT_EQ(two[0].x.title, "Test length (items)");
    EXPECT_EQ(two[0].y.tickLabels.back(), "100%");
    EXPECT_EQ(two[0].series[0].points[2], (std::pair{3.0, 0.75}));
    const std::vector<Chart> three = buildCharts({run(results(threeGroupLine, 3))});
    EXPECT_EQ(names(three[0]), (std::vector<std::string>{"MAP", "SPRT (of decided)"}));
    EXPECT_EQ(three[1].series.size(), 4u);
    EXPECT_EQ(names(three[3]), (std::vector<std::string>{"MAP"}));

    // 0/0 rows: the table writes them as 0, but no rule had a case, so nothing is plotted as 0%.
    const std::vector<Chart> empty = buildCharts({run(results(zeroLine, 5))});
    for (const Chart& chart : empty) {
        EXPECT_FALSE(chart.hasData()) << chart.id;
        EXPECT_EQ(chart.y.low, 0);
    }
    // The SPRT decided for nobody at length 1 only: its accuracy starts at length 2.
    const std::vector<Chart> late =
        buildCharts({run(header + "1,.7500,.0000,.2500,.7750,,.000,.0000,.0000,.0000,\r\n2" + threeGroupLine)});
    EXPECT_EQ(late[0].series[1].points[0], std::nullopt);
    EXPECT_EQ(presentPoints(late[0].series[1]), 1);
    EXPECT_EQ(presentPoints(late[2].series[0]), 2);  // decided share 0% at length 1 is a real 0

    // Several runs overlay, named by their labels, told apart by dash as well as colour.
    const std::vector<Chart> both =
        buildCharts({run(results(twoGroupLine, 4), "A"), run(results(threeGroupLine, 9), "B")});
    EXPECT_EQ(names(both[0]),
              (std::vector<std::string>{"MAP \xC2\xB7 A", "SPRT (of decided) \xC2\xB7 A", "Bayes risk \xC2\xB7 A",
                                        "MAP \xC2\xB7 B", "SPRT (of decided) \xC2\xB7 B"}));
    EXPECT_EQ(names(both[2]), (std::vector<std::string>{"A", "B"}));
    EXPECT_NE(both[2].series[0].style.colour, both[2].series[1].style.colour);
    EXPECT_NE(both[0].series[0].style.dash, both[0].series[3].style.dash);
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
    ASSERT_EQ(charts.size(), 5u);
    const Chart& chart = charts[4];
    EXPECT_EQ(chart.series[0].points[0], (std::pair{1.0, 1.0}));  // sorted by use, as a share of 3 tests
    EXPECT_EQ(chart.series[0].points[3], (std::pair{4.0, 0.0}));
    EXPECT_EQ(chart.notes,
              (std::vector<std::string>{
                  "maximum exposure rate 100.0%; 3 of 4 items used, 25.0% never used; mean test overlap 77.8%."}));
    tables.exposure = exposure({1, 3, 0, 1});
    tables.resultsFile = "r.csv";
    EXPECT_EQ(checkRunPairs({tables}),
              "e.csv does not belong to r.csv: its use counts are not a whole number of tests of 2 items.");
}

TEST(SvgWriter, WellFormedWithOnePathPerSeries) {
    RunTables odd = run(results(twoGroupLine, 1), "A & <B> \"q\" \xFF\x01 end");  // single length, hostile label
    odd.exposure = exposure({1, 0});
    RunTables other = run(results(zeroLine, 30), "C");
    for (const std::vector<RunTables>& runs : {std::vector{odd}, std::vector{odd, other}}) {
        for (const Chart& chart : buildCharts(runs)) {
            const std::string svg = svgDocument(layoutChart(chart));
            const XmlCount parsed = parseXml(svg);
            ASSERT_EQ(parsed.error, "") << svg;
            EXPECT_EQ(parsed.elements.at("path"), static_cast<int>(chart.series.size())) << chart.id;
            // Every tick label and both axis titles are drawn.
            EXPECT_GE(parsed.elements.at("text"), static_cast<int>(chart.x.ticks.size() + chart.y.ticks.size() + 3));
        }
    }
    // A lone point still draws: it becomes a short stroke.
    const Scene scene = layoutChart(buildCharts({odd})[0]);
    for (const Shape& shape : scene.shapes) {
        if (const auto* path = std::get_if<PathShape>(&shape)) {
            ASSERT_EQ(path->runs.size(), 1u);
            EXPECT_EQ(path->runs[0].size(), 2u);
        }
    }
    EXPECT_EQ(escapeMarkup("a\xC3\xA9<\xC3\x28\x02"), "a\xC3\xA9&lt;\xEF\xBF\xBD(");
}

TEST(Report, SelfContainedAndWellFormed) {
    RunTables tables = run(results(twoGroupLine, 12), "Run <1>");
    tables.resultsFile = "/data/r.csv";
    tables.settings = {{"Method", "MinCost"}};
    const std::string html = reportHtml({tables, run(results(threeGroupLine, 40), "Run 2")});
    const XmlCount parsed = parseXml(html);
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.elements.at("svg"), 4);
    for (const char* fetched : {"<script", "src=", "url(", "@import", "<link"})
        EXPECT_EQ(html.find(fetched), std::string::npos);
    for (const char* shown :
         {"Run &lt;1&gt;", "/data/r.csv", "MinCost", "<th>5 items</th>", "<th>40 items</th>", "75.0%"}) {
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    }
}

TEST(Report, WritesWholeFilesAndRefusesAMismatchedPair) {
    const auto folder = std::filesystem::temp_directory_path() / ("quillon-charts-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    RunTables tables;
    EXPECT_EQ(loadRunTables({golden + "sample_results.csv", golden + "sample_expos.csv", ""}, tables), "");
    EXPECT_EQ(tables.label, "sample_results.csv");
    EXPECT_EQ(writeReport((folder / "r.html").string(), {tables}), "");
    EXPECT_EQ(parseXml(*readWholeFile((folder / "r.html").string())).error, "");
    EXPECT_EQ(writeChartFiles((folder / "svg").string(), {tables}), "");
    for (const char* id : {"accuracy", "errors", "sprt-decided", "mean-probability", "exposure"}) {
        EXPECT_TRUE(std::filesystem::exists(folder / "svg" / (std::string(id) + ".svg"))) << id;
    }
    EXPECT_NE(writeReport((folder / "missing" / "r.html").string(), {tables}), "");
    EXPECT_EQ(loadRunTables({golden + "sample_results.csv", golden + "three_shannon_expos.csv", "x"}, tables),
              golden + "three_shannon_expos.csv does not belong to " + golden +
                  "sample_results.csv: it has 3 groups, the results table two.");
    std::filesystem::remove_all(folder);
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
    ASSERT_EQ(sim(f, "generate --quiet --items 40 --collections 2 --examinees 60 --out data").code, 0);
    ASSERT_EQ(sim(f, "--quiet --max-length 10 --method MaxDiscr --report run.html").code, 0);
    const std::string run = readWholeFile(f + "/run.html").value_or("");
    EXPECT_EQ(parseXml(run).error, "");
    for (const char* shown : {"MaxDiscr", "samplepassfail_results.csv", "<th>10 items</th>", "Maximum exposure rate"}) {
        EXPECT_NE(run.find(shown), std::string::npos) << shown;
    }

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
    };
    for (const Case& c : cases) {
        const Ran ran = sim(f, c.arguments);
        EXPECT_EQ(ran.code, c.code) << c.arguments << "\n" << ran.err;
        EXPECT_NE(ran.err.find(c.err), std::string::npos) << c.arguments << "\n" << ran.err;
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "x.html"));
    const std::string two = readWholeFile(f + "/two.html").value_or("");
    EXPECT_NE(two.find("MAP \xC2\xB7 B"), std::string::npos);
    EXPECT_EQ(parseXml(*readWholeFile(f + "/svg/exposure.svg")).error, "");
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quillon::charts
