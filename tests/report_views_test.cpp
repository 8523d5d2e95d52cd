// The pool's charts and lists, the report's order and print blocks, text widths for the legend,
// and the names SVG files give screen readers.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "failure_text.h"
#include "quillon/charts/chart_model.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/confusion_map.h"
#include "quillon/charts/pool_diagnostics.h"
#include "quillon/charts/report.h"
#include "quillon/charts/study_report.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

const std::string golden = std::string(QUILLON_SOURCE_DIR) + "/tests/golden/";

std::string xmlError(const std::string& text) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    std::string error;
    if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_ERROR)
        error = XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    return error;
}

RunTables loaded(const std::string& results, const std::string& exposure, const std::string& label = "") {
    Outcome<RunTables> run = loadRunTables({golden + results, exposure.empty() ? "" : golden + exposure, label, ""});
    EXPECT_TRUE(run.ok()) << failureText(run);
    return run ? *run : RunTables{};
}

const Chart* chartWithId(const std::vector<Chart>& charts, const std::string& id) {
    const auto found = std::find_if(charts.begin(), charts.end(), [&](const Chart& c) { return c.id == id; });
    return found == charts.end() ? nullptr : &*found;
}

TEST(PoolTables, ExposureItemsKeepTheirCollectionAndProbabilities) {
    const std::string head = "Item_ID,Collection,Freq,dropQQ,1,2,3\r\nN,,,,1,1,1\r\nP_Grp, , , ,.3,.3,.4\r\n";
    const auto table = parseExposureTable(head + "\"A,1\",7,2, ,.2,.5,.9\r\nB,-1,0,1,1,0,.25\r\n", "t.csv");
    ASSERT_TRUE(table.ok()) << failureText(table);
    ASSERT_EQ(table->items.size(), 2u);
    EXPECT_EQ(table->items[0].id, "A,1");
    EXPECT_EQ(table->items[0].collection, 7);
    EXPECT_EQ(table->items[0].pCorrect, (std::vector<double>{.2, .5, .9}));
    EXPECT_EQ(table->items[1].collection, -1);
    EXPECT_EQ(table->items[1].pCorrect, (std::vector<double>{1, 0, .25}));
    // Every item of a table the engine wrote keeps one probability per group.
    const auto written = readExposureFile(golden + "three_shannon_expos.csv");
    ASSERT_TRUE(written.ok()) << failureText(written);
    for (const ExposureItem& item : written->items) EXPECT_EQ(item.pCorrect.size(), 3u) << item.id;
}

