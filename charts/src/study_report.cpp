#include "quillon/charts/study_report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>

#include "chart_key.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/report.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

constexpr double panelWidth = 400;
const std::string dashText = "\xE2\x80\x93";

// A factor's levels in the order the conditions first give them: the design's order.
std::vector<std::string> levelsOf(const StudyFigures& figures, std::size_t factor) {
    std::vector<std::string> levels;
    for (const ConditionFigures& condition : figures.conditions)
        if (std::find(levels.begin(), levels.end(), condition.levels[factor]) == levels.end())
            levels.push_back(condition.levels[factor]);
    return levels;
}

std::size_t indexIn(const std::vector<std::string>& list, const std::string& value) {
    return static_cast<std::size_t>(std::find(list.begin(), list.end(), value) - list.begin());
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text.empty() ? "none" : text;
}

// Which factor goes where, and so how each condition is drawn on every chart of the page.
struct Layout {
    std::optional<std::size_t> panel, colour;  // factor indices
    std::vector<std::string> panelLevels, colourLevels;
    std::vector<std::vector<std::size_t>> panels;  // the conditions of each panel
    std::vector<SeriesStyle> styles;               // per condition
    std::vector<std::string> restLabels;           // per dash: the other factors' levels it stands for
    std::vector<std::string> restNames;            // the other factors
};

Outcome<std::size_t> factorNamed(const StudyFigures& figures, const std::string& name, const char* role) {
    std::vector<std::string> names;
    for (std::size_t f = 0; f < figures.factors.size(); ++f) {
        if (figures.factors[f].name == name) return f;
        names.push_back(figures.factors[f].name);
    }
    return Failure{FailureKind::Usage, "The " + std::string(role) + " factor \"" + name +
                                           "\" is none of the study's factors: " + joined(names) + "."};
}

Outcome<Layout> layoutOf(const StudyFigures& figures, const StudyReportOptions& options) {
    Layout layout;
    const std::size_t factors = figures.factors.size();
    if (!options.colourFactor.empty()) {
        Outcome<std::size_t> named = factorNamed(figures, options.colourFactor, "colour");
        if (!named) return named.failure();
        layout.colour = *named;
    }
    if (!options.panelFactor.empty()) {
        Outcome<std::size_t> named = factorNamed(figures, options.panelFactor, "panel");
        if (!named) return named.failure();
        layout.panel = *named;
    } else if (factors >= 2) {
        // The fewest panels leave each the most room; ties go to the earlier factor.
        std::optional<std::size_t> fewest;
        for (std::size_t f = 0; f < factors; ++f)
            if (f != layout.colour && (!fewest || levelsOf(figures, f).size() < levelsOf(figures, *fewest).size()))
                fewest = f;
        layout.panel = fewest;
    }
    if (options.colourFactor.empty() && factors >= 1) {
        const std::size_t next = layout.panel ? (*layout.panel + 1) % factors : 0;
        if (next != layout.panel) layout.colour = next;
    }
    if (layout.panel && layout.panel == layout.colour)
        return Failure{FailureKind::Usage, "The panel and colour factors must differ; both are " +
                                               figures.factors[*layout.panel].name + "."};

    if (layout.panel) layout.panelLevels = levelsOf(figures, *layout.panel);
    if (layout.colour) layout.colourLevels = levelsOf(figures, *layout.colour);
    layout.panels.resize(std::max<std::size_t>(layout.panelLevels.size(), 1));
    for (std::size_t f = 0; f < factors; ++f)
        if (f != layout.panel && f != layout.colour) layout.restNames.push_back(figures.factors[f].name);
    const int dashes = static_cast<int>(dashPattern().size());
    for (std::size_t c = 0; c < figures.conditions.size(); ++c) {
        const ConditionFigures& condition = figures.conditions[c];
        layout.panels[layout.panel ? indexIn(layout.panelLevels, condition.levels[*layout.panel]) : 0].push_back(c);
        const std::size_t level = layout.colour ? indexIn(layout.colourLevels, condition.levels[*layout.colour]) : 0;
        std::string rest;
        for (std::size_t f = 0; f < factors; ++f)
            if (f != layout.panel && f != layout.colour)
                rest += (rest.empty() ? "" : ", ") + figures.factors[f].name + "=" + condition.levels[f];
        std::size_t restIndex = indexIn(layout.restLabels, rest);
        if (restIndex == layout.restLabels.size()) layout.restLabels.push_back(rest);
        // The dash tells the other factors' levels apart; without them, colours past the
        // palette's seven.
        const auto dash = layout.restNames.empty() ? level / 7 : restIndex;
        layout.styles.push_back(SeriesStyle{runColour(level), static_cast<int>(dash) % dashes, false});
    }
    return layout;
}

