// The paired comparison of two runs over the same examinees: the difference B - A per rule with
// its exact interval, and the report that shows it beside both runs' ordinary charts.
#include "quillon/charts/paired_chart.h"

#include <algorithm>
#include <cmath>

#include "quillon/charts/report.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

const std::string minusSign = "\xE2\x88\x92";
constexpr int differenceColour = 7;  // black: the difference, whatever the rule
constexpr int zeroColour = 7;

using Point = std::optional<std::pair<double, double>>;

bool hasPairs(const PairedFigures& figures, std::size_t rule) {
    return std::any_of(figures.lengths.begin(), figures.lengths.end(),
                       [rule](const PairedLength& at) { return at.rules[rule].pairs() > 0; });
}

// The last length at which `rule` has a pair: where the notes and the table report it.
std::size_t longestWithPairs(const PairedFigures& figures, std::size_t rule) {
    for (std::size_t n = figures.lengths.size(); n > 0; --n)
        if (figures.lengths[n - 1].rules[rule].pairs() > 0) return n;
    return 0;
}

std::string signedPoints(double share) {
    const std::string text = fixedText(100.0 * share, 2);
    return text[0] == '-' ? minusSign + text.substr(1) : (text == "0.00" ? text : "+" + text);
}

std::string thousands(std::int64_t value) {
    const std::string text = formatThousands(value);
    return text.substr(text.find_first_not_of(' '));
}

}  // namespace

PairedFigures pairedFigures(const PairedComparison& comparison) {
    return {comparison.a.label, comparison.b.label, comparison.groupCount, comparison.lengths};
}

StudyChartSet pairedChartSet(const PairedFigures& figures) {
    StudyChartSet set;
    set.id = "paired-difference";
    set.title = "Paired difference, " + figures.labelB + " " + minusSign + " " + figures.labelA +
                ", in the share classified correctly";
    const auto longest = static_cast<double>(std::max<std::size_t>(figures.lengths.size(), 1));
    const Axis x = niceAxis(1, longest, 5, true);

    std::vector<std::size_t> rules;
    for (std::size_t rule = 0; rule < pairedRuleCount; ++rule)
        if (hasPairs(figures, rule)) rules.push_back(rule);

    // One y axis for every panel, always holding 0, so that panels compare at a glance.
    double low = 0, high = 0;
    std::vector<Series> differences;
    for (std::size_t rule : rules) {
        Series series{pairedRuleName(static_cast<PairedRule>(rule)), {differenceColour, 0, false}, {}};
        for (std::size_t n = 0; n < figures.lengths.size(); ++n) {
            const std::optional<PairedDifference> d = pairedDifference(figures.lengths[n].rules[rule]);
            const auto length = static_cast<double>(n + 1);
            series.points.push_back(d ? Point{{length, 100.0 * d->difference}} : Point{});
            series.band.push_back(d ? Point{{100.0 * d->low, 100.0 * d->high}} : Point{});
            if (d) {
                low = std::min(low, 100.0 * d->low);
                high = std::max(high, 100.0 * d->high);
            }
        }
        differences.push_back(std::move(series));
    }
    Axis y = niceAxis(low, high, 6, false);
    y.title = figures.labelB + " " + minusSign + " " + figures.labelA + " (percentage points)";
    Axis xTitled = x;
    xTitled.title = "Test length (items)";

    for (std::size_t i = 0; i < rules.size(); ++i) {
        const auto rule = static_cast<PairedRule>(rules[i]);
        Chart chart;
        chart.id = set.id + "-" + std::to_string(i + 1);
        chart.title = rule == PairedRule::Sprt ? std::string("SPRT (tests both runs had decided)")
                                               : std::string(pairedRuleName(rule));
        chart.x = xTitled;
        chart.y = y;
        chart.legend = false;
        chart.series.push_back({"no difference", {zeroColour, 1, false}, {Point{{x.low, 0.0}}, Point{{x.high, 0.0}}}});
        chart.series.push_back(std::move(differences[i]));
        set.panels.push_back(std::move(chart));
    }

    const std::size_t atMap = longestWithPairs(figures, 0);
    if (atMap > 0) {
        const PairedCounts& c = figures.lengths[atMap - 1].rules[0];
        set.notes.push_back("At length " + std::to_string(atMap) + ", " + thousands(c.pairs()) +
                            " pairs of tests (the same examinee's same test in both runs); under MAP " +
                            thousands(c.discordant()) + " of them discordant: " + thousands(c.bOnly) + " right in " +
                            figures.labelB + " only, " + thousands(c.aOnly) + " right in " + figures.labelA + " only.");
    }
    set.notes.push_back("The line is (b " + minusSign + " c) / n, b the pairs right in " + figures.labelB +
                        " only, c those right in " + figures.labelA +
                        " only, n all pairs. The band is its exact paired 95 % interval: given the m = b + c "
                        "discordant pairs, b is Binomial(m, " +
                        "\xCF\x80); the Clopper" + "\xE2\x80\x93" +
                        "Pearson interval of \xCF\x80 maps to (m / n)(2\xCF\x80 " + minusSign +
                        " 1). With no discordant pair the interval is the single point 0.");
    set.notes.push_back(
        "SPRT: only the tests both runs had decided at that length are paired, so its n changes with the length.");
    if (figures.groupCount != 2) set.notes.push_back("Bayes risk: only with two groups.");
    return set;
}