TEST(PoolCharts, SeparationOfTwoAndMoreGroups) {
    struct Case {
        std::vector<double> p;
        std::optional<double> separation;
    };
    const Case cases[] = {
        {{.3, .8}, .5},         {{.8, .3}, .5},  // a reversed item separates as well
        {{.2, .3, .9}, .6},                      // the widest step between neighbours, not first to last
        {{.2, .9, .3}, .7},                      // non-monotone: each step counts
        {{.1, .4, .6, .8}, .3},                  // equal steps
        {{.5}, std::nullopt},                    // one group separates nothing
        {{}, std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<double> got = itemSeparation(c.p);
        ASSERT_EQ(got.has_value(), c.separation.has_value()) << c.p.size();
        if (got) {
            EXPECT_NEAR(*got, *c.separation, 1e-15);
        }
    }
}

TEST(PoolCharts, DrawnPointsMatchTheExposureTable) {
    const RunTables run = loaded("three_shannon_results.csv", "three_shannon_expos.csv");
    const ExposureTable& table = *run.exposure;
    const std::int64_t tests = exposureFigures(table, static_cast<std::int32_t>(run.results.rows.size()))->tests;
    ASSERT_GT(tests, 0);
    const std::vector<Chart> charts = buildCharts({run});
    const Chart* exposure = chartWithId(charts, "exposure");
    const Chart* scatter = chartWithId(charts, "separation-exposure");
    ASSERT_TRUE(exposure && scatter);

    // Ranked use: the staircase of all items is the table's rates sorted; each collection's steps
    // sit at the ranks of its own items, at the same heights.
    std::vector<double> rates;
    std::map<std::string, std::multiset<double>> byCollection;
    for (const ExposureItem& item : table.items) {
        const double rate = static_cast<double>(item.uses) / static_cast<double>(tests);
        rates.push_back(rate);
        byCollection["Collection " + std::to_string(item.collection)].insert(rate);
    }
    std::sort(rates.begin(), rates.end(), std::greater<>());
    ASSERT_EQ(exposure->series.front().name, "All items");
    const Series& all = exposure->series.front();
    ASSERT_EQ(all.points.size(), rates.size());
    for (std::size_t i = 0; i < rates.size(); ++i) EXPECT_EQ(all.points[i], (std::pair{i + 1.0, rates[i]})) << i;
    ASSERT_EQ(exposure->series.size(), byCollection.size() + 1);
    std::vector<int> seen(rates.size(), 0);
    for (std::size_t s = 1; s < exposure->series.size(); ++s) {
        const Series& series = exposure->series[s];
        std::multiset<double> drawn;
        for (std::size_t i = 0; i < series.points.size(); ++i) {
            if (!series.points[i]) continue;
            ++seen[i];
            EXPECT_EQ(series.points[i]->second, rates[i]);
            drawn.insert(series.points[i]->second);
        }
        EXPECT_EQ(drawn, byCollection[series.name]) << series.name;
        EXPECT_TRUE(series.style.steps);
    }
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](int n) { return n == 1; }));  // each rank in one collection

    // The scatter: one point per item, at its separation and rate, under its collection.
    std::map<std::string, std::multiset<std::pair<double, double>>> expected, drawn;
    for (const ExposureItem& item : table.items)
        expected["Collection " + std::to_string(item.collection)].insert(
            {*itemSeparation(item.pCorrect), static_cast<double>(item.uses) / static_cast<double>(tests)});
    for (const Series& series : scatter->series) {
        EXPECT_GE(series.style.marker, 0);
        for (const auto& point : series.points) drawn[series.name].insert(*point);
    }
    EXPECT_EQ(drawn, expected);
    EXPECT_NE(scatter->x.title.find("adjacent groups"), std::string::npos);  // three groups: the documented measure

    // Several runs: colour means the run in the exposure chart, and each run has its scatter.
    const RunTables other = loaded("three_maxdiscr_results.csv", "three_maxdiscr_expos.csv", "B");
    const std::vector<Chart> both = buildCharts({run, other});
    const Chart* overlay = chartWithId(both, "exposure");
    ASSERT_TRUE(overlay);
    ASSERT_EQ(overlay->series.size(), 2u);
    EXPECT_EQ(overlay->series[0].style.colour, runColour(0));
    EXPECT_EQ(overlay->series[1].style.colour, runColour(1));
    EXPECT_EQ(overlay->series[1].name, "B");
    EXPECT_TRUE(chartWithId(both, "separation-exposure-1") && chartWithId(both, "separation-exposure-2"));
}

ExposureTable exposureOf(const std::vector<std::pair<std::string, std::int64_t>>& items) {
    ExposureTable table{2, {}};
    for (const auto& [id, uses] : items) table.items.push_back({id, uses, 1, {.2, .7}});
    return table;
}

RunTables withExposure(int length, ExposureTable table, const std::string& label = "run") {
    std::string text =
        "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,SPRTFlaseNeg,,"
        "BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";
    for (int n = 1; n <= length; ++n)
        text += std::to_string(n) + (n < length ? ",.9000,.0500,.0500,.8000,,.500,1.0000,.0000,.0000,,.9000,.0500,"
                                                  ".0500,.8000\r\n"
                                                : ",.9600,.0200,.0200,.9000,,.500,1.0000,.0000,.0000,,.9600,.0200,"
                                                  ".0200,.9000\r\n");
    RunTables run;
    run.label = label;
    run.results = *parseResultsTable(text, "r.csv");
    run.exposure = std::move(table);
    return run;
}

