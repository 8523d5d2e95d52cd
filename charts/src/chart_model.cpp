#include "quillon/charts/chart_model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "quillon/charts/pool_diagnostics.h"
#include "quillon/study_figures/run_outcomes.h"

namespace quillon::charts {
namespace {

using Point = std::optional<std::pair<double, double>>;

// Decimals that show every tick of a step exactly (0.25 needs 2, 5 needs none).
int decimalsFor(double step) {
    int decimals = 0;
    while (decimals < 6 &&
           std::abs(step * std::pow(10.0, decimals) - std::round(step * std::pow(10.0, decimals))) > 1e-9) {
        ++decimals;
    }
    return decimals;
}

Axis axisWithLabels(double low, double high, int targetTicks, bool wholeSteps, double labelScale,
                    const std::string& suffix) {
    if (!std::isfinite(low) || !std::isfinite(high)) low = 0, high = 1;
    if (high < low) std::swap(low, high);
    if (high == low) {
        if (wholeSteps || low == 0) {
            high = low + 1;
        } else {
            const double half = std::abs(low) / 2;
            low -= half;
            high += half;
        }
    }
    const double raw = (high - low) / std::max(1, targetTicks);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double residual = raw / magnitude;
    double step = (residual <= 1 ? 1 : residual <= 2 ? 2 : residual <= 5 ? 5 : 10) * magnitude;
    if (wholeSteps) step = std::max(step, 1.0);
    Axis axis;
    const long first = static_cast<long>(std::floor(low / step + 1e-9));
    const long last = static_cast<long>(std::ceil(high / step - 1e-9));
    axis.low = static_cast<double>(first) * step;
    axis.high = static_cast<double>(last) * step;
    const int decimals = decimalsFor(step * labelScale);
    for (long i = first; i <= last; ++i) {
        const double tick = static_cast<double>(i) * step;
        axis.ticks.push_back(tick);
        axis.tickLabels.push_back(fixedText(tick * labelScale, decimals) + suffix);
    }
    return axis;
}

// A share axis from 0 to 100% with about `targetTicks` intervals, for a thin strip.
Axis percentAxisTicks(int targetTicks) { return axisWithLabels(0, 1, targetTicks, false, 100.0, "%"); }

Point pointIf(bool present, double x, double y) {
    if (!present || !std::isfinite(y)) return std::nullopt;
    return std::pair{x, y};
}

enum Rule { Map, Sprt, Bayes };
constexpr int ruleColour[] = {4, 5, 2};  // blue, vermillion, bluish green
const char* const ruleName[] = {"MAP", "SPRT", "Bayes risk"};

std::string seriesName(const std::string& what, const std::vector<RunTables>& runs, std::size_t run) {
    return runs.size() > 1 ? what + " \xC2\xB7 " + runs[run].label : what;
}

// Range of every present y value, for axes that follow the data.
std::pair<double, double> yRange(const std::vector<Series>& series) {
    double low = 0, high = 0;
    for (const Series& s : series) {
        for (const Point& p : s.points) {
            if (!p) continue;
            low = std::min(low, p->second);
            high = std::max(high, p->second);
        }
    }
    return {low, high};
}

std::int32_t longestTest(const std::vector<RunTables>& runs) {
    std::size_t longest = 1;
    for (const RunTables& run : runs) longest = std::max(longest, run.results.rows.size());
    return static_cast<std::int32_t>(longest);
}

Axis lengthAxis(const std::vector<RunTables>& runs, int targetTicks = 8) {
    Axis axis = niceAxis(0, longestTest(runs), targetTicks, true);
    axis.title = "Test length (items)";
    return axis;
}

// One series per run of a value of each results line.
template <class Value, class Present>
Series lengthSeries(const RunTables& run, std::string name, SeriesStyle style, Value value, Present present) {
    Series series{std::move(name), style, {}};
    for (const ResultsRow& row : run.results.rows)
        series.points.push_back(pointIf(present(row), row.length, value(row)));
    return series;
}

bool mapPresent(const ResultsRow& r) { return hadCases(r.mapAccurate, r.mapFalsePos, r.mapFalseNeg); }
bool sprtPresent(const ResultsRow& r) { return hadCases(r.sprtAccurate, r.sprtFalsePos, r.sprtFalseNeg); }
bool bayesPresent(const ResultsRow& r) { return hadCases(r.bayesAccurate, r.bayesFalsePos, r.bayesFalseNeg); }

int dashCount() { return static_cast<int>(dashPattern().size()); }

// Stopping rules: the SPRT in its colour of the other charts, then each threshold.
int stoppingColour(std::size_t rule) {
    constexpr int order[] = {5, 4, 2, 6, 0, 1, 7};
    return order[rule % std::size(order)];
}

// The cases under each share of a run: every test for MAP and Bayes risk, the decided tests for
// the SPRT; missing where the run does not tell how many tests it gave.
struct RunCases {
    std::optional<std::int64_t> tests;
    std::vector<std::optional<std::int64_t>> decided;  // [length - 1]
};

RunCases casesOf(const RunTables& run) {
    RunCases cases{testsOfRun(run), {}};
    for (const ResultsRow& row : run.results.rows) {
        if (run.confusion && row.length <= run.confusion->maxTestLength) {
            // The confusion table counts them exactly; the 3-decimal share only nearly.
            cases.decided.emplace_back(run.confusion->total(row.length, 1));
        } else if (cases.tests) {
            cases.decided.emplace_back(std::llround(row.sprtDecided * static_cast<double>(*cases.tests)));
        } else {
            cases.decided.emplace_back();
        }
    }
    return cases;
}

// Below this many cases a share is drawn faded: it moves by more than 3 points with one case.
constexpr std::int64_t fewCases = 30;

// Adds to each present point the Wilson band of its share and whether it rests on few cases;
// `whole(i)` gives the cases under point i.
template <class Whole>
void addIntervals(Series& series, Whole whole) {
    series.band.assign(series.points.size(), std::nullopt);
    series.faint.assign(series.points.size(), false);
    for (std::size_t i = 0; i < series.points.size(); ++i) {
        const std::optional<std::int64_t> cases = whole(i);
        if (!series.points[i] || !cases) continue;
        // The tables keep 4 decimals: the count is the nearest whole number of cases.
        const std::int64_t part =
            std::clamp<std::int64_t>(std::llround(series.points[i]->second * static_cast<double>(*cases)), 0, *cases);
        series.band[i] = wilsonInterval(part, *cases);
        series.faint[i] = *cases < fewCases;
    }
}

bool anyFaint(const std::vector<Series>& series) {
    return std::any_of(series.begin(), series.end(), [](const Series& s) {
        return std::find(s.faint.begin(), s.faint.end(), true) != s.faint.end();
    });
}

// The lowest and highest point, (0, 0) for none: points set an axis, not their intervals, since
// the interval of a share of a handful of tests would squeeze every other curve; the plot cuts
// intervals at its edges.
std::pair<double, double> drawnYRange(const std::vector<Series>& series) {
    double low = INFINITY, high = -INFINITY;
    for (const Series& s : series) {
        for (const Point& p : s.points) {
            if (!p) continue;
            low = std::min(low, p->second);
            high = std::max(high, p->second);
        }
    }
    return low > high ? std::pair{0.0, 0.0} : std::pair{low, high};
}

// The first length at which a share of all tests reaches each of 90, 95 and 99%.
std::array<std::optional<std::int32_t>, 3> firstLengths(const Series& curve) {
    constexpr std::int64_t targets[] = {9000, 9500, 9900};
    std::array<std::optional<std::int32_t>, 3> first;
    for (std::size_t t = 0; t < 3; ++t) {
        for (const Point& p : curve.points) {
            if (p && reachesShare(p->second, targets[t])) {
                first[t] = static_cast<std::int32_t>(p->first);
                break;
            }
        }
    }
    return first;
}

const char* const firstLengthName = "First length reaching 90, 95, 99%";

// The marks on `curve` where it first reaches 90, 95 and 99%, and the note that states them.
std::pair<Series, std::string> firstLengthMarks(const Series& curve, const std::string& whose, int colour) {
    Series marks{firstLengthName, SeriesStyle{colour, 0, false, static_cast<int>(MarkerKind::Diamond)}, {}};
    const auto first = firstLengths(curve);
    const std::string longest = std::to_string(curve.points.size()) + (curve.points.size() == 1 ? " item" : " items");
    if (!first[0]) return {std::move(marks), whose + " does not reach 90% by " + longest + "."};
    std::string note = whose + " first reaches";
    const char* const target[] = {" 90%", " 95%", " 99%"};
    for (std::size_t t = 0; t < 3; ++t) {
        if (first[t]) {
            const Point& p = curve.points[static_cast<std::size_t>(*first[t] - 1)];
            if (std::find(marks.points.begin(), marks.points.end(), p) == marks.points.end()) marks.points.push_back(p);
        }
        note += std::string(t == 0 ? "" : ",") + target[t] +
                (first[t] ? " at " + std::to_string(*first[t]) + (*first[t] == 1 ? " item" : " items")
                          : " not by " + longest);
    }
    note += ".";
    return {std::move(marks), std::move(note)};
}

// A note for each two lines of a chart that are the same at every point: the later hides the
// earlier but for its end mark.
void noteCoinciding(Chart& chart) {
    for (std::size_t a = 0; a < chart.series.size(); ++a) {
        for (std::size_t b = a + 1; b < chart.series.size(); ++b) {
            const Series &first = chart.series[a], &second = chart.series[b];
            if (first.style.marker >= 0 || second.style.marker >= 0 || first.points != second.points ||
                !std::any_of(first.points.begin(), first.points.end(), [](const Point& p) { return p.has_value(); }))
                continue;
            chart.notes.push_back(first.name + " and " + second.name +
                                  " coincide at every length: one line, told apart by the marks at its end.");
        }
    }
}

// Marks the end of each line with a mark of its own, so that lines drawn over one another show.
void markLineEnds(std::vector<Series>& series) {
    int next = 0;
    for (Series& s : series)
        if (s.style.marker < 0) s.style.endMarker = next++;
}

Chart stoppingChart(const std::vector<RunTables>& runs) {
    Chart chart;
    chart.id = "stopping-lengths";
    chart.title = "Where a variable-length test would stop, by rule";
    const int dashes = dashCount();
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const RunTables& run = runs[r];
        if (!run.stopping) continue;
        const std::string prefix = runs.size() > 1 ? run.label + ": " : "";
        for (std::size_t k = 0; k < run.stopping->rules.size(); ++k) {
            const StoppingRulePart& rule = run.stopping->rules[k];
            const std::string name = stoppingRuleLabel(rule);
            // Rules can stop at the same lengths (the SPRT and a threshold of 1 - a often do): a dash
            // of its own keeps each one visible where they coincide. With several runs colour means
            // the run, as on every chart, and the dash the rule.
            const bool several = runs.size() > 1;
            const int dash = static_cast<int>(several ? k : chart.series.size()) % dashes;
            Series series{
                seriesName(name, runs, r), SeriesStyle{several ? runColour(r) : stoppingColour(k), dash, false}, {}};
            // Without any test there is nothing to share over, and nothing is drawn.
            const auto tests = static_cast<double>(rule.total.tests);
            for (std::size_t n = 0; n < rule.stopped.size(); ++n) {
                series.points.push_back(pointIf(rule.total.tests > 0, static_cast<double>(n + 1),
                                                static_cast<double>(rule.stopped[n].tests) / tests));
                series.band.push_back(wilsonInterval(rule.stopped[n].tests, rule.total.tests));
                series.faint.push_back(rule.total.tests < fewCases);
            }
            chart.series.push_back(std::move(series));
            chart.notes.push_back(prefix + name +
                                  (rule.total.tests == 0
                                       ? std::string(": no tests.")
                                       : ": ATL " + fixedText(rule.averageLength, 2) + " items, PCC " +
                                             percentText(rule.percentCorrect, 1) + ", " +
                                             percentText(rule.undecidedShare, 2) + " undecided."));
        }
        if (!run.stopping->rules.empty() && run.stopping->rules.front().total.tests > 0) {
            const StoppingRulePart& any = run.stopping->rules.front();
            chart.notes.push_back(prefix + "Fixed length " + std::to_string(run.stopping->maxTestLength) + ": PCC " +
                                  percentText(any.fixedPercentCorrect, 1) + ".");
        }
    }
    chart.notes.push_back("ATL: average test length; PCC: percent correctly classified.");
    chart.notes.push_back("An undecided test counts at the full length, classed by its last MAP group.");
    chart.notes.push_back("Bands: 95 % Wilson interval of each share of the rule's tests.");
    if (anyFaint(chart.series))
        chart.notes.push_back("Faded: shares of fewer than " + std::to_string(fewCases) + " tests.");
    markLineEnds(chart.series);
    noteCoinciding(chart);
    chart.x = lengthAxis(runs);
    const auto [low, high] = drawnYRange(chart.series);
    chart.y = percentAxis(low, high, true);
    chart.y.title = "Tests stopped at this length (%)";
    return chart;
}

// Each stopping rule's average length and share classified correctly, over the fixed-length MAP
// curve of its run: what a shorter test costs in accuracy.
std::optional<Chart> tradeOffChart(const std::vector<RunTables>& runs, const std::vector<RunCases>& cases) {
    const bool several = runs.size() > 1;
    Chart chart;
    chart.id = "trade-off";
    chart.title = "Test length against accuracy: each stopping rule over the fixed-length curve";
    std::vector<Series> curves, marks, points;
    double xHigh = 1;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const RunTables& run = runs[r];
        if (!run.stopping) continue;
        const int colour = several ? runColour(r) : ruleColour[Map];
        const std::string prefix = several ? run.label + ": " : "";
        Series curve = lengthSeries(
            run, prefix + "MAP, fixed length",
            SeriesStyle{colour, several ? static_cast<int>(r) % dashCount() : 0, false},
            [](const ResultsRow& x) { return x.mapAccurate; }, mapPresent);
        addIntervals(curve, [&](std::size_t) { return cases[r].tests; });
        Series mark = firstLengthMarks(curve, "", colour).first;
        if (!mark.points.empty()) marks.push_back(std::move(mark));
        curves.push_back(std::move(curve));
        xHigh = std::max(xHigh, static_cast<double>(run.results.rows.size()));
        for (std::size_t k = 0; k < run.stopping->rules.size(); ++k) {
            const StoppingRulePart& rule = run.stopping->rules[k];
            if (rule.total.tests == 0) continue;
            SeriesStyle style{several ? colour : stoppingColour(k), 0, false, static_cast<int>(k)};
            Series point{prefix + stoppingRuleLabel(rule), style, {}};
            point.points.emplace_back(std::pair{rule.averageLength, rule.percentCorrect});
            point.whiskers.push_back(Whiskers{std::nullopt, wilsonInterval(rule.total.accurate, rule.total.tests)});
            xHigh = std::max(xHigh, rule.averageLength);
            points.push_back(std::move(point));
        }
    }
    if (curves.empty()) return std::nullopt;
    markLineEnds(curves);
    chart.series = std::move(curves);
    chart.series.insert(chart.series.end(), marks.begin(), marks.end());
    chart.series.insert(chart.series.end(), points.begin(), points.end());
    chart.x = niceAxis(0, xHigh, 8, false);
    chart.x.title = "Average test length (items)";
    chart.notes.push_back(
        "Marks: each stopping rule's average length and share correct (whiskers: 95 % Wilson interval).");
    chart.notes.push_back("Lines: MAP accuracy of fixed-length tests.");
    chart.notes.push_back("Diamonds: the first length at which a curve reaches 90, 95 and 99%.");
    return chart;
}

}  // namespace

