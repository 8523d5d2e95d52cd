#include "run_charts_html.h"

#include <algorithm>

#include "chart_key.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/report.h"

namespace quillon::charts {
namespace {

// Two panels to a row of the report's page.
constexpr double panelWidth = 362;

std::string setTitle(const std::string& set) {
    if (set == "accuracy") return "Classification accuracy by test length";
    if (set == "errors") return "False positives and false negatives by test length";
    if (set == "mean-probability") return "Mean classification probability by test length";
    return set;
}

// The set's key over all its panels.
std::string setKey(const std::vector<Chart>& charts) {
    std::vector<KeyEntry> entries;
    for (const Chart& chart : charts) addKeyEntries(entries, chart.series);
    std::string out = "<p class=\"key\">";
    for (const auto& [name, style] : entries) out += keyEntry(style, name);
    return out + "</p>\n";
}

std::string setFigure(std::vector<Chart> charts) {
    const auto panels = std::count_if(charts.begin(), charts.end(), [](const Chart& c) { return !c.strip; });
    std::string out = "<figure>\n";
    if (panels == 1 && !charts.front().strip && charts.front().legend) {
        // One chart with its own legend and notes, and its strips under it.
        for (const Chart& chart : charts) out += svgElement(layoutChart(chart));
        return out + "</figure>\n";
    }
    std::vector<std::string> notes;
    for (Chart& chart : charts) {
        for (std::string& note : chart.notes)
            if (std::find(notes.begin(), notes.end(), note) == notes.end()) notes.push_back(std::move(note));
        chart.notes.clear();
        chart.legend = false;
    }
    out += "<figcaption>" + escapeMarkup(setTitle(charts.front().set)) + "</figcaption>\n" + setKey(charts);
    out += "<div class=\"panels\">\n";
    for (const Chart& chart : charts)
        if (!chart.strip) out += svgElement(layoutChart(chart, panelWidth, 0));
    out += "</div>\n";
    for (const Chart& chart : charts)
        if (chart.strip) out += svgElement(layoutChart(chart));
    for (const std::string& note : notes) out += "<p class=\"note\">" + escapeMarkup(note) + "</p>\n";
    return out + "</figure>\n";
}

}  // namespace

std::string runChartsHtml(std::vector<Chart> charts) {
    std::string out;
    for (std::size_t c = 0; c < charts.size();) {
        std::size_t end = c + 1;
        if (!charts[c].set.empty())
            while (end < charts.size() && charts[end].set == charts[c].set) ++end;
        if (end == c + 1 && !charts[c].strip && charts[c].set.empty()) {
            out += "<figure>\n" + svgElement(layoutChart(charts[c])) + "</figure>\n";
        } else {
            out += setFigure({std::make_move_iterator(charts.begin() + static_cast<std::ptrdiff_t>(c)),
                              std::make_move_iterator(charts.begin() + static_cast<std::ptrdiff_t>(end))});
        }
        c = end;
    }
    return out;
}

}  // namespace quillon::charts