std::string panelTitle(const StudyFigures& figures, const Layout& layout, std::size_t panel, const std::string& whole) {
    if (!layout.panel || panel >= layout.panelLevels.size()) return whole;
    return figures.factors[*layout.panel].name + "=" + layout.panelLevels[panel];
}

// A condition's curve of one measure: its means, a gap wherever one is missing (or a length is
// skipped), in the band of the mean's 95 % interval kept within 0 to 100%, as no share leaves it.
Series lengthSeries(const ConditionFigures& condition, std::size_t measure, std::string name, SeriesStyle style,
                    bool withBand) {
    Series series{std::move(name), style, {}};
    std::int32_t previous = 0;
    for (const LengthFigures& line : condition.lengths) {
        if (previous > 0 && line.length != previous + 1) {
            series.points.emplace_back();
            series.band.emplace_back();
        }
        previous = line.length;
        const FigureSummary& value = line.measures[measure];
        if (!value.mean) {
            series.points.emplace_back();
            series.band.emplace_back();
            continue;
        }
        const double mean = *value.mean;
        series.points.emplace_back(std::pair{static_cast<double>(line.length), mean});
        if (value.ciLow && value.ciHigh) {
            series.band.emplace_back(
                std::pair{std::max(*value.ciLow, std::min(0.0, mean)), std::min(*value.ciHigh, std::max(1.0, mean))});
        } else {
            series.band.emplace_back();
        }
    }
    if (!withBand) series.band.clear();
    return series;
}

bool hasPoint(const Series& series) {
    return std::any_of(series.points.begin(), series.points.end(), [](const auto& p) { return p.has_value(); });
}

// The lowest and highest value the series draw, bands and whiskers included.
std::pair<double, double> drawnRange(const std::vector<Series>& series, bool alongX) {
    double low = INFINITY, high = -INFINITY;
    const auto take = [&](double v) {
        low = std::min(low, v);
        high = std::max(high, v);
    };
    for (const Series& s : series) {
        for (std::size_t i = 0; i < s.points.size(); ++i) {
            if (!s.points[i]) continue;
            take(alongX ? s.points[i]->first : s.points[i]->second);
            if (!alongX && i < s.band.size() && s.band[i]) {
                take(s.band[i]->first);
                take(s.band[i]->second);
            }
            if (i < s.whiskers.size()) {
                if (const auto& w = alongX ? s.whiskers[i].x : s.whiskers[i].y) {
                    take(w->first);
                    take(w->second);
                }
            }
        }
    }
    return {low, high};
}

std::int32_t longestLength(const StudyFigures& figures) {
    std::int32_t longest = 1;
    for (const ConditionFigures& condition : figures.conditions)
        if (!condition.lengths.empty()) longest = std::max(longest, condition.lengths.back().length);
    return longest;
}

std::size_t measureIndex(std::string_view name) {
    return static_cast<std::size_t>(std::find(lengthMeasureNames.begin(), lengthMeasureNames.end(), name) -
                                    lengthMeasureNames.begin());
}

std::string nStatement(const StudyFigures& figures, const char* drawn) {
    bool fewer = false;
    for (const ConditionFigures& condition : figures.conditions)
        for (const LengthFigures& line : condition.lengths) fewer |= line.replications < figures.replications;
    return "n = " + std::to_string(figures.replications) +
           (figures.replications == 1 ? " replication" : " replications") + " per condition" +
           (fewer ? " (fewer where not every replication reached a length)" : "") + "; " + drawn +
           ": 95 % interval of the mean.";
}

// A stopping rule as the report names it: "SPRT", "Posterior ≥ .95".
std::string ruleLabel(const OutcomeKey& key) {
    if (!key.threshold) return key.rule;
    std::string threshold = formatRoundTrip(*key.threshold);
    if (threshold.starts_with("0.")) threshold.erase(0, 1);
    return key.rule + " \xE2\x89\xA5 " + threshold;
}

const OutcomeFigures* outcomeOf(const ConditionFigures& condition, const OutcomeKey& key) {
    for (const OutcomeFigures& outcome : condition.outcomes)
        if (outcome.key == key) return &outcome;
    return nullptr;
}

// Every outcome any condition has, in the order the conditions give them.
std::vector<OutcomeKey> outcomeKeys(const StudyFigures& figures) {
    std::vector<OutcomeKey> keys;
    for (const ConditionFigures& condition : figures.conditions)
        for (const OutcomeFigures& outcome : condition.outcomes)
            if (std::find(keys.begin(), keys.end(), outcome.key) == keys.end()) keys.push_back(outcome.key);
    return keys;
}