bool Chart::hasData() const {
    return std::any_of(series.begin(), series.end(), [](const Series& s) {
        return std::any_of(s.points.begin(), s.points.end(), [](const Point& p) { return p.has_value(); });
    });
}

// Every rule's three outcome shares sum to 1 wherever it had a case.
bool hadCases(double accurate, double falsePos, double falseNeg) { return accurate + falsePos + falseNeg > 0; }

Axis niceAxis(double low, double high, int targetTicks, bool wholeSteps) {
    return axisWithLabels(low, high, targetTicks, wholeSteps, 1.0, "");
}

Axis percentAxis(double dataLow, double dataHigh, bool fitToData) {
    const double low = std::min(0.0, dataLow);
    const double high = fitToData ? std::max(dataHigh, 0.1) : std::max(1.0, dataHigh);
    return axisWithLabels(low, high, 5, false, 100.0, "%");
}

Axis percentAxisFromData(double dataLow, double dataHigh) {
    const double high = std::max(1.0, dataHigh);
    // A tenth of the range below the data, so that no curve runs along the axis.
    const double low = std::min(dataLow, high) - 0.1 * (high - std::min(dataLow, high));
    return axisWithLabels(low < 0.05 ? std::min(0.0, dataLow) : low, high, 5, false, 100.0, "%");
}