TEST(PoolReport, OverUsedAndNeverUsedItemsByIdentifier) {
    // 4 tests of 2 items: rates 1, .75, .25 (exactly the rate: not above it), 0 and 0.
    const RunTables run = withExposure(2, exposureOf({{"low", 1}, {"<b>&amp;", 4}, {"mid", 3}, {"n1", 0}, {"n2", 0}}));
    const std::string html = poolItemListsHtml({run}, .25);
    EXPECT_EQ(xmlError("<div>" + html + "</div>"), "");
    for (const char* shown : {"(exposure rate above 25.0%): 2 items: &lt;b&gt;&amp;amp; (100.0%), mid (75.0%).",
                              "<b>Never used</b>: 2 items: n1, n2."})
        EXPECT_NE(html.find(shown), std::string::npos) << shown << "\n" << html;
    EXPECT_EQ(html.find("low"), std::string::npos);
    const std::string none = poolItemListsHtml({run}, 1);
    EXPECT_NE(none.find("(exposure rate above 100.0%): 0 items."), std::string::npos) << none;

    // A long list gives its first entries and how many more; several runs are named.
    std::vector<std::pair<std::string, std::int64_t>> many = {{"used", 40}};
    for (int i = 0; i < 45; ++i) many.emplace_back("Q" + std::to_string(i), 0);
    const std::string longList = poolItemListsHtml({run, withExposure(1, exposureOf(many), "Big & <run>")}, .25);
    EXPECT_NE(longList.find("<b>Big &amp; &lt;run&gt;</b>"), std::string::npos);
    EXPECT_NE(longList.find("45 items: Q0, Q1,"), std::string::npos);
    EXPECT_NE(longList.find("Q29 and 15 more."), std::string::npos);
    EXPECT_EQ(longList.find("Q30"), std::string::npos);
    EXPECT_EQ(poolItemListsHtml({withExposure(2, {})}, .25), "");  // no exposure table, no list
}

TEST(ChartLayout, LegendEntriesNeverRunIntoTheNextSwatch) {
    // Widths from the font itself: "max-length=10" is 16051 font units in DejaVu Sans, 17705 in bold.
    EXPECT_NEAR(textWidth("max-length=10", 12), 16051.0 / 2048 * 12, 1e-9);
    EXPECT_NEAR(textWidth("max-length=10", 12, true), 17705.0 / 2048 * 12, 1e-9);
    EXPECT_NEAR(textWidth("\xE2\x89\xA5", 10), 1716.0 / 2048 * 10, 1e-9);  // a sign the labels use
    // A character outside the table, or a broken byte, counts wider than any real glyph ("W").
    EXPECT_GT(textWidth("\xE6\xBC\xA2", 12), textWidth("W", 12));
    EXPECT_GT(textWidth("\xFF", 12), textWidth("W", 12));

    Chart chart;
    chart.title = "Legend";
    chart.x = niceAxis(0, 10, 5, true);
    chart.y = percentAxis(0, 1, false);
    for (const char* name : {"max-length=10", "method=MaxDiscr, max_length=10", "WWWWWWWWWWWWWWWW", "mmmmmmmmmmmm",
                             "\xE6\xBC\xA2\xE5\xAD\x97 \xC2\xB7 run", "MAP \xC2\xB7 A", "Posterior \xE2\x89\xA5 .95",
                             "iiiiiiiiiiiiiiii", "SPRT (of decided) \xC2\xB7 a long run label"}) {
        chart.series.push_back(Series{name, SeriesStyle{0, 0, false}, {std::pair{1.0, .5}}});
    }
    const Scene scene = layoutChart(chart);
    // The legend: each swatch (a short line) followed by its text, in rows.
    struct Entry {
        double swatch, y, textEnd;
    };
    std::vector<Entry> entries;
    for (std::size_t i = 0; i + 1 < scene.shapes.size(); ++i) {
        const auto* line = std::get_if<LineShape>(&scene.shapes[i]);
        const auto* text = std::get_if<TextShape>(&scene.shapes[i + 1]);
        if (!line || !text || line->width != 2.5) continue;
        entries.push_back({line->x1, text->y, text->x + textWidth(text->text, text->size)});
    }
    ASSERT_EQ(entries.size(), chart.series.size());
    for (std::size_t i = 0; i + 1 < entries.size(); ++i) {
        EXPECT_LE(entries[i].textEnd, scene.width - 16) << i;  // inside the canvas
        if (entries[i + 1].y == entries[i].y) {
            EXPECT_LT(entries[i].textEnd + 8, entries[i + 1].swatch) << i;
        }
    }
}