std::string choiceName(const OutcomeKey& key) {
    std::string name;
    for (char c : key.rule) name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key.threshold) name += "_" + formatRoundTrip(*key.threshold);
    return (name.empty() ? "" : name + "_") + outcomeName(key.kind);
}

Chart panelChart(std::string id, std::string title, const Axis& x, const Axis& y, std::vector<Series> series) {
    Chart chart;
    chart.id = std::move(id);
    chart.title = std::move(title);
    chart.x = x;
    chart.y = y;
    chart.series = std::move(series);
    chart.legend = false;
    return chart;
}

std::vector<StudyChartSet> lengthCharts(const StudyFigures& figures, const Layout& layout) {
    struct Measure {
        const char* id;
        const char* title;
        const char* yTitle;
        std::string_view column;
        bool fitToData;  // small shares get an axis from 0 that fits them
        bool onlyWhenPresent;
        const char* note;
    };
    // Only conditions of two groups have Bayes figures: the note names Pass and Fail for them alone.
    const auto twoGroups = [](const ConditionFigures& condition) {
        return std::any_of(condition.lengths.begin(), condition.lengths.end(), [](const LengthFigures& length) {
            return length.measures[measureIndex("br_accurate")].n > 0;
        });
    };
    const std::string falsePositives =
        falsePositiveNote(std::any_of(figures.conditions.begin(), figures.conditions.end(), twoGroups),
                          std::all_of(figures.conditions.begin(), figures.conditions.end(), twoGroups));
    const Measure measures[] = {
        {"map-accuracy", "MAP classification accuracy by test length", "Accurate classifications (%)", "map_accurate",
         false, false, nullptr},
        {"sprt-accuracy", "SPRT accuracy of the tests it had decided, by test length", "Accurate (% of decided)",
         "sprt_accurate", false, false, "Where the SPRT had decided no test there is no point."},
        {"sprt-decided", "Tests the SPRT had decided, by test length", "Decided (% of tests started)", "sprt_decided",
         false, false, nullptr},
        {"bayes-accuracy", "Bayes risk classification accuracy by test length", "Accurate classifications (%)",
         "br_accurate", false, true, nullptr},
        {"false-positives", "MAP false positives by test length", "False positives (% of tests)", "map_false_pos", true,
         false, falsePositives.c_str()},
        {"false-negatives", "MAP false negatives by test length", "False negatives (% of tests)", "map_false_neg", true,
         false, nullptr},
    };
    const bool onePanel = layout.panels.size() == 1;
    Axis x = niceAxis(0, longestLength(figures), onePanel ? 8 : 5, true);
    x.title = "Test length (items)";

    std::vector<StudyChartSet> sets;
    for (const Measure& measure : measures) {
        std::vector<std::vector<Series>> panels(layout.panels.size());
        bool any = false;
        for (std::size_t p = 0; p < layout.panels.size(); ++p) {
            for (std::size_t c : layout.panels[p]) {
                const ConditionFigures& condition = figures.conditions[c];
                Series series = lengthSeries(condition, measureIndex(measure.column),
                                             conditionLabel(figures, condition), layout.styles[c], true);
                if (!hasPoint(series)) continue;  // the condition lacks the measure
                any = true;
                panels[p].push_back(std::move(series));
            }
        }
        if (measure.onlyWhenPresent && !any) continue;
        std::vector<Series> all;
        for (const auto& panel : panels) all.insert(all.end(), panel.begin(), panel.end());
        auto [low, high] = drawnRange(all, false);
        if (low > high) low = high = 0;
        // Every panel on the same axes, so that panels compare at a glance.
        Axis y = measure.fitToData ? percentAxis(std::min(low, 0.0), high, true) : percentAxisFromData(low, high);
        y.title = measure.yTitle;
        StudyChartSet set{measure.id, measure.title, {}, {nStatement(figures, "bands")}};
        if (measure.note) set.notes.push_back(measure.note);
        for (std::size_t p = 0; p < panels.size(); ++p)
            set.panels.push_back(panelChart(std::string(measure.id) + (onePanel ? "" : "-" + std::to_string(p + 1)),
                                            panelTitle(figures, layout, p, measure.title), x, y, panels[p]));
        sets.push_back(std::move(set));
    }
    return sets;
}

// The test-length axis of both trade-off figures: from 0 to the longest test or point drawn.
Axis lengthAxis(const StudyFigures& figures, const std::vector<Series>& all, bool onePanel) {
    const double xHigh = std::max(drawnRange(all, true).second, static_cast<double>(longestLength(figures)));
    Axis x = niceAxis(0, xHigh, onePanel ? 8 : 5, false);
    x.title = "Average test length (items)";
    return x;
}

