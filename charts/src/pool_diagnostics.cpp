#include "quillon/charts/pool_diagnostics.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "quillon/charts/report.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

// Runs whose exposure table gives whole tests, with their figures.
struct PoolRun {
    std::size_t index;
    const RunTables* run;
    ExposureFigures figures;
};

std::vector<PoolRun> poolRuns(const std::vector<RunTables>& runs) {
    std::vector<PoolRun> out;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (!runs[r].exposure) continue;
        const auto figures = exposureFigures(*runs[r].exposure, static_cast<std::int32_t>(runs[r].results.rows.size()));
        if (figures) out.push_back({r, &runs[r], *figures});
    }
    return out;
}

double rate(const ExposureItem& item, const ExposureFigures& figures) {
    return figures.tests > 0 ? static_cast<double>(item.uses) / static_cast<double>(figures.tests) : 0.0;
}

// The collections of a pool in increasing order, each with its position: the key's order and
// the colour and mark each collection keeps in every pool chart.
std::map<std::int64_t, int> collectionOrder(const ExposureTable& exposure) {
    std::map<std::int64_t, int> order;
    for (const ExposureItem& item : exposure.items) order.emplace(item.collection, 0);
    int next = 0;
    for (auto& [collection, index] : order) index = next++;
    return order;
}

// The target line of each controlled run among `pool`, named after its run when there are several.
std::vector<ReferenceLine> targetLines(const std::vector<RunTables>& runs, const std::vector<const PoolRun*>& pool) {
    std::vector<ReferenceLine> lines;
    for (const PoolRun* p : pool)
        if (p->run->exposureTarget)
            lines.push_back({*p->run->exposureTarget, (runs.size() > 1 ? p->run->label + ": " : std::string()) +
                                                          "target R = " + formatRoundTrip(*p->run->exposureTarget)});
    return lines;
}

// An exposure axis from 0 that fits the rates drawn and every target line.
Axis exposureAxis(double highest, const std::vector<ReferenceLine>& targets) {
    for (const ReferenceLine& line : targets) highest = std::max(highest, line.y);
    Axis axis = percentAxis(0, highest, true);
    axis.title = "Exposure rate (% of tests)";
    return axis;
}

// Seven colours before they repeat: with more collections the mark tells them apart in the scatter.
constexpr int collectionColours = 7;

std::string collectionName(std::int64_t collection) { return "Collection " + std::to_string(collection); }

Chart exposureChart(const std::vector<RunTables>& runs, const std::vector<PoolRun>& pool) {
    Chart chart;
    chart.id = "exposure";
    chart.title = "Item exposure: items ranked by use";
    const int dashes = static_cast<int>(dashPattern().size());
    std::size_t mostItems = 1;
    for (const PoolRun& p : pool) {
        const RunTables& run = *p.run;
        // Ranked by use, most used first; equal uses keep pool order.
        std::vector<const ExposureItem*> ranked;
        for (const ExposureItem& item : run.exposure->items) ranked.push_back(&item);
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const ExposureItem* a, const ExposureItem* b) { return a->uses > b->uses; });
        mostItems = std::max(mostItems, ranked.size());
        const auto step = [&](std::size_t i) -> std::optional<std::pair<double, double>> {
            if (p.figures.tests == 0) return std::nullopt;
            return std::pair{static_cast<double>(i + 1), rate(*ranked[i], p.figures)};
        };
        const std::map<std::int64_t, int> order = collectionOrder(*run.exposure);
        if (runs.size() > 1 || order.size() < 2) {
            // Several runs: colour means the run, as in every other chart of several runs.
            Series series{
                runs.size() > 1 ? run.label : "Exposure rate",
                SeriesStyle{runColour(runs.size() > 1 ? p.index : 0), static_cast<int>(p.index) % dashes, true},
                {}};
            for (std::size_t i = 0; i < ranked.size(); ++i) series.points.push_back(step(i));
            chart.series.push_back(std::move(series));
        } else {
            // One run: each item's step in its collection's colour, one key entry per collection,
            // over the whole staircase in black, which shows where the use drops between collections.
            Series all{"All items", SeriesStyle{7, 0, true}, {}};
            for (std::size_t i = 0; i < ranked.size(); ++i) all.points.push_back(step(i));
            chart.series.push_back(std::move(all));
            for (const auto& [collection, index] : order) {
                Series series{
                    collectionName(collection), SeriesStyle{runColour(static_cast<std::size_t>(index)), 0, true}, {}};
                for (std::size_t i = 0; i < ranked.size(); ++i)
                    series.points.push_back(ranked[i]->collection == collection ? step(i) : std::nullopt);
                chart.series.push_back(std::move(series));
            }
            if (order.size() > collectionColours)
                chart.notes.push_back("Colours repeat after " + std::to_string(collectionColours) +
                                      " collections; the scatter below tells them apart by mark as well.");
        }
        const std::string prefix = runs.size() > 1 ? run.label + ": " : "";
        chart.notes.push_back(prefix + "maximum exposure rate " + percentText(p.figures.maxRate, 1) + "; " +
                              std::to_string(p.figures.itemsUsed) + " of " + std::to_string(p.figures.items) +
                              " items used, " + percentText(p.figures.neverUsedShare, 1) +
                              " never used; mean test overlap " + percentText(p.figures.meanOverlap, 1) + ".");
    }
    chart.x = niceAxis(0, static_cast<double>(mostItems), 8, true);
    chart.x.title = "Items ranked by use (1 = most used)";
    // The axis follows the drawn rates themselves, so that the highest step is never cut.
    double high = 0;
    for (const Series& series : chart.series)
        for (const auto& point : series.points)
            if (point) high = std::max(high, point->second);
    std::vector<const PoolRun*> all;
    for (const PoolRun& p : pool) all.push_back(&p);
    chart.references = targetLines(runs, all);
    chart.y = exposureAxis(high, chart.references);
    return chart;
}