bool reachesShare(double share, std::int64_t tenThousandths) { return std::llround(share * 10000) >= tenThousandths; }

std::optional<std::int64_t> testsOfRun(const RunTables& run) {
    if (run.tests) return run.tests;
    if (run.record) return run.record->tests;
    if (run.exposure) {
        if (const auto figures = exposureFigures(*run.exposure, static_cast<std::int32_t>(run.results.rows.size())))
            return figures->tests;
    }
    if (run.stopping && !run.stopping->rules.empty()) return run.stopping->rules.front().total.tests;
    // Every test is in one cell of MAP's matrix at length 1, or outside it.
    if (run.confusion && run.confusion->maxTestLength > 0) return run.confusion->total(1, 0);
    return std::nullopt;
}

std::optional<std::int32_t> groupsOfRun(const RunTables& run) {
    if (run.exposure) return run.exposure->groupCount;
    if (run.confusion) return run.confusion->groupCount;
    if (run.results.hasBayes) return 2;
    return std::nullopt;
}

std::optional<std::pair<double, double>> wilsonInterval(std::int64_t part, std::int64_t whole) {
    if (whole <= 0 || part < 0 || part > whole) return std::nullopt;
    constexpr double z = 1.959963984540054;  // the normal quantile of .975
    const auto n = static_cast<double>(whole);
    const double p = static_cast<double>(part) / n;
    const double scale = 1 + z * z / n;
    const double centre = (p + z * z / (2 * n)) / scale;
    const double half = z * std::sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / scale;
    // The bounds are exact at none and all; rounding must not push them past.
    return std::pair{part == 0 ? 0.0 : std::max(0.0, centre - half),
                     part == whole ? 1.0 : std::min(1.0, centre + half)};
}