// One condition's point for one stopping rule: its average test length across, the share or rate
// `measure` up, each with its interval; nothing when either mean is missing.
std::optional<Series> lengthPoint(const StudyFigures& figures, const ConditionFigures& condition, SeriesStyle style,
                                  int marker, const OutcomeKey& rule, const OutcomeKey& measure) {
    style.marker = marker;
    Series point{conditionLabel(figures, condition) + " \xC2\xB7 " + ruleLabel(rule), style, {}};
    const OutcomeFigures* atl = outcomeOf(condition, rule);
    const OutcomeFigures* value = outcomeOf(condition, measure);
    if (!atl || !value || !atl->summary.mean || !value->summary.mean) return std::nullopt;
    point.points.emplace_back(std::pair{*atl->summary.mean, *value->summary.mean});
    Whiskers whiskers;
    if (atl->summary.ciLow && atl->summary.ciHigh) whiskers.x = std::pair{*atl->summary.ciLow, *atl->summary.ciHigh};
    if (value->summary.ciLow && value->summary.ciHigh)
        whiskers.y = std::pair{std::max(*value->summary.ciLow, 0.0), std::min(*value->summary.ciHigh, 1.0)};
    point.whiskers.push_back(whiskers);
    return point;
}

// Each stopping rule's average test length against its share classified correctly, one point
// per condition with both intervals, over the conditions' fixed-length MAP accuracy curves.
std::optional<StudyChartSet> tradeOffCharts(const StudyFigures& figures, const Layout& layout) {
    std::vector<OutcomeKey> rules;
    for (const OutcomeKey& key : outcomeKeys(figures))
        if (key.kind == OutcomeKind::Atl) rules.push_back(key);
    if (rules.empty()) return std::nullopt;
    const bool onePanel = layout.panels.size() == 1;
    const char* title = "Test length against accuracy: each stopping rule over the fixed-length curve";
    std::vector<std::vector<Series>> panels(layout.panels.size());
    for (std::size_t p = 0; p < layout.panels.size(); ++p) {
        for (std::size_t c : layout.panels[p]) {
            const ConditionFigures& condition = figures.conditions[c];
            Series curve = lengthSeries(condition, measureIndex("map_accurate"), conditionLabel(figures, condition),
                                        layout.styles[c], false);
            if (hasPoint(curve)) panels[p].push_back(std::move(curve));
        }
        for (std::size_t r = 0; r < rules.size(); ++r) {
            OutcomeKey pccKey = rules[r];
            pccKey.kind = OutcomeKind::Pcc;
            for (std::size_t c : layout.panels[p]) {
                if (std::optional<Series> point = lengthPoint(figures, figures.conditions[c], layout.styles[c],
                                                              static_cast<int>(r), rules[r], pccKey))
                    panels[p].push_back(std::move(*point));
            }
        }
    }
    std::vector<Series> all;
    for (const auto& panel : panels) all.insert(all.end(), panel.begin(), panel.end());
    if (all.empty()) return std::nullopt;
    const Axis x = lengthAxis(figures, all, onePanel);
    auto [low, high] = drawnRange(all, false);
    Axis y = percentAxisFromData(low, high);
    y.title = "Classified correctly (%)";
    StudyChartSet set{"trade-off",
                      title,
                      {},
                      {"Marks: each stopping rule's average test length and share classified correctly, one per "
                       "condition; lines: MAP accuracy of fixed-length tests.",
                       nStatement(figures, "whiskers")}};
    for (std::size_t p = 0; p < panels.size(); ++p)
        set.panels.push_back(panelChart(onePanel ? "trade-off" : "trade-off-" + std::to_string(p + 1),
                                        panelTitle(figures, layout, p, title), x, y, panels[p]));
    return set;
}

// Whether the study runs any condition under exposure control, or varies it: then the report
// shows what the control costs in test length.
bool hasExposureControl(const StudyFigures& figures) {
    const bool targeted = std::any_of(figures.conditions.begin(), figures.conditions.end(),
                                      [](const ConditionFigures& c) { return c.exposureTarget.has_value(); });
    return targeted || std::any_of(figures.factors.begin(), figures.factors.end(), [](const FigureFactor& f) {
               return f.name == exposureControlColumn || f.name == maxExposureColumn;
           });
}

// The target line at R, labelled with it.
ReferenceLine targetLine(double target) { return {target, "target R = " + formatRoundTrip(target)}; }