std::string pairedSectionHtml(const PairedFigures& figures) {
    std::string out = "<h2>Paired comparison</h2>\n";
    // Two panels to a row on the report's narrow page, each scaled by its viewBox; the page's own
    // style lays the panels out.
    out += "<style>.panels svg { width: calc(50% - 3px); height: auto; }</style>\n";
    out += "<p class=\"note\">Both runs replayed the same examinees, so each test of run " +
           escapeMarkup(figures.labelA) + " is paired with the same examinee's test in run " +
           escapeMarkup(figures.labelB) + ".</p>\n";
    const StudyChartSet set = pairedChartSet(figures);
    if (set.panels.empty()) return out + "<p class=\"note\">No test was paired.</p>\n";
    out += figureHtml(set, false);

    out += "<table>\n<tr><th>Rule</th><th>Length</th><th>Pairs</th><th>Both right</th><th>" +
           escapeMarkup(figures.labelA) + " only</th><th>" + escapeMarkup(figures.labelB) +
           " only</th><th>Both wrong</th><th>" + escapeMarkup(figures.labelB) + " " + minusSign + " " +
           escapeMarkup(figures.labelA) + "</th><th>95 % interval</th></tr>\n";
    for (std::size_t rule = 0; rule < pairedRuleCount; ++rule) {
        const std::size_t at = longestWithPairs(figures, rule);
        if (at == 0) continue;
        const PairedCounts& c = figures.lengths[at - 1].rules[rule];
        const std::optional<PairedDifference> d = pairedDifference(c);
        out += "<tr>" + htmlCell(pairedRuleName(static_cast<PairedRule>(rule))) + htmlCell(std::to_string(at)) +
               htmlCell(thousands(c.pairs())) + htmlCell(thousands(c.bothRight)) + htmlCell(thousands(c.aOnly)) +
               htmlCell(thousands(c.bOnly)) + htmlCell(thousands(c.bothWrong)) + htmlCell(signedPoints(d->difference)) +
               htmlCell(c.discordant() == 0 ? std::string("0 (no discordant pair)")
                                            : signedPoints(d->low) + " to " + signedPoints(d->high)) +
               "</tr>\n";
    }
    out +=
        "</table>\n<p class=\"note\">Each rule at the longest length it has pairs; differences in percentage "
        "points.</p>\n";
    return out;
}

Outcome<RunTables> runTablesInMemory(const RunSettings& settings, const RunStatistics& statistics, const ItemPool& pool,
                                     const std::string& label) {
    RunTables run;
    run.label = label;
    run.inMemory = true;
    run.tests = statistics.testsTaken;
    const std::string where = label + " (in memory)";
    run.resultsFile = where;
    Outcome<ResultsTable> results = parseResultsTable(resultsTableText(statistics, settings.groupCount), where);
    if (!results) return results.failure();
    run.results = std::move(*results);
    run.exposureFile = where;
    Outcome<ExposureTable> exposure = parseExposureTable(exposureTableText(statistics, pool), where);
    if (!exposure) return exposure.failure();
    run.exposure = std::move(*exposure);
    run.stoppingFile = where;
    Outcome<StoppingResults> stopping = parseStoppingTable(statistics.stopping.text(), where);
    if (!stopping) return stopping.failure();
    run.stopping = std::move(*stopping);
    run.confusionFile = where;
    Outcome<ConfusionCounts> confusion = parseConfusionTable(statistics.confusion.text(), where);
    if (!confusion) return confusion.failure();
    run.confusion = std::move(*confusion);
    if (Status paired = checkRunPairs({run}); !paired) return paired.failure();
    run.settings = settingsSummary(settings);
    run.exposureTarget = exposureTargetOf(settings);
    return run;
}

Outcome<std::string> pairedReportHtml(const PairedComparison& comparison) {
    std::vector<RunTables> runs;
    for (const auto* side : {&comparison.a, &comparison.b}) {
        const bool isA = side == &comparison.a;
        Outcome<RunTables> run =
            runTablesInMemory(side->settings, (isA ? comparison.summaryA : comparison.summaryB).statistics,
                              isA ? comparison.poolA : comparison.poolB, side->label);
        if (!run) return run.failure();
        run->settings.emplace_back("Seed", std::to_string(side->seed));
        runs.push_back(std::move(*run));
    }
    const PairedFigures figures = pairedFigures(comparison);
    return reportHtml(runs, {}, defaultOverUsedRate, &figures);
}

}  // namespace quillon::charts