Axis chanceAxis(double chance, double dataLow, double dataHigh) {
    const double low = std::clamp(std::min(chance, dataLow), 0.0, 1.0);
    Axis axis = axisWithLabels(low, std::max(1.0, dataHigh), 5, false, 100.0, "%");
    // The axis starts at chance itself, its line labelled, and the ticks below it go; data below
    // chance keep the nice step under them, so that no curve runs along the axis.
    if (low > axis.low && chance <= dataLow) {
        axis.low = low;
        while (!axis.ticks.empty() && axis.ticks.front() < low - 1e-12) {
            axis.ticks.erase(axis.ticks.begin());
            axis.tickLabels.erase(axis.tickLabels.begin());
        }
    }
    return axis;
}

void addKeyEntries(std::vector<KeyEntry>& entries, const std::vector<Series>& series) {
    for (const Series& s : series) {
        const auto found =
            std::find_if(entries.begin(), entries.end(), [&](const KeyEntry& entry) { return entry.name == s.name; });
        if (found == entries.end()) {
            entries.push_back({s.name, s.style});
        } else if (found->style.colour != s.style.colour) {
            found->style.colour = 7;
        }
    }
}

const std::vector<std::string>& palette() {
    static const std::vector<std::string> colours = {"#E69F00", "#56B4E9", "#009E73", "#F0E442",
                                                     "#0072B2", "#D55E00", "#CC79A7", "#000000"};
    return colours;
}