// Each condition's maximum exposure rate against its average test length under each posterior
// stopping rule, with both intervals, and the target rate of the controlled conditions.
std::optional<StudyChartSet> exposureTradeOffCharts(const StudyFigures& figures, const Layout& layout) {
    if (!hasExposureControl(figures)) return std::nullopt;
    std::vector<OutcomeKey> rules;
    for (const OutcomeKey& key : outcomeKeys(figures))
        if (key.kind == OutcomeKind::Atl && key.threshold) rules.push_back(key);
    if (rules.empty()) return std::nullopt;
    const bool onePanel = layout.panels.size() == 1;
    const char* title = "Maximum exposure rate against average test length, with the target rate R";
    const OutcomeKey rateKey{OutcomeKind::MaxExposureRate, "", std::nullopt};
    std::vector<std::vector<Series>> panels(layout.panels.size());
    std::vector<std::vector<double>> targets(layout.panels.size());
    for (std::size_t p = 0; p < layout.panels.size(); ++p) {
        for (std::size_t c : layout.panels[p]) {
            const std::optional<double>& target = figures.conditions[c].exposureTarget;
            if (target && std::find(targets[p].begin(), targets[p].end(), *target) == targets[p].end())
                targets[p].push_back(*target);
        }
        std::sort(targets[p].begin(), targets[p].end());
        for (std::size_t r = 0; r < rules.size(); ++r) {
            for (std::size_t c : layout.panels[p]) {
                if (std::optional<Series> point = lengthPoint(figures, figures.conditions[c], layout.styles[c],
                                                              static_cast<int>(r), rules[r], rateKey))
                    panels[p].push_back(std::move(*point));
            }
        }
    }
    std::vector<Series> all;
    for (const auto& panel : panels) all.insert(all.end(), panel.begin(), panel.end());
    if (all.empty()) return std::nullopt;
    const Axis x = lengthAxis(figures, all, onePanel);
    // Every target line stays on the plot, however far below it the rates lie.
    double high = drawnRange(all, false).second;
    for (const auto& panel : targets)
        for (double target : panel) high = std::max(high, target);
    Axis y = percentAxis(0, high, true);
    y.title = "Maximum exposure rate (% of tests)";
    StudyChartSet set{"exposure-trade-off",
                      title,
                      {},
                      {"Marks: each condition's average test length under each posterior stopping rule against the "
                       "highest share of its full-length tests that gave one item; dotted lines: the target rate R "
                       "of the conditions run under exposure control.",
                       nStatement(figures, "whiskers")}};
    for (std::size_t p = 0; p < panels.size(); ++p) {
        Chart chart = panelChart(onePanel ? "exposure-trade-off" : "exposure-trade-off-" + std::to_string(p + 1),
                                 panelTitle(figures, layout, p, title), x, y, panels[p]);
        for (double target : targets[p]) chart.references.push_back(targetLine(target));
        set.panels.push_back(std::move(chart));
    }
    return set;
}

// The page's one legend: which colour (and dash) is which level, the same on every chart.
std::string colourKey(const StudyFigures& figures, const Layout& layout) {
    std::string out;
    if (layout.colour) {
        out += "<p class=\"key\"><b>" + escapeMarkup(figures.factors[*layout.colour].name) + "</b> ";
        const int dashes = static_cast<int>(dashPattern().size());
        for (std::size_t l = 0; l < layout.colourLevels.size(); ++l) {
            const int dash = layout.restNames.empty() ? static_cast<int>(l / 7) % dashes : 0;
            out += keyEntry(SeriesStyle{runColour(l), dash, false}, layout.colourLevels[l]);
        }
        out += "</p>\n";
    } else if (figures.conditions.size() == 1) {
        out +=
            "<p class=\"key\">" + keyEntry(layout.styles[0], conditionLabel(figures, figures.conditions[0])) + "</p>\n";
    }
    if (!layout.restNames.empty() && layout.restLabels.size() > 1) {
        out += "<p class=\"key\"><b>" + escapeMarkup(joined(layout.restNames)) + "</b> ";
        for (std::size_t d = 0; d < layout.restLabels.size(); ++d)
            out += keyEntry(SeriesStyle{7, static_cast<int>(d % dashPattern().size()), false}, layout.restLabels[d]);
        out += "</p>\n";
    }
    return out;
}

bool isShare(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Pcc:
        case OutcomeKind::FalsePos:
        case OutcomeKind::FalseNeg:
        case OutcomeKind::Undecided:
        case OutcomeKind::MaxExposureRate:
        case OutcomeKind::NeverUsedShare:
        case OutcomeKind::MeanOverlap:
            return true;
        default:
            return false;
    }
}

std::string valueText(OutcomeKind kind, const std::optional<double>& value) {
    if (!value) return dashText;
    return isShare(kind) ? percentText(*value, 1) : fixedText(*value, 2);
}