TEST(ChartLayout, LongNotesWrapWithinTheCanvas) {
    Chart chart;
    chart.title = "Notes";
    chart.x = niceAxis(0, 10, 5, true);
    chart.y = percentAxis(0, 1, false);
    chart.series.push_back(Series{"s", SeriesStyle{}, {std::pair{1.0, .5}}});
    const std::string longNote = falsePositiveNote(true, false) + " " + falsePositiveNote(true, false);
    chart.notes = {"Short.", longNote, ""};
    chart.x.title = "Length";
    const Scene scene = layoutChart(chart, 480);
    double axisTitle = 0;
    for (const Shape& shape : scene.shapes)
        if (const auto* text = std::get_if<TextShape>(&shape); text && text->text == "Length") axisTitle = text->y;
    // The notes' lines: the muted texts that start at the left margin.
    std::vector<std::string> lines;
    for (const Shape& shape : scene.shapes) {
        const auto* text = std::get_if<TextShape>(&shape);
        if (!text || text->x != 16 || text->anchor != Anchor::Start || text->colour != "#555555") continue;
        EXPECT_LE(textWidth(text->text, text->size), scene.width - 32) << text->text;
        EXPECT_LE(text->y, scene.height - 16);
        EXPECT_GT(text->y - text->size, axisTitle);  // the plot made room for every line
        lines.push_back(text->text);
    }
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines.front(), "Short.");
    EXPECT_EQ(lines.back(), "");
    std::string joined;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) joined += (i == 1 ? "" : " ") + lines[i];
    EXPECT_EQ(joined, longNote);  // every word kept, in order
}

TEST(SvgAccessibility, EverySvgNamesItsTitleAndCaption) {
    Chart chart;
    chart.id = "c";
    chart.title = "Rates <by> item & run";
    chart.x = niceAxis(0, 3, 3, true);
    chart.y = percentAxis(0, 1, false);
    chart.series.push_back(Series{"s", SeriesStyle{}, {std::pair{1.0, .5}}});
    chart.notes = {"First note.", "Second \"quoted\" note."};
    const std::string svg = svgDocument(layoutChart(chart));
    EXPECT_EQ(xmlError(svg), "");
    const std::size_t title = svg.find("<title>Rates &lt;by&gt; item &amp; run</title>");
    EXPECT_NE(title, std::string::npos) << svg;
    EXPECT_NE(svg.find("<desc>First note. Second &quot;quoted&quot; note.</desc>"), std::string::npos);
    EXPECT_LT(title, svg.find("<rect"));                            // the first child, where readers look for it
    EXPECT_NE(svg.find(">First note.</text>"), std::string::npos);  // and the caption stays visible

    ConfusionCounts counts;
    counts.groupCount = 2;
    counts.maxTestLength = 1;
    counts.counts = {3, 1, 0, 4, 2, 0, 0, 3};
    counts.outside = {0, 0};
    const std::string map = confusionMapSvg(counts, 1, "Run <A>: matrix");
    EXPECT_EQ(xmlError(map), "");
    EXPECT_NE(map.find("<title>Run &lt;A&gt;: matrix</title>"), std::string::npos);
    EXPECT_NE(map.find("<desc>Rows: the true group"), std::string::npos);
}

TEST(ReportLayout, KeyNumbersAndAccuracyFirstWhatMadeTheRunsLast) {
    RunTables run = withExposure(3, exposureOf({{"a", 2}, {"b", 1}, {"c", 0}}));
    run.settings = {{"Item selection", "Shannon"}};
    const std::string html = reportHtml({run});
    EXPECT_EQ(xmlError(html.substr(html.find("<html"))), "");
    // The figures of the strip, from the tables: 1 test of 3 items, MAP 96.0% at 3 items (the first
    // length at .95 or more), the highest rate 2 of 1 tests.
    for (const char* shown :
         {"<b>1</b><span>tests</span>", "<b>3</b><span>items in the pool</span>", "<b>3</b><span>items per test</span>",
          "<b>96.0%</b><span>MAP accurate at 3 items</span>", "<b>3 items</b><span>MAP reaches 95%</span>",
          "<b>200.0%</b><span>maximum exposure rate</span>"})
        EXPECT_NE(html.find(shown), std::string::npos) << shown;
    // Several runs: one row each, a dash where a run's tables lack the figure.
    RunTables bare = withExposure(2, {}, "B <2>");
    bare.exposure.reset();
    const std::string both = reportHtml({run, bare});
    for (const char* shown : {"<th>Run</th><th>tests</th><th>pool items</th><th>test length</th>"
                              "<th>MAP accurate at full length</th><th>MAP reaches 95% at</th>"
                              "<th>max. exposure rate</th></tr>",
                              "<tr><td>run</td><td>1</td><td>3</td><td>3</td><td>96.0%</td><td>3 items</td>"
                              "<td>200.0%</td></tr>",
                              "<tr><td>B &lt;2&gt;</td><td>&#8211;</td><td>&#8211;</td><td>2</td><td>96.0%</td>"
                              "<td>2 items</td><td>&#8211;</td></tr>"})
        EXPECT_NE(both.find(shown), std::string::npos) << shown;
    const std::vector<std::string> order = {"class=\"keys\"",    "<title>Classification accuracy",
                                            "<h2>Accuracy at",   "<h2>Stopping rules",
                                            "<h2>Item exposure", "<b>Over-used</b>",
                                            "<h2>Charts",        "<h2>Runs",
                                            "<h2>Settings",      "<footer"};
    std::size_t previous = 0;
    for (const std::string& part : order) {
        const std::size_t at = html.find(part);
        ASSERT_NE(at, std::string::npos) << part;
        EXPECT_GT(at, previous) << part;
        previous = at;
    }
    EXPECT_EQ(html.find("<title>Classification accuracy", html.find("<h2>Charts")), std::string::npos);  // drawn once
    // Print keeps headings with what follows and every note with its table.
    EXPECT_NE(html.find("@media print"), std::string::npos);
    EXPECT_NE(html.find("h1, h2, h3 { break-after: avoid"), std::string::npos);
    const std::size_t table = html.find("<div class=\"block\">\n<table>");
    ASSERT_NE(table, std::string::npos);
    EXPECT_LT(html.find("<p class=\"note\">Shares of all tests", table), html.find("</div>", table));
}