std::optional<Chart> separationChart(const std::vector<RunTables>& runs, const PoolRun& p) {
    const RunTables& run = *p.run;
    const std::map<std::int64_t, int> order = collectionOrder(*run.exposure);
    Chart chart;
    chart.id = "separation-exposure" + (runs.size() > 1 ? "-" + std::to_string(p.index + 1) : std::string());
    chart.title = "Item separation against exposure" + (runs.size() > 1 ? ": " + run.label : std::string());
    std::vector<std::size_t> seriesOf;  // by collection position
    for (const auto& [collection, index] : order) {
        seriesOf.push_back(chart.series.size());
        chart.series.push_back(
            Series{order.size() > 1 ? collectionName(collection) : "Item",
                   SeriesStyle{runColour(static_cast<std::size_t>(index)), 0, false, index % markerKindCount},
                   {}});
    }
    double widest = 0, highest = 0;
    for (const ExposureItem& item : run.exposure->items) {
        const std::optional<double> separation = itemSeparation(item.pCorrect);
        if (!separation || p.figures.tests == 0) continue;
        const double r = rate(item, p.figures);
        widest = std::max(widest, *separation);
        highest = std::max(highest, r);
        chart.series[seriesOf[static_cast<std::size_t>(order.at(item.collection))]].points.push_back(
            std::pair{*separation, r});
    }
    if (!chart.hasData()) return std::nullopt;
    std::erase_if(chart.series, [](const Series& s) { return s.points.empty(); });
    chart.x = niceAxis(0, std::max(widest, 0.1), 5, false);
    const bool two = run.exposure->groupCount == 2;
    chart.x.title = two ? "Separation |p2 \xE2\x88\x92 p1| (probability of a correct answer)"
                        : "Separation: largest difference between adjacent groups";
    chart.references = targetLines(runs, {&p});
    chart.y = exposureAxis(highest, chart.references);
    chart.notes.push_back(
        two ? "One point per item: how far its probability of a correct answer differs between the two groups."
            : "One point per item: the largest difference in its probability of a correct answer between adjacent "
              "groups (1 and 2, 2 and 3, ...).");
    return chart;
}

// Up to `shown` entries joined by commas, then how many more there are.
std::string compactList(const std::vector<std::string>& entries, std::size_t shown) {
    std::string out;
    for (std::size_t i = 0; i < entries.size() && i < shown; ++i) out += (i == 0 ? "" : ", ") + entries[i];
    if (entries.size() > shown) out += " and " + std::to_string(entries.size() - shown) + " more";
    return out;
}

}  // namespace

std::optional<double> itemSeparation(const std::vector<double>& pCorrect) {
    if (pCorrect.size() < 2) return std::nullopt;
    double largest = 0;
    for (std::size_t g = 1; g < pCorrect.size(); ++g)
        largest = std::max(largest, std::abs(pCorrect[g] - pCorrect[g - 1]));
    return largest;
}

std::vector<Chart> poolCharts(const std::vector<RunTables>& runs) {
    const std::vector<PoolRun> pool = poolRuns(runs);
    std::vector<Chart> charts;
    if (pool.empty()) return charts;
    charts.push_back(exposureChart(runs, pool));
    for (const PoolRun& p : pool) {
        if (std::optional<Chart> scatter = separationChart(runs, p)) charts.push_back(std::move(*scatter));
    }
    return charts;
}

std::string poolItemListsHtml(const std::vector<RunTables>& runs, double overUsedRate) {
    // Enough identifiers to act on; the exposure table holds them all.
    constexpr std::size_t shown = 30;
    std::string out;
    for (const PoolRun& p : poolRuns(runs)) {
        std::vector<const ExposureItem*> over;
        std::vector<std::string> never;
        for (const ExposureItem& item : p.run->exposure->items) {
            if (p.figures.tests > 0 && rate(item, p.figures) > overUsedRate) over.push_back(&item);
            if (item.uses == 0) never.push_back(item.id);
        }
        std::stable_sort(over.begin(), over.end(),
                         [](const ExposureItem* a, const ExposureItem* b) { return a->uses > b->uses; });
        std::vector<std::string> overNames;
        for (const ExposureItem* item : over)
            overNames.push_back(item->id + " (" + percentText(rate(*item, p.figures), 1) + ")");
        const auto count = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " item" : " items"); };
        out += "<p class=\"items\">" +
               (runs.size() > 1 ? "<b>" + escapeMarkup(p.run->label) + "</b><br/>" : std::string()) +
               "<b>Over-used</b> (exposure rate above " + escapeMarkup(percentText(overUsedRate, 1)) +
               "): " + count(over.size()) +
               (overNames.empty() ? std::string() : ": " + escapeMarkup(compactList(overNames, shown))) +
               ".<br/><b>Never used</b>: " + count(never.size()) +
               (never.empty() ? std::string() : ": " + escapeMarkup(compactList(never, shown))) + ".</p>\n";
    }
    if (out.empty()) return out;
    // The table marks every unused item alike; items left out by the drop flag are not in it at all.
    return out +
           "<p class=\"note\">Never used: the items the exposure table flags in its dropQQ column. It does not say "
           "why an item went unused (its collection never drawn, or always beaten by another item); items the run "
           "left out by their drop flag are not in the table. Over-used items are listed most used first; set the "
           "rate with --over-used.</p>\n";
}

}  // namespace quillon::charts