// A difference with its sign; shares in percentage points.
std::string differenceText(OutcomeKind kind, const std::optional<double>& value) {
    if (!value) return dashText;
    const std::string text = isShare(kind) ? fixedText(*value * 100, 1) + " pp" : fixedText(*value, 2);
    return (text[0] != '-' && text.find_first_not_of("0. p") != std::string::npos ? "+" : "") + text;
}

std::string intervalText(const FigureSummary& summary, const auto& format) {
    if (!summary.ciLow || !summary.ciHigh) return dashText;
    return format(summary.ciLow) + " to " + format(summary.ciHigh);
}

std::string cell(const std::string& text) { return "<td style=\"white-space:nowrap\">" + escapeMarkup(text) + "</td>"; }

std::string conditionsTable(const StudyFigures& figures, const Layout& layout, const OutcomeKey& key) {
    const bool higherIsBetter = key.kind == OutcomeKind::Pcc;
    std::vector<std::size_t> order(figures.conditions.size());
    for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
    const auto meanOf = [&](std::size_t c) -> std::optional<double> {
        const OutcomeFigures* outcome = outcomeOf(figures.conditions[c], key);
        return outcome ? outcome->summary.mean : std::nullopt;
    };
    // Best first; a condition without the figure goes last, not ranked as 0.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto x = meanOf(a), y = meanOf(b);
        if (!x || !y) return x.has_value() && !y.has_value();
        return higherIsBetter ? *x > *y : *x < *y;
    });
    bool oneReference = true;
    for (const ConditionFigures& condition : figures.conditions)
        oneReference &= condition.reference == figures.conditions.front().reference;

    const std::string label = outcomeLabel(key);
    std::string out = "<h2>Conditions ranked by " + escapeMarkup(label) + "</h2>\n";
    out += "<div style=\"overflow-x:auto\">\n<table>\n<tr>" + htmlCell("Rank", "th") + htmlCell("Condition", "th");
    for (const FigureFactor& factor : figures.factors)
        out += "<th style=\"text-align:left\">" + escapeMarkup(factor.name) + "</th>";
    out += htmlCell("n", "th") + htmlCell(label, "th") + htmlCell("95 % interval", "th") +
           htmlCell("Difference to the reference", "th") + htmlCell("95 % interval", "th") +
           (oneReference ? "" : htmlCell("Reference", "th")) + "</tr>\n";
    const auto value = [&](const std::optional<double>& v) { return valueText(key.kind, v); };
    const auto difference = [&](const std::optional<double>& v) { return differenceText(key.kind, v); };
    for (std::size_t rank = 0; rank < order.size(); ++rank) {
        const ConditionFigures& condition = figures.conditions[order[rank]];
        const OutcomeFigures* outcome = outcomeOf(condition, key);
        out += "<tr>" + htmlCell(meanOf(order[rank]) ? std::to_string(rank + 1) : dashText) +
               "<td style=\"white-space:nowrap\">" + swatch(layout.styles[order[rank]]) + " " +
               std::to_string(condition.number) + "</td>";
        for (const std::string& level : condition.levels)
            out += "<td style=\"text-align:left\">" + escapeMarkup(level) + "</td>";
        const FigureSummary none;
        const FigureSummary& summary = outcome ? outcome->summary : none;
        const bool isReference = condition.reference == condition.number;
        out += cell(std::to_string(summary.n)) + cell(value(summary.mean)) + cell(intervalText(summary, value));
        if (isReference) {
            out += cell("reference") + cell(dashText);
        } else {
            const FigureSummary& paired = outcome ? outcome->difference : none;
            out += cell(difference(paired.mean)) + cell(intervalText(paired, difference));
        }
        if (!oneReference) out += cell("condition " + std::to_string(condition.reference));
        out += "</tr>\n";
    }
    out += "</table>\n</div>\n";
    std::string reference = "each row's Reference column";
    if (oneReference) {
        const std::int64_t number = figures.conditions.front().reference;
        reference = "condition " + std::to_string(number);
        for (const ConditionFigures& condition : figures.conditions)
            if (condition.number == number) reference += " (" + conditionLabel(figures, condition) + ")";
    }
    out += "<p class=\"note\">Ranked by the mean over the replications, " +
           std::string(higherIsBetter ? "highest" : "lowest") +
           " first; a condition without the figure comes last. The difference is the condition's minus its "
           "reference's, taken in each replication (the same examinees) and summarised with its own 95 % "
           "interval" +
           (isShare(key.kind) ? " (pp: percentage points)" : "") + "; reference: " + escapeMarkup(reference) +
           ".</p>\n";
    return out;
}