// Blue, vermillion, bluish green, reddish purple, orange, sky blue, black.
int runColour(std::size_t run) {
    constexpr int order[] = {4, 5, 2, 6, 0, 1, 7};
    return order[run % std::size(order)];
}

const std::vector<std::vector<double>>& dashPattern() {
    static const std::vector<std::vector<double>> dashes = {{}, {7, 4}, {2, 3}, {9, 3, 2, 3}, {4, 2}, {12, 3, 3, 3}};
    return dashes;
}

std::string falsePositiveNote(bool anyTwo, bool allTwo) {
    if (allTwo) return "False positive: classed in a higher group than the true one (Fail classed as Pass).";
    return std::string(
               "False positive: classed in a higher group than the true one; false negative: in a lower group") +
           (anyTwo ? " (with two groups: Fail classed as Pass, Pass as Fail)." : ".");
}

std::string stoppingRuleLabel(const StoppingRulePart& rule) {
    return rule.threshold.empty() ? rule.rule : rule.rule + " \xE2\x89\xA5 " + rule.threshold;
}

std::string fixedText(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    std::string text(buffer);
    // A value that rounds to zero is written without its sign.
    if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
    return text;
}

std::string percentText(double share, int decimals) {
    if (!std::isfinite(share)) return "n/a";
    return fixedText(share * 100, decimals) + "%";
}

std::optional<ExposureFigures> exposureFigures(const ExposureTable& exposure, std::int32_t testLength) {
    std::vector<std::int64_t> uses;
    std::int64_t total = 0;
    for (const ExposureItem& item : exposure.items) {
        uses.push_back(item.uses);
        total += item.uses;
    }
    if (testLength <= 0 || total % testLength != 0 || uses.empty()) return std::nullopt;
    // The study's figures and the report's are one computation.
    const quillon::ExposureFigures exact = quillon::exposureFigures(uses, total / testLength, total);
    ExposureFigures figures;
    figures.items = exact.items;
    figures.itemsUsed = exact.itemsUsed;
    figures.tests = exact.tests;
    figures.maxRate = exact.maxRate.value_or(0.0);
    figures.neverUsedShare = exact.neverUsedShare.value_or(0.0);
    figures.meanOverlap = exact.meanOverlap.value_or(0.0);
    return figures;
}

Status checkRunPairs(const std::vector<RunTables>& runs) {
    for (const RunTables& run : runs) {
        if (!run.exposure) continue;
        const auto length = static_cast<std::int32_t>(run.results.rows.size());
        // Only tables of two groups carry the Bayes columns.
        if ((run.exposure->groupCount == 2) != run.results.hasBayes) {
            return Failure{FailureKind::Input, run.exposureFile + " does not belong to " + run.resultsFile +
                                                   ": it has " + std::to_string(run.exposure->groupCount) +
                                                   " groups, the results table " +
                                                   (run.results.hasBayes ? "two." : "not two.")};
        }
        if (!exposureFigures(*run.exposure, length)) {
            return Failure{FailureKind::Input, run.exposureFile + " does not belong to " + run.resultsFile +
                                                   ": its use counts are not a whole number of tests of " +
                                                   std::to_string(length) + " items."};
        }
    }
    for (const RunTables& run : runs) {
        if (!run.stopping) continue;
        const auto length = static_cast<std::int32_t>(run.results.rows.size());
        if (run.stopping->maxTestLength != length) {
            return Failure{FailureKind::Input, run.stoppingFile + " does not belong to " + run.resultsFile +
                                                   ": its tests are " + std::to_string(run.stopping->maxTestLength) +
                                                   " items long, the results table's " + std::to_string(length) + "."};
        }
    }
    for (const RunTables& run : runs) {
        if (!run.confusion) continue;
        const auto length = static_cast<std::int32_t>(run.results.rows.size());
        const std::int32_t groups = run.confusion->groupCount;
        if (run.confusion->maxTestLength != length) {
            return Failure{FailureKind::Input, run.confusionFile + " does not belong to " + run.resultsFile +
                                                   ": its tests are " + std::to_string(run.confusion->maxTestLength) +
                                                   " items long, the results table's " + std::to_string(length) + "."};
        }
        // Only tables of two groups carry the Bayes columns.
        if ((groups == 2) != run.results.hasBayes || (run.exposure && run.exposure->groupCount != groups)) {
            return Failure{FailureKind::Input,
                           run.confusionFile + " does not belong to " + run.resultsFile + ": it has " +
                               std::to_string(groups) + " groups, the " +
                               (run.exposure ? "exposure table " + std::to_string(run.exposure->groupCount) + "."
                                : run.results.hasBayes ? std::string("results table two.")
                                                       : std::string("results table not two."))};
        }
    }
    return {};
}

