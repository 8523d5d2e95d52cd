#include "quillon/charts/chart_model.h"

#include <algorithm>
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

Axis lengthAxis(const std::vector<RunTables>& runs) {
    Axis axis = niceAxis(0, longestTest(runs), 8, true);
    axis.title = "Test length (items)";
    return axis;
}

Chart lengthChart(std::string id, std::string title, std::string yTitle, bool fitToData,
                  const std::vector<RunTables>& runs, std::vector<Series> series) {
    Chart chart;
    chart.id = std::move(id);
    chart.title = std::move(title);
    chart.x = lengthAxis(runs);
    const auto [low, high] = yRange(series);
    chart.y = percentAxis(low, high, fitToData);
    chart.y.title = std::move(yTitle);
    chart.series = std::move(series);
    return chart;
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
            // of its own keeps each one visible where they coincide.
            const int dash = static_cast<int>(chart.series.size()) % dashes;
            Series series{seriesName(name, runs, r), SeriesStyle{stoppingColour(k), dash, false}, {}};
            // Without any test there is nothing to share over, and nothing is drawn.
            const auto tests = static_cast<double>(rule.total.tests);
            for (std::size_t n = 0; n < rule.stopped.size(); ++n) {
                series.points.push_back(pointIf(rule.total.tests > 0, static_cast<double>(n + 1),
                                                static_cast<double>(rule.stopped[n].tests) / tests));
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
    chart.x = lengthAxis(runs);
    const auto [low, high] = yRange(chart.series);
    chart.y = percentAxis(low, high, true);
    chart.y.title = "Tests stopped at this length (%)";
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

    std::vector<Series> accuracy, errors, decided, meanProb;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const RunTables& run = runs[r];
        const int dash = static_cast<int>(r) % dashes;
        const auto style = [&](Rule rule) { return SeriesStyle{ruleColour[rule], dash, false}; };
        accuracy.push_back(lengthSeries(
            run, seriesName("MAP", runs, r), style(Map), [](const ResultsRow& x) { return x.mapAccurate; },
            mapPresent));
        accuracy.push_back(lengthSeries(
            run, seriesName("SPRT (of decided)", runs, r), style(Sprt),
            [](const ResultsRow& x) { return x.sprtAccurate; }, sprtPresent));
        if (run.results.hasBayes) {
            accuracy.push_back(lengthSeries(
                run, seriesName("Bayes risk", runs, r), style(Bayes),
                [](const ResultsRow& x) { return x.bayesAccurate; }, bayesPresent));
        }

        struct ErrorColumn {
            Rule rule;
            bool falsePositive;
            double ResultsRow::*value;
            bool (*present)(const ResultsRow&);
        };
        const ErrorColumn errorColumns[] = {
            {Map, true, &ResultsRow::mapFalsePos, mapPresent},
            {Map, false, &ResultsRow::mapFalseNeg, mapPresent},
            {Sprt, true, &ResultsRow::sprtFalsePos, sprtPresent},
            {Sprt, false, &ResultsRow::sprtFalseNeg, sprtPresent},
            {Bayes, true, &ResultsRow::bayesFalsePos, bayesPresent},
            {Bayes, false, &ResultsRow::bayesFalseNeg, bayesPresent},
        };
        for (const ErrorColumn& column : errorColumns) {
            if (column.rule == Bayes && !run.results.hasBayes) continue;
            std::string what =
                std::string(ruleName[column.rule]) + (column.falsePositive ? " false pos." : " false neg.");
            const SeriesStyle errorStyle{ruleColour[column.rule],
                                         (2 * static_cast<int>(r) + (column.falsePositive ? 0 : 1)) % dashes, false};
            errors.push_back(lengthSeries(
                run, seriesName(what, runs, r), errorStyle, [&](const ResultsRow& x) { return x.*column.value; },
                column.present));
        }

        // One rule per chart: colour tells the runs apart, and the dash does too in print.
        const SeriesStyle runStyle{runColour(r), dash, false};
        decided.push_back(lengthSeries(
            run, runs.size() > 1 ? run.label : "SPRT", runs.size() > 1 ? runStyle : style(Sprt),
            [](const ResultsRow& x) { return x.sprtDecided; }, mapPresent));
        meanProb.push_back(lengthSeries(
            run, seriesName("MAP", runs, r), style(Map), [](const ResultsRow& x) { return x.mapMeanProb; },
            mapPresent));
        if (run.results.hasBayes) {
            meanProb.push_back(lengthSeries(
                run, seriesName("Bayes risk", runs, r), style(Bayes),
                [](const ResultsRow& x) { return x.bayesMeanProb; }, bayesPresent));
        }
    }

    charts.push_back(lengthChart("accuracy", "Classification accuracy by test length", "Accurate classifications (%)",
                                 false, runs, std::move(accuracy)));
    // The notes name Bayes risk and Pass/Fail only where a run has two groups.
    const auto twoGroups = [](const RunTables& run) { return run.results.hasBayes; };
    const bool anyTwo = std::any_of(runs.begin(), runs.end(), twoGroups);
    const bool allTwo = std::all_of(runs.begin(), runs.end(), twoGroups);
    charts.back().notes.push_back(std::string(anyTwo ? "MAP and Bayes risk" : "MAP") +
                                  ": share of all tests; SPRT: share of the tests it had decided.");
    charts.push_back(lengthChart("errors", "False positives and false negatives by test length",
                                 "Misclassified tests (%)", true, runs, std::move(errors)));
    charts.back().notes.push_back(falsePositiveNote(anyTwo, allTwo));
    charts.push_back(lengthChart("sprt-decided", "Tests the SPRT had decided, by test length",
                                 "Decided (% of tests started)", false, runs, std::move(decided)));
    charts.push_back(lengthChart("mean-probability", "Mean classification probability by test length",
                                 "Mean probability of the chosen group (%)", false, runs, std::move(meanProb)));

    // The pool's charts (exposure, separation) follow the rules' charts.
    for (Chart& chart : poolCharts(runs)) charts.push_back(std::move(chart));
    if (std::any_of(runs.begin(), runs.end(), [](const RunTables& run) { return run.stopping.has_value(); }))
        charts.push_back(stoppingChart(runs));
    return charts;
}

}  // namespace quillon::charts