// A difference turned round: what the condition lost against its reference, with the interval's
// ends swapped to match.
FigureSummary lost(const FigureSummary& difference) {
    FigureSummary turned = difference;
    const auto negated = [](const std::optional<double>& v) { return v ? std::optional<double>(-*v) : v; };
    turned.mean = negated(difference.mean);
    turned.ciLow = negated(difference.ciHigh);
    turned.ciHigh = negated(difference.ciLow);
    return turned;
}

// With calibration sample sizes as a factor: each calibrated condition's accuracy and test
// length against the same condition run with the true pool, rule by rule; empty otherwise.
std::string truePoolTable(const StudyFigures& figures) {
    std::optional<std::size_t> factor;
    for (std::size_t f = 0; f < figures.factors.size(); ++f)
        if (figures.factors[f].name == calibrationFactorColumn) factor = f;
    if (!factor) return {};
    const auto byNumber = [&](std::int64_t number) -> const ConditionFigures* {
        for (const ConditionFigures& condition : figures.conditions)
            if (condition.number == number) return &condition;
        return nullptr;
    };
    std::vector<const ConditionFigures*> rows;
    for (const ConditionFigures& condition : figures.conditions) {
        const ConditionFigures* reference = byNumber(condition.reference);
        // Only a difference taken to the true pool is a loss to calibration error.
        if (condition.levels[*factor] != truePoolLevel && reference != nullptr &&
            reference->levels[*factor] == truePoolLevel)
            rows.push_back(&condition);
    }
    std::vector<OutcomeKey> rules;
    for (const OutcomeKey& key : outcomeKeys(figures))
        if (key.kind == OutcomeKind::Atl) rules.push_back(key);
    if (rows.empty() || rules.empty()) return {};

    std::string out = "<h2>Lost against the true pool</h2>\n<div style=\"overflow-x:auto\">\n<table>\n<tr>" +
                      htmlCell("Condition", "th");
    for (const FigureFactor& f : figures.factors)
        out += "<th style=\"text-align:left\">" + escapeMarkup(f.name) + "</th>";
    for (const OutcomeKey& rule : rules)
        out += htmlCell(ruleLabel(rule) + " PCC lost", "th") + htmlCell("95 % interval", "th") +
               htmlCell(ruleLabel(rule) + " ATL added", "th") + htmlCell("95 % interval", "th");
    out += "</tr>\n";
    const FigureSummary none;
    for (const ConditionFigures* condition : rows) {
        out += "<tr>" + cell(std::to_string(condition->number));
        for (const std::string& level : condition->levels)
            out += "<td style=\"text-align:left\">" + escapeMarkup(level) + "</td>";
        for (const OutcomeKey& rule : rules) {
            OutcomeKey pcc = rule;
            pcc.kind = OutcomeKind::Pcc;
            const OutcomeFigures* accuracy = outcomeOf(*condition, pcc);
            const OutcomeFigures* length = outcomeOf(*condition, rule);
            const FigureSummary accuracyLost = accuracy ? lost(accuracy->difference) : none;
            const FigureSummary& lengthAdded = length ? length->difference : none;
            const auto share = [](const std::optional<double>& v) { return differenceText(OutcomeKind::Pcc, v); };
            const auto items = [](const std::optional<double>& v) { return differenceText(OutcomeKind::Atl, v); };
            out += cell(share(accuracyLost.mean)) + cell(intervalText(accuracyLost, share)) +
                   cell(items(lengthAdded.mean)) + cell(intervalText(lengthAdded, items));
        }
        out += "</tr>\n";
    }
    out +=
        "</table>\n</div>\n<p class=\"note\">Each row is a condition run with a pool calibrated from a sample "
        "of " +
        escapeMarkup(figures.factors[*factor].name) +
        " examinees, against the same condition run with the true pool (the pool the examinees answer by), "
        "taken in each replication on the same examinees and summarised with its own 95 % interval. PCC lost: "
        "the true pool's share classified correctly minus the calibrated pool's (pp: percentage points; "
        "negative when the calibrated pool did better); ATL added: the calibrated pool's average test length "
        "minus the true pool's (negative when its tests were shorter).</p>\n";
    return out;
}

// Followed by the panels' rules, as one block.
const char* pageStyle = R"(
body { max-width: 1260px; })";

}  // namespace

std::string figureHtml(const StudyChartSet& set, bool onePanel) {
    std::string out = "<figure id=\"" + escapeMarkup(set.id) + "\">\n";
    if (!onePanel) out += "<figcaption>" + escapeMarkup(set.title) + "</figcaption>\n";
    out += "<div class=\"panels\">\n";
    for (const Chart& chart : set.panels)
        out += svgElement(layoutChart(chart, onePanel ? chartWidth : panelWidth, onePanel ? chartHeight : 0));
    out += "</div>\n";
    for (const std::string& note : set.notes) out += "<p class=\"note\">" + escapeMarkup(note) + "</p>\n";
    return out + "</figure>\n";
}

