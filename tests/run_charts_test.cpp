// The run report's charts: intervals, axes from chance, faded and coinciding lines, long runs
// drawn from their pixels, and every drawn point read back against the tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/report.h"
#include "quillon/charts/table_reader.h"

namespace quillon::charts {
namespace {

using Point = std::optional<std::pair<double, double>>;

std::string share(double value, int decimals) {
    char text[16];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return value >= 1 ? text : std::string(text).substr(1);  // the tables write ".7500"
}

// A two-group (or other) results table of `lengths` lines whose every column moves with the length:
// `tests` tests, MAP accurate on a rising count, the SPRT deciding more and more.
RunTables variedRun(int lengths, std::int64_t tests, bool twoGroups, int seed, const std::string& label) {
    std::string text =
        "Nitems,MAP_Accurate,MAP_FalsePos, MAP_FalseNeg,MAP_MeanProb,,SPRTPerClass,SPRTAcc,SPRTfalsePos,"
        "SPRTFlaseNeg,,BR_Accurate,BR_FalsePos,BR_FalseNeg,BR_meanProb\r\n";
    const auto t = static_cast<double>(tests);
    for (int n = 1; n <= lengths; ++n) {
        const std::int64_t accurate =
            std::min<std::int64_t>(tests, std::llround(t * (0.55 + 0.4 * (1 - std::exp(-n / 6.0))) + (n * seed) % 7));
        const std::int64_t falsePos = (tests - accurate) / 3, falseNeg = tests - accurate - falsePos;
        const std::int64_t decided = std::llround(t * (1 - std::exp(-n / 4.0)) * 0.9);
        const std::int64_t sprtAccurate = decided - decided / 10, sprtFalsePos = decided / 20;
        const auto d = static_cast<double>(std::max<std::int64_t>(decided, 1));
        text += std::to_string(n) + "," + share(accurate / t, 4) + "," + share(falsePos / t, 4) + "," +
                share(falseNeg / t, 4) + "," + share(0.6 + 0.3 * n / lengths, 4) + ",," + share(decided / t, 3) + "," +
                share(sprtAccurate / d, 4) + "," + share(sprtFalsePos / d, 4) + "," +
                share((decided - sprtAccurate - sprtFalsePos) / d, 4) + ",";
        if (twoGroups) {
            const std::int64_t bayes = std::max<std::int64_t>(0, accurate - seed);
            text += "," + share(bayes / t, 4) + "," + share((tests - bayes) / 2 / t, 4) + "," +
                    share((tests - bayes - (tests - bayes) / 2) / t, 4) + "," + share(0.61 + 0.3 * n / lengths, 4);
        }
        text += "\r\n";
    }
    Outcome<ResultsTable> read = parseResultsTable(text, label);
    EXPECT_TRUE(read.ok());
    RunTables run;
    run.label = label;
    run.results = read.value();
    run.tests = tests;
    return run;
}

// A stopping table of `lengths` with the SPRT and one threshold, as the reader gives it back.
StoppingResults stopping(int lengths, std::int64_t tests) {
    StoppingResults table{lengths, {}};
    for (int k = 0; k < 2; ++k) {
        StoppingRulePart rule;
        rule.rule = k == 0 ? "SPRT" : "Posterior";
        rule.threshold = k == 0 ? "" : ".95";
        std::int64_t left = tests;
        double lengthSum = 0;
        for (int n = 1; n <= lengths; ++n) {
            const std::int64_t stopped = n == lengths ? 0 : std::min(left, (tests / 5) >> (n + k));
            left -= stopped;
            lengthSum += static_cast<double>(stopped * n);
            rule.stopped.push_back({stopped, stopped, 0, 0});
        }
        rule.undecided = {left, left / 2, left - left / 2, 0};
        rule.total = {tests, tests - left + left / 2, left - left / 2, 0};
        lengthSum += static_cast<double>(left * lengths);
        rule.averageLength = lengthSum / static_cast<double>(tests);
        rule.percentCorrect = static_cast<double>(rule.total.accurate) / static_cast<double>(tests);
        table.rules.push_back(rule);
    }
    return table;
}

const Chart* chartNamed(const std::vector<Chart>& charts, const std::string& id) {
    for (const Chart& chart : charts)
        if (chart.id == id) return &chart;
    return nullptr;
}

TEST(RunCharts, WilsonIntervalsAndAxesFromChance) {
    struct Interval {
        std::int64_t part, whole;
        double low, high;  // published 95 % Wilson bounds
    };
    const Interval intervals[] = {
        {0, 10, 0.0, 0.2775},  {1, 10, 0.0179, 0.4042},   {5, 10, 0.2366, 0.7634},
        {10, 10, 0.7225, 1.0}, {81, 263, 0.2553, 0.3662}, {1, 1, 0.2065, 1.0},
    };
    for (const Interval& c : intervals) {
        const auto interval = wilsonInterval(c.part, c.whole);
        ASSERT_TRUE(interval) << c.part << "/" << c.whole;
        EXPECT_NEAR(interval->first, c.low, 5e-5) << c.part << "/" << c.whole;
        EXPECT_NEAR(interval->second, c.high, 5e-5) << c.part << "/" << c.whole;
    }
    EXPECT_FALSE(wilsonInterval(0, 0));  // no case, no interval
    EXPECT_FALSE(wilsonInterval(3, 2));

    struct AxisCase {
        double chance, low, high;
        double axisLow;
        std::vector<std::string> labels;
    };
    const AxisCase axes[] = {
        {0.5, 0.62, 1, 0.5, {"50%", "60%", "70%", "80%", "90%", "100%"}},
        {1.0 / 3, 0.4, 1, 1.0 / 3, {"40%", "60%", "80%", "100%"}},       // starts at chance between ticks
        {0.5, 0.3, 1, 0.2, {"20%", "40%", "60%", "80%", "100%"}},        // data below chance stay in view
        {0.0, 0.7, 1, 0.0, {"0%", "20%", "40%", "60%", "80%", "100%"}},  // chance unknown
    };
    for (const AxisCase& c : axes) {
        const Axis axis = chanceAxis(c.chance, c.low, c.high);
        EXPECT_NEAR(axis.low, c.axisLow, 1e-12) << c.chance;
        EXPECT_EQ(axis.high, 1);
        EXPECT_EQ(axis.tickLabels, c.labels) << c.chance;
    }
}

TEST(RunCharts, BandsAndFadingFromWhicheverTableCountsTheTests) {
    const RunTables base = variedRun(6, 40, true, 1, "r");
    RunTables fromExposure = base, fromStopping = base, fromConfusion = base, unknown = base, few = base;
    fromExposure.tests.reset();
    fromExposure.exposure = ExposureTable{2, {{"I1", 40 * 6}, {"I2", 0}}};
    fromStopping.tests.reset();
    fromStopping.stopping = stopping(6, 40);
    fromConfusion.tests.reset();
    fromConfusion.confusion =
        ConfusionCounts{2, 6, std::vector<std::int64_t>(6 * 2 * 4, 5), std::vector<std::int64_t>(12, 0)};
    unknown.tests.reset();
    few.tests = 20;
    struct Case {
        const char* what;
        RunTables run;
        std::optional<std::int64_t> tests;
        bool bands, faintMap;
    };
    const Case cases[] = {
        {"record", base, 40, true, false},
        {"exposure", fromExposure, 40, true, false},
        {"stopping", fromStopping, 40, true, false},
        {"confusion", fromConfusion, 20, true, true},  // 4 cells of 5 at length 1
        {"none", unknown, std::nullopt, false, false},
        {"few", few, 20, true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(testsOfRun(c.run), c.tests) << c.what;
        const std::vector<Chart> charts = buildCharts({c.run});
        const Chart& accuracy = *chartNamed(charts, "accuracy");
        const Series& map = accuracy.series[0];
        ASSERT_EQ(map.name, "MAP");
        EXPECT_EQ(!map.band.empty() && map.band[2].has_value(), c.bands) << c.what;
        if (c.bands) {
            // The count behind the 4-decimal share, and its interval.
            const std::int64_t whole = *c.tests;
            const auto part = std::llround(map.points[2]->second * static_cast<double>(whole));
            EXPECT_EQ(map.band[2], wilsonInterval(part, whole)) << c.what;
            EXPECT_EQ(map.faint[2], c.faintMap) << c.what;
        }
        const auto& notes = accuracy.notes;
        EXPECT_EQ(
            std::any_of(notes.begin(), notes.end(), [](const std::string& n) { return n.starts_with("No interval"); }),
            !c.bands)
            << c.what;
        // The SPRT's first decided tests are always few here: counted, they fade.
        EXPECT_EQ(std::find(notes.begin(), notes.end(), "Faded: shares of fewer than 30 tests.") != notes.end(),
                  c.bands)
            << c.what;
    }
    // The SPRT's share rests on the decided tests: exact from the confusion table.
    const std::vector<Chart> counted = buildCharts({fromConfusion});
    const Series& sprt = chartNamed(counted, "accuracy")->series[1];
    EXPECT_EQ(sprt.band[0], wilsonInterval(std::llround(sprt.points[0]->second * 20), 20));
}

TEST(RunCharts, CoincidingLinesKeepTheirEndMarksAndANote) {
    RunTables run = variedRun(5, 100, true, 0, "r");  // Bayes risk on MAP's counts: the same curve
    const std::vector<Chart> charts = buildCharts({run});
    const Chart& accuracy = *chartNamed(charts, "accuracy");
    EXPECT_EQ(accuracy.series[0].points, accuracy.series[2].points);
    EXPECT_NE(std::find(accuracy.notes.begin(), accuracy.notes.end(),
                        "MAP and Bayes risk coincide at every length: one line, told apart by the marks at its end."),
              accuracy.notes.end());
    EXPECT_NE(accuracy.series[0].style.endMarker, accuracy.series[2].style.endMarker);
    // Both end marks are drawn, one over the other.
    int marks = 0;
    for (const Shape& shape : layoutChart(accuracy).shapes)
        if (const auto* mark = std::get_if<MarkerShape>(&shape);
            mark && (mark->name == "MAP" || mark->name == "Bayes risk"))
            ++marks;
    EXPECT_EQ(marks, 2 + 2);  // and in the legend
    // Different curves raise no note.
    const std::vector<Chart> apart = buildCharts({variedRun(5, 100, true, 2, "r")});
    const Chart& other = *chartNamed(apart, "accuracy");
    EXPECT_EQ(std::count_if(other.notes.begin(), other.notes.end(),
                            [](const std::string& n) { return n.find("coincide") != std::string::npos; }),
              0);
}

TEST(RunCharts, FadedStretchesSplitWhereTheCasesChange) {
    Chart chart;
    chart.x = niceAxis(0, 6, 6, true);
    chart.y = percentAxis(0, 1, false);
    Series series{"s", SeriesStyle{4, 0, false}, {}};
    for (int n = 1; n <= 6; ++n) series.points.emplace_back(std::pair{static_cast<double>(n), 0.5});
    series.points[3].reset();  // a gap between 3 and 5
    series.faint = {true, false, false, false, false, true};
    chart.series.push_back(series);
    const Scene scene = layoutChart(chart);
    const auto column = [&](double n) { return scene.plotLeft + n / 6 * (scene.plotRight - scene.plotLeft); };
    std::vector<std::vector<double>> solid, faded;
    for (const Shape& shape : scene.shapes) {
        const auto* path = std::get_if<PathShape>(&shape);
        if (!path) continue;
        for (const auto& run : path->runs) {
            std::vector<double> xs;
            for (const auto& point : run)
                xs.push_back(std::round((point.first - scene.plotLeft) * 6 / (scene.plotRight - scene.plotLeft)));
            (path->opacity < 1 ? faded : solid).push_back(xs);
        }
    }
    // 1-2 faded (1 rests on few cases), 2-3 solid; after the gap, 5-6 faded and 5 alone nothing solid.
    EXPECT_EQ(faded, (std::vector<std::vector<double>>{{1, 2}, {5, 6}}));
    EXPECT_EQ(solid, (std::vector<std::vector<double>>{{2, 3}}));
    EXPECT_GT(column(1), scene.plotLeft);
}

TEST(RunCharts, LongRunsAreDrawnFromWhatThePixelsShow) {
    Chart chart;
    chart.x = niceAxis(0, 100000, 8, true);
    chart.y = percentAxis(0, 1, false);
    Series series{"long", SeriesStyle{4, 0, false}, {}};
    double low = 1, high = 0;
    for (int n = 1; n <= 100000; ++n) {
        const double y = 0.5 + 0.4 * std::sin(n * 0.37) * std::exp(-n / 30000.0);
        series.points.emplace_back(std::pair{static_cast<double>(n), y});
        low = std::min(low, y), high = std::max(high, y);
    }
    chart.series.push_back(series);
    const Scene scene = layoutChart(chart);
    const PathShape* path = nullptr;
    for (const Shape& shape : scene.shapes)
        if (const auto* p = std::get_if<PathShape>(&shape)) path = p;
    ASSERT_TRUE(path);
    ASSERT_EQ(path->runs.size(), 1u);
    const auto& kept = path->runs[0];
    EXPECT_LE(kept.size(), static_cast<std::size_t>(4 * (scene.plotRight - scene.plotLeft + 2)));
    // The ends and the extremes stay, so the picture does.
    const auto yAt = [&](double v) { return scene.plotBottom - v * (scene.plotBottom - scene.plotTop); };
    EXPECT_DOUBLE_EQ(kept.front().second, yAt(series.points.front()->second));
    EXPECT_DOUBLE_EQ(kept.back().second, yAt(series.points.back()->second));
    double top = INFINITY, bottom = -INFINITY;
    for (const auto& point : kept) top = std::min(top, point.second), bottom = std::max(bottom, point.second);
    EXPECT_DOUBLE_EQ(top, yAt(high));
    EXPECT_DOUBLE_EQ(bottom, yAt(low));

    // A scatter of 100,000 points on 50 places draws each place once; one of fewer points than the
    // plot has columns draws every point, even where they coincide.
    const auto marks = [](int count) {
        Chart scatter;
        scatter.x = niceAxis(0, 1, 5, false);
        scatter.y = percentAxis(0, 1, false);
        Series points{"items", SeriesStyle{4, 0, false, 0}, {}};
        for (int n = 0; n < count; ++n) points.points.emplace_back(std::pair{(n % 50) / 50.0, (n % 50) / 50.0});
        scatter.series.push_back(points);
        std::size_t drawn = 0;
        for (const Shape& shape : layoutChart(scatter).shapes) drawn += std::holds_alternative<MarkerShape>(shape);
        return drawn;
    };
    EXPECT_EQ(marks(100000), 50u);
    EXPECT_EQ(marks(200), 200u);

    // Three runs of 100,000 lengths: a report of a few hundred kilobytes.
    std::vector<RunTables> runs;
    for (int r = 0; r < 3; ++r) runs.push_back(variedRun(100000, 2000, true, r + 1, "run " + std::to_string(r)));
    EXPECT_LT(reportHtml(runs).size(), 2'000'000u);
}

// Every line and mark drawn, read back from its pixels into the chart's units.
std::map<std::string, std::vector<std::pair<double, double>>> drawnPoints(const Chart& chart) {
    const Scene scene = layoutChart(chart);
    const auto data = [&](double x, double y) {
        return std::pair{
            chart.x.low + (x - scene.plotLeft) / (scene.plotRight - scene.plotLeft) * (chart.x.high - chart.x.low),
            chart.y.low + (scene.plotBottom - y) / (scene.plotBottom - scene.plotTop) * (chart.y.high - chart.y.low)};
    };
    std::map<std::string, std::vector<std::pair<double, double>>> drawn;
    for (const Shape& shape : scene.shapes) {
        if (const auto* path = std::get_if<PathShape>(&shape)) {
            for (const auto& run : path->runs)
                for (const auto& [x, y] : run) drawn[path->name].push_back(data(x, y));
        } else if (const auto* mark = std::get_if<MarkerShape>(&shape); mark && mark->y > scene.plotTop - 1) {
            drawn[mark->name + " (mark)"].push_back(data(mark->x, mark->y));
        }
    }
    for (auto& [name, points] : drawn) {
        std::sort(points.begin(), points.end());
        points.erase(std::unique(points.begin(), points.end(),
                                 [](const auto& a, const auto& b) {
                                     return std::abs(a.first - b.first) < 1e-9 && std::abs(a.second - b.second) < 1e-9;
                                 }),
                     points.end());
    }
    return drawn;
}

TEST(RunCharts, DrawnPointsMatchTheTablesForEveryChartKind) {
    RunTables a = variedRun(12, 200, true, 1, "A"), b = variedRun(9, 150, true, 3, "B");
    a.stopping = stopping(12, 200);
    b.stopping = stopping(9, 150);
    using Column = double ResultsRow::*;
    struct Kind {
        std::string id;      // with several runs; one run: `single`
        std::string single;  // empty: no chart of one run
        std::string seriesOfOne;
        Column column;
    };
    const Kind kinds[] = {
        {"accuracy-map", "accuracy", "MAP", &ResultsRow::mapAccurate},
        {"accuracy-sprt", "accuracy", "SPRT (of decided)", &ResultsRow::sprtAccurate},
        {"accuracy-bayes", "accuracy", "Bayes risk", &ResultsRow::bayesAccurate},
        {"sprt-decided", "sprt-decided", "SPRT", &ResultsRow::sprtDecided},
        {"false-positives-map", "false-positives", "MAP", &ResultsRow::mapFalsePos},
        {"false-negatives-sprt", "false-negatives", "SPRT (of decided)", &ResultsRow::sprtFalseNeg},
        {"false-positives-bayes", "false-positives", "Bayes risk", &ResultsRow::bayesFalsePos},
        {"mean-probability-map", "mean-probability", "MAP", &ResultsRow::mapMeanProb},
        {"mean-probability-bayes", "mean-probability", "Bayes risk", &ResultsRow::bayesMeanProb},
        {"trade-off", "trade-off", "MAP, fixed length", &ResultsRow::mapAccurate},
    };
    const auto expected = [](const RunTables& run, Column column, bool sprt) {
        std::vector<std::pair<double, double>> points;
        for (const ResultsRow& row : run.results.rows) {
            const bool present = sprt ? row.sprtAccurate + row.sprtFalsePos + row.sprtFalseNeg > 0
                                      : row.mapAccurate + row.mapFalsePos + row.mapFalseNeg > 0;
            if (present) points.emplace_back(row.length, row.*column);
        }
        return points;
    };
    // Every drawn point is a table point, and every table point lies on the drawn line: level
    // stretches keep only their ends.
    const auto same = [](const std::vector<std::pair<double, double>>& drawn,
                         const std::vector<std::pair<double, double>>& table, const Chart& chart) {
        ASSERT_FALSE(drawn.empty()) << chart.id;
        // Pixels are kept whole here (the SVG rounds them to a tenth): far below a table's last decimal.
        const double xTolerance = (chart.x.high - chart.x.low) * 1e-9, yTolerance = (chart.y.high - chart.y.low) * 1e-9;
        for (const auto& [x, y] : drawn) {
            const auto at = std::find_if(table.begin(), table.end(),
                                         [&](const auto& p) { return std::abs(p.first - x) < xTolerance; });
            ASSERT_NE(at, table.end()) << chart.id << " x " << x;
            EXPECT_NEAR(at->second, y, yTolerance) << chart.id << " x " << x;
        }
        for (const auto& [x, y] : table) {
            const auto after =
                std::lower_bound(drawn.begin(), drawn.end(), std::pair<double, double>{x - xTolerance, -INFINITY});
            ASSERT_NE(after, drawn.end()) << chart.id << " x " << x;
            if (std::abs(after->first - x) < xTolerance) {
                EXPECT_NEAR(after->second, y, yTolerance) << chart.id << " x " << x;
                continue;
            }
            ASSERT_NE(after, drawn.begin()) << chart.id << " x " << x;
            const auto before = after - 1;
            const double along = (x - before->first) / (after->first - before->first);
            EXPECT_NEAR(before->second + along * (after->second - before->second), y, yTolerance)
                << chart.id << " x " << x;
        }
    };
    for (const bool several : {false, true}) {
        const std::vector<RunTables> runs = several ? std::vector{a, b} : std::vector{a};
        const std::vector<Chart> charts = buildCharts(runs);
        for (const Kind& kind : kinds) {
            const Chart* chart = chartNamed(charts, several ? kind.id : kind.single);
            ASSERT_TRUE(chart) << kind.id;
            const auto drawn = drawnPoints(*chart);
            const bool sprt = kind.column == &ResultsRow::sprtAccurate || kind.column == &ResultsRow::sprtFalseNeg;
            for (std::size_t r = 0; r < runs.size(); ++r) {
                const std::string name = !several                 ? kind.seriesOfOne
                                         : kind.id == "trade-off" ? runs[r].label + ": MAP, fixed length"
                                                                  : runs[r].label;
                ASSERT_TRUE(drawn.count(name)) << chart->id << " " << name;
                same(drawn.at(name), expected(runs[r], kind.column, sprt && kind.id != "sprt-decided"), *chart);
            }
        }
        // The stopping chart: each rule's share of its tests stopped at each length.
        const Chart& stops = *chartNamed(charts, "stopping-lengths");
        const auto stopDrawn = drawnPoints(stops);
        for (const RunTables& run : runs) {
            for (const StoppingRulePart& rule : run.stopping->rules) {
                std::vector<std::pair<double, double>> table;
                for (std::size_t n = 0; n < rule.stopped.size(); ++n)
                    table.emplace_back(
                        n + 1.0, static_cast<double>(rule.stopped[n].tests) / static_cast<double>(rule.total.tests));
                const std::string label = stoppingRuleLabel(rule);
                same(stopDrawn.at(several ? label + " \xC2\xB7 " + run.label : label), table, stops);
            }
        }
        // The trade-off's marks: each rule's average length and share correct.
        const Chart& tradeOff = *chartNamed(charts, "trade-off");
        const auto marks = drawnPoints(tradeOff);
        for (const RunTables& run : runs) {
            for (const StoppingRulePart& rule : run.stopping->rules) {
                const std::string name = (several ? run.label + ": " : "") + stoppingRuleLabel(rule) + " (mark)";
                same(marks.at(name), {{rule.averageLength, rule.percentCorrect}}, tradeOff);
            }
        }
    }
}

}  // namespace
}  // namespace quillon::charts