TEST(StudyReport, FalsePositiveNoteFollowsTheGroupCount) {
    const auto figuresWith = [](std::vector<bool> twoGroups) {
        StudyFigures figures;
        figures.replications = 1;
        for (bool two : twoGroups) {
            ConditionFigures condition;
            condition.number = condition.reference = static_cast<std::int64_t>(figures.conditions.size()) + 1;
            LengthFigures line;
            line.length = 1;
            line.replications = 1;
            for (std::size_t m = 0; m < line.measures.size(); ++m)
                if (two || m < 8) line.measures[m] = FigureSummary{1, .5, 0.0, .5, .5, .5};
            condition.lengths.push_back(line);
            figures.conditions.push_back(condition);
        }
        return figures;
    };
    struct Case {
        std::vector<bool> twoGroups;
        bool passFail, lowerGroup;
    };
    const Case cases[] = {{{true}, true, false}, {{false}, false, true}, {{true, false}, true, true}};
    for (const Case& c : cases) {
        const auto sets = buildStudyCharts(figuresWith(c.twoGroups));
        ASSERT_TRUE(sets.ok()) << failureText(sets);
        const auto fp =
            std::find_if(sets->begin(), sets->end(), [](const auto& s) { return s.id == "false-positives"; });
        ASSERT_NE(fp, sets->end());
        std::string notes;
        for (const std::string& note : fp->notes) notes += note;
        EXPECT_EQ(notes.find("Fail classed as Pass") != std::string::npos, c.passFail) << notes;
        EXPECT_EQ(notes.find("in a lower group") != std::string::npos, c.lowerGroup) << notes;
    }
}

int simExit(const std::string& folder, const std::string& arguments) {
    const int status =
        std::system(("cd " + folder + " && " + QUILLON_SIM + " " + arguments + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ReportCommand, OverUsedRateIsForTheHtmlReport) {
    const auto folder = std::filesystem::temp_directory_path() / ("quillon-pool-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const std::string f = folder.string();
    const std::string tables = golden + "sample_results.csv --exposure " + golden + "sample_expos.csv";
    struct Case {
        std::string arguments;
        int code;
    };
    const Case cases[] = {
        {"report " + tables + " --over-used .1 --out ok.html", 0},
        {"report " + tables + " --over-used 1.5 --out x.html", 2},
        {"report " + tables + " --over-used -0.1 --out x.html", 2},
        {"report " + tables + " --over-used .1 --svg svg", 2},  // the lists are in the HTML report only
    };
    for (const Case& c : cases) EXPECT_EQ(simExit(f, c.arguments), c.code) << c.arguments;
    EXPECT_FALSE(std::filesystem::exists(folder / "x.html"));
    EXPECT_FALSE(std::filesystem::exists(folder / "svg"));
    const std::string html = readWholeFile(f + "/ok.html").value_or("");
    EXPECT_NE(html.find("<b>Over-used</b> (exposure rate above 10.0%)"), std::string::npos);
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace quillon::charts