std::vector<Chart> buildCharts(const std::vector<RunTables>& runs) {
    std::vector<Chart> charts;
    const int dashes = dashCount();
    const bool several = runs.size() > 1;
    std::vector<RunCases> cases;
    for (const RunTables& run : runs) cases.push_back(casesOf(run));
    const bool allCounted =
        std::all_of(cases.begin(), cases.end(), [](const RunCases& c) { return c.tests.has_value(); });
    const bool anyBayes = std::any_of(runs.begin(), runs.end(), [](const RunTables& r) { return r.results.hasBayes; });
    const auto twoGroups = [](const RunTables& run) { return run.results.hasBayes; };
    const bool allTwo = std::all_of(runs.begin(), runs.end(), twoGroups);
    // With several runs colour means the run on every chart, and a panel holds one rule.
    const auto runStyle = [&](std::size_t r) { return SeriesStyle{runColour(r), static_cast<int>(r) % dashes, false}; };
    const auto ruleStyle = [](Rule rule) { return SeriesStyle{ruleColour[rule], 0, false}; };
    const std::string bandNote =
        allCounted ? "Bands: 95 % Wilson interval of each share, over the tests (the SPRT's: the decided tests)."
                   : "No interval bands: the number of tests is not known without the run's exposure, stopping or "
                     "confusion table.";
    const std::string faintNote = "Faded: shares of fewer than " + std::to_string(fewCases) + " tests.";
    // A set's notes (under its last panel) say how its bands were made and whether any point is faded.
    const auto addIntervalNotes = [&](std::vector<Chart>& set) {
        std::vector<std::string>& notes = set.back().notes;
        notes.push_back(bandNote);
        if (std::any_of(set.begin(), set.end(), [](const Chart& chart) { return anyFaint(chart.series); }))
            notes.push_back(faintNote);
    };

    struct Column {
        Rule rule;
        double ResultsRow::*value;
        bool (*present)(const ResultsRow&);
    };
    const auto shareSeries = [&](std::size_t r, const Column& column, std::string name, SeriesStyle style) {
        Series series = lengthSeries(
            runs[r], std::move(name), style, [&](const ResultsRow& x) { return x.*column.value; }, column.present);
        addIntervals(series, [&](std::size_t i) { return column.rule == Sprt ? cases[r].decided[i] : cases[r].tests; });
        return series;
    };
    const std::vector<Rule> rules = anyBayes ? std::vector<Rule>{Map, Sprt, Bayes} : std::vector<Rule>{Map, Sprt};
    const auto runsOf = [&](Rule rule) {
        std::vector<std::size_t> which;
        for (std::size_t r = 0; r < runs.size(); ++r)
            if (rule != Bayes || runs[r].results.hasBayes) which.push_back(r);
        return which;
    };
    const auto panel = [&](std::string id, std::string title, std::string set, std::vector<Series> series) {
        Chart chart;
        chart.id = std::move(id);
        chart.title = std::move(title);
        chart.set = std::move(set);
        chart.x = lengthAxis(runs, several ? 5 : 8);
        chart.series = std::move(series);
        return chart;
    };

    // Accuracy: every panel on one axis from chance, so that no rule looks better for its range.
    const Column accuracyColumns[] = {{Map, &ResultsRow::mapAccurate, mapPresent},
                                      {Sprt, &ResultsRow::sprtAccurate, sprtPresent},
                                      {Bayes, &ResultsRow::bayesAccurate, bayesPresent}};
    const char* const accuracyName[] = {"MAP", "SPRT (of decided)", "Bayes risk"};
    std::vector<Chart> accuracy;
    std::vector<std::string> firstNotes;
    if (!several) {
        std::vector<Series> series, marks;
        for (Rule rule : rules) {
            series.push_back(shareSeries(0, accuracyColumns[rule], accuracyName[rule], ruleStyle(rule)));
            if (rule == Sprt) continue;  // a share of the decided tests reaches 90% on few of them
            auto [mark, note] = firstLengthMarks(series.back(), ruleName[rule], ruleColour[rule]);
            if (!mark.points.empty()) marks.push_back(std::move(mark));
            firstNotes.push_back(std::move(note));
        }
        markLineEnds(series);
        if (!marks.empty()) {
            series.insert(series.end(), marks.begin(), marks.end());
        }
        accuracy.push_back(panel("accuracy", "Classification accuracy by test length", "accuracy", std::move(series)));
    } else {
        const char* const ids[] = {"accuracy-map", "accuracy-sprt", "accuracy-bayes"};
        const char* const titles[] = {"MAP accuracy", "SPRT accuracy (of decided)", "Bayes risk accuracy"};
        for (Rule rule : rules) {
            std::vector<Series> series, marks;
            for (std::size_t r : runsOf(rule)) {
                series.push_back(shareSeries(r, accuracyColumns[rule], runs[r].label, runStyle(r)));
                if (rule == Sprt) continue;
                auto [mark, note] =
                    firstLengthMarks(series.back(), runs[r].label + ": " + ruleName[rule], runColour(r));
                if (!mark.points.empty()) marks.push_back(std::move(mark));
                firstNotes.push_back(std::move(note));
            }
            markLineEnds(series);
            series.insert(series.end(), marks.begin(), marks.end());
            accuracy.push_back(panel(ids[rule], titles[rule], "accuracy", std::move(series)));
            accuracy.back().legend = false;
        }
    }
    // The chance level: one line per group count the runs have.
    std::vector<std::int32_t> groupCounts;
    bool groupsUnknown = false;
    for (const RunTables& run : runs) {
        const std::optional<std::int32_t> groups = groupsOfRun(run);
        if (!groups) groupsUnknown = true;
        if (groups && std::find(groupCounts.begin(), groupCounts.end(), *groups) == groupCounts.end())
            groupCounts.push_back(*groups);
    }
    std::sort(groupCounts.begin(), groupCounts.end());
    double chance = groupsUnknown || groupCounts.empty() ? 0.0 : 1.0 / groupCounts.back();
    std::vector<ReferenceLine> chanceLines;
    for (std::int32_t groups : groupCounts) {
        const std::string share = percentText(1.0 / groups, groups == 2 || groups == 4 || groups == 5 ? 0 : 1);
        chanceLines.push_back({1.0 / groups, groupCounts.size() > 1
                                                 ? "Chance with " + std::to_string(groups) + " groups: " + share
                                                 : "Chance: " + share});
    }
    std::optional<Chart> tradeOff = tradeOffChart(runs, cases);
    double low = 1, high = 1;
    for (const Chart& chart : accuracy) {
        const auto [l, h] = drawnYRange(chart.series);
        if (chart.hasData()) low = std::min(low, l), high = std::max(high, h);
    }
    if (tradeOff) {
        const auto [l, h] = drawnYRange(tradeOff->series);
        if (tradeOff->hasData()) low = std::min(low, l), high = std::max(high, h);
    }
    const Axis accuracyAxis = chanceAxis(chance, low, high);
    for (std::size_t c = 0; c < accuracy.size(); ++c) {
        Chart& chart = accuracy[c];
        chart.y = accuracyAxis;
        chart.y.title =
            several && chart.id == "accuracy-sprt" ? "Accurate (% of decided)" : "Accurate classifications (%)";
        chart.references = chanceLines;
        noteCoinciding(chart);
    }
    {
        Chart& last = accuracy.back();
        last.notes.push_back(std::string(anyBayes ? "MAP and Bayes risk" : "MAP") +
                             ": share of all tests; SPRT: share of the tests it had decided.");
        if (groupsUnknown)
            last.notes.push_back(
                "The axis starts at 0%: the group count, and so chance, is not known without the "
                "run's exposure or confusion table.");
        addIntervalNotes(accuracy);
        last.notes.push_back(std::string("Diamonds: the first length at which a curve reaches 90, 95 and 99%."));
        last.notes.insert(last.notes.end(), firstNotes.begin(), firstNotes.end());
    }
    charts.insert(charts.end(), accuracy.begin(), accuracy.end());

    // The SPRT's decided share, a thin strip under the accuracy panels: the base of its accuracy.
    {
        std::vector<Series> decided;
        for (std::size_t r = 0; r < runs.size(); ++r) {
            Series series = lengthSeries(
                runs[r], several ? runs[r].label : "SPRT", several ? runStyle(r) : ruleStyle(Sprt),
                [](const ResultsRow& x) { return x.sprtDecided; }, mapPresent);
            addIntervals(series, [&](std::size_t) { return cases[r].tests; });
            decided.push_back(std::move(series));
        }
        Chart strip =
            panel("sprt-decided", "Tests the SPRT had decided (% of tests started)", "accuracy", std::move(decided));
        strip.x = lengthAxis(runs, 8);
        strip.y = percentAxisTicks(2);
        strip.y.title = "Decided";
        strip.strip = true;
        strip.legend = !several;
        charts.push_back(std::move(strip));
    }

    // False positives and false negatives apart: each is read against its own kind.
    {
        struct ErrorColumn {
            Rule rule;
            bool falsePositive;
            Column column;
        };
        const ErrorColumn errorColumns[] = {
            {Map, true, {Map, &ResultsRow::mapFalsePos, mapPresent}},
            {Map, false, {Map, &ResultsRow::mapFalseNeg, mapPresent}},
            {Sprt, true, {Sprt, &ResultsRow::sprtFalsePos, sprtPresent}},
            {Sprt, false, {Sprt, &ResultsRow::sprtFalseNeg, sprtPresent}},
            {Bayes, true, {Bayes, &ResultsRow::bayesFalsePos, bayesPresent}},
            {Bayes, false, {Bayes, &ResultsRow::bayesFalseNeg, bayesPresent}},
        };
        std::vector<Chart> errors;
        const auto kindOf = [](bool falsePositive) {
            return std::string(falsePositive ? "false positives" : "false negatives");
        };
        const auto idOf = [](bool falsePositive) {
            return std::string(falsePositive ? "false-positives" : "false-negatives");
        };
        if (!several) {
            for (bool falsePositive : {true, false}) {
                std::vector<Series> series;
                for (const ErrorColumn& e : errorColumns)
                    if (e.falsePositive == falsePositive && (e.rule != Bayes || anyBayes))
                        series.push_back(shareSeries(0, e.column, accuracyName[e.rule], ruleStyle(e.rule)));
                markLineEnds(series);
                std::string title = kindOf(falsePositive);
                title[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(title[0])));
                errors.push_back(panel(idOf(falsePositive), title + " by test length", "errors", std::move(series)));
                errors.back().legend = false;
            }
        } else {
            // A rule's two panels side by side.
            for (const ErrorColumn& e : errorColumns) {
                if (e.rule == Bayes && !anyBayes) continue;
                std::vector<Series> series;
                for (std::size_t r : runsOf(e.rule))
                    series.push_back(shareSeries(r, e.column, runs[r].label, runStyle(r)));
                markLineEnds(series);
                const char* const suffix[] = {"-map", "-sprt", "-bayes"};
                errors.push_back(panel(idOf(e.falsePositive) + suffix[e.rule],
                                       std::string(ruleName[e.rule]) + " " + kindOf(e.falsePositive) +
                                           (e.rule == Sprt ? " (of decided)" : ""),
                                       "errors", std::move(series)));
                errors.back().legend = false;
            }
        }
        double top = 0;
        for (const Chart& chart : errors) top = std::max(top, drawnYRange(chart.series).second);
        for (Chart& chart : errors) {
            chart.y = percentAxis(0, top, true);
            chart.y.title = chart.id.starts_with("false-positives") ? "False positives (%)" : "False negatives (%)";
            noteCoinciding(chart);
        }
        Chart& last = errors.back();
        last.notes.push_back(falsePositiveNote(anyBayes, allTwo));
        last.notes.push_back(std::string(anyBayes ? "MAP and Bayes risk" : "MAP") +
                             ": share of all tests; SPRT: share of the tests it had decided.");
        addIntervalNotes(errors);
        charts.insert(charts.end(), errors.begin(), errors.end());
    }

    // Mean probability: not a share of tests, so no interval.
    {
        const Column meanColumns[] = {{Map, &ResultsRow::mapMeanProb, mapPresent},
                                      {Bayes, &ResultsRow::bayesMeanProb, bayesPresent}};
        const auto meanSeries = [&](std::size_t r, const Column& column, std::string name, SeriesStyle style) {
            return lengthSeries(
                runs[r], std::move(name), style, [&](const ResultsRow& x) { return x.*column.value; }, column.present);
        };
        std::vector<Chart> means;
        if (!several) {
            std::vector<Series> series;
            for (const Column& column : meanColumns)
                if (column.rule != Bayes || anyBayes)
                    series.push_back(meanSeries(0, column, ruleName[column.rule], ruleStyle(column.rule)));
            markLineEnds(series);
            means.push_back(
                panel("mean-probability", "Mean classification probability by test length", "", std::move(series)));
        } else {
            for (const Column& column : meanColumns) {
                if (column.rule == Bayes && !anyBayes) continue;
                std::vector<Series> series;
                for (std::size_t r : runsOf(column.rule))
                    series.push_back(meanSeries(r, column, runs[r].label, runStyle(r)));
                markLineEnds(series);
                means.push_back(panel(column.rule == Map ? "mean-probability-map" : "mean-probability-bayes",
                                      std::string(ruleName[column.rule]) + " mean probability", "mean-probability",
                                      std::move(series)));
                means.back().legend = false;
            }
        }
        double meanLow = 0, meanHigh = 0;
        for (const Chart& chart : means) {
            const auto [l, h] = yRange(chart.series);
            meanLow = std::min(meanLow, l), meanHigh = std::max(meanHigh, h);
        }
        for (Chart& chart : means) {
            chart.y = percentAxis(meanLow, meanHigh, false);
            chart.y.title = "Mean probability of the chosen group (%)";
            noteCoinciding(chart);
        }
        charts.insert(charts.end(), means.begin(), means.end());
    }

    // The pool's charts (exposure, separation) follow the rules' charts.
    for (Chart& chart : poolCharts(runs)) charts.push_back(std::move(chart));
    if (std::any_of(runs.begin(), runs.end(), [](const RunTables& run) { return run.stopping.has_value(); }))
        charts.push_back(stoppingChart(runs));
    if (tradeOff) {
        tradeOff->y = accuracyAxis;
        tradeOff->y.title = "Classified correctly (%)";
        tradeOff->references = chanceLines;
        charts.push_back(std::move(*tradeOff));
    }
    return charts;
}

std::optional<double> exposureTargetOf(const RunSettings& settings) {
    if (settings.exposureControl == ExposureControl::None) return std::nullopt;
    return settings.maxExposure;
}

}  // namespace quillon::charts