std::vector<std::string> rankChoices(const StudyFigures& figures) {
    std::vector<std::string> names;
    for (const OutcomeKey& key : outcomeKeys(figures)) names.push_back(choiceName(key));
    return names;
}

Outcome<std::vector<StudyChartSet>> buildStudyCharts(const StudyFigures& figures, const StudyReportOptions& options) {
    Outcome<Layout> layout = layoutOf(figures, options);
    if (!layout) return layout.failure();
    std::vector<StudyChartSet> sets = lengthCharts(figures, *layout);
    if (std::optional<StudyChartSet> tradeOff = tradeOffCharts(figures, *layout)) sets.push_back(std::move(*tradeOff));
    if (std::optional<StudyChartSet> exposure = exposureTradeOffCharts(figures, *layout))
        sets.push_back(std::move(*exposure));
    return sets;
}

Outcome<std::string> studyReportHtml(const StudyFigures& figures, const StudyReportOptions& options) {
    Outcome<Layout> layout = layoutOf(figures, options);
    if (!layout) return layout.failure();
    const std::vector<OutcomeKey> keys = outcomeKeys(figures);
    std::optional<OutcomeKey> rankKey;
    if (!options.rankOutcome.empty()) {
        for (const OutcomeKey& key : keys)
            if (choiceName(key) == options.rankOutcome) rankKey = key;
        if (!rankKey)
            return Failure{FailureKind::Usage, "The outcome to rank by, \"" + options.rankOutcome +
                                                   "\", is none of the study's: " + joined(rankChoices(figures)) + "."};
    } else if (!keys.empty()) {
        const OutcomeKey sprtPcc{OutcomeKind::Pcc, "SPRT", std::nullopt};
        rankKey = std::find(keys.begin(), keys.end(), sprtPcc) != keys.end() ? sprtPcc : keys.front();
    }
    Outcome<std::vector<StudyChartSet>> sets = buildStudyCharts(figures, options);
    if (!sets) return sets.failure();

    std::string out = htmlPageStart(figures.title, std::string(pageStyle) + panelStyle);
    const std::size_t count = figures.conditions.size();
    out += "<p class=\"note\">" + std::to_string(count) + (count == 1 ? " condition" : " conditions") + " of " +
           std::to_string(figures.factors.size()) + (figures.factors.size() == 1 ? " factor" : " factors") + ", " +
           std::to_string(figures.replications) + (figures.replications == 1 ? " replication" : " replications") +
           " each. Curves and marks: the mean over the replications; bands and whiskers: the 95 % interval of "
           "the mean (t distribution). A missing figure is a gap, never 0.</p>\n";
    if (count == 0) return out + "<p class=\"note\">The study holds no condition.</p>\n" + htmlPageEnd();

    const bool onePanel = layout->panels.size() == 1;
    out += "<h2>By test length</h2>\n";
    if (!onePanel)
        out += "<p class=\"note\">One panel per level of " + escapeMarkup(figures.factors[*layout->panel].name) +
               "; every panel of a figure on the same axes.</p>\n";
    out += colourKey(figures, *layout);
    for (const StudyChartSet& set : *sets) {
        if (set.id == "trade-off") {
            out += "<h2>Test length against accuracy</h2>\n" + colourKey(figures, *layout) + "<p class=\"key\">";
            std::size_t r = 0;
            for (const OutcomeKey& key : keys)
                if (key.kind == OutcomeKind::Atl)
                    out += keyEntry(SeriesStyle{7, 0, false, static_cast<int>(r++)}, ruleLabel(key));
            out += "</p>\n";
        }
        if (set.id == "exposure-trade-off") {
            out += "<h2>Item exposure against test length</h2>\n" + colourKey(figures, *layout) + "<p class=\"key\">";
            std::size_t r = 0;
            for (const OutcomeKey& key : keys)
                if (key.kind == OutcomeKind::Atl && key.threshold)
                    out += keyEntry(SeriesStyle{7, 0, false, static_cast<int>(r++)}, ruleLabel(key));
            out += "</p>\n";
        }
        out += figureHtml(set, onePanel);
    }
    if (rankKey) {
        out += conditionsTable(figures, *layout, *rankKey) + truePoolTable(figures);
    } else {
        out += "<h2>Conditions</h2>\n<p class=\"note\">The study has no outcome to rank its conditions by.</p>\n";
    }
    return out + htmlPageEnd();
}

}  // namespace quillon::charts
