#include "report_sections.h"

#include <optional>

#include "quillon/charts/report.h"

namespace quillon::charts {
namespace {

// The number of tests a run's tables give: the exposure table's, else the stopping or the
// confusion table's count; nothing from a results table alone, which holds shares only.
std::optional<std::int64_t> testCount(const RunTables& run) {
    if (run.exposure) {
        const auto figures = exposureFigures(*run.exposure, static_cast<std::int32_t>(run.results.rows.size()));
        if (figures) return figures->tests;
    }
    if (run.stopping && !run.stopping->rules.empty()) return run.stopping->rules.front().total.tests;
    if (run.confusion && run.confusion->maxTestLength > 0) {
        // Every test is classed by MAP at length 1, in a pair of groups or outside them.
        std::int64_t tests = run.confusion->outside.empty() ? 0 : run.confusion->outside[0];
        for (std::int32_t t = 1; t <= run.confusion->groupCount; ++t)
            for (std::int32_t d = 1; d <= run.confusion->groupCount; ++d) tests += run.confusion->count(1, 0, t, d);
        return tests;
    }
    return std::nullopt;
}

std::string key(const std::string& value, const std::string& label) {
    return "<div><b>" + escapeMarkup(value) + "</b><span>" + escapeMarkup(label) + "</span></div>";
}

}  // namespace

const char* const keyNumbersStyle = R"(
.keys { display: flex; flex-wrap: wrap; gap: 6px 8px; margin: 12px 0 4px; break-inside: avoid; }
.keys > div { border: 1px solid #d6d6d6; border-radius: 4px; padding: 6px 10px; min-width: 86px; }
.keys b { display: block; font-size: 20px; font-weight: 600; }
.keys span { display: block; color: #555; font-size: 12px; }
.keys-run { font-weight: 600; margin: 12px 0 0; }
)";

std::string keyNumbersStrip(const std::vector<RunTables>& runs) {
    std::string out;
    for (const RunTables& run : runs) {
        const std::vector<ResultsRow>& rows = run.results.rows;
        std::string keys;
        if (const auto tests = testCount(run)) keys += key(std::to_string(*tests), "tests");
        if (run.exposure) keys += key(std::to_string(run.exposure->items.size()), "items in the pool");
        keys += key(std::to_string(rows.size()), "items per test");
        if (!rows.empty() && hadCases(rows.back().mapAccurate, rows.back().mapFalsePos, rows.back().mapFalseNeg))
            keys += key(percentText(rows.back().mapAccurate, 1), "MAP accurate at " + std::to_string(rows.size()));
        // The first length whose share, as the results table writes it, reaches .95.
        std::string reached = "not reached";
        for (const ResultsRow& row : rows) {
            if (hadCases(row.mapAccurate, row.mapFalsePos, row.mapFalseNeg) && row.mapAccurate >= 0.95) {
                reached = std::to_string(row.length) + (row.length == 1 ? " item" : " items");
                break;
            }
        }
        if (!rows.empty()) keys += key(reached, "MAP reaches 95%");
        if (run.stopping) {
            for (const StoppingRulePart& rule : run.stopping->rules) {
                if (!rule.threshold.empty() || rule.total.tests == 0) continue;
                keys += key(fixedText(rule.averageLength, 2), "SPRT ATL (items)");
                keys += key(percentText(rule.percentCorrect, 1), "SPRT PCC");
            }
        }
        if (run.exposure) {
            const auto figures = exposureFigures(*run.exposure, static_cast<std::int32_t>(rows.size()));
            if (figures && figures->tests > 0) keys += key(percentText(figures->maxRate, 1), "maximum exposure rate");
        }
        if (runs.size() > 1) out += "<p class=\"keys-run\">" + escapeMarkup(run.label) + "</p>\n";
        out += "<div class=\"keys\">" + keys + "</div>\n";
    }
    return out;
}

std::string keptTogether(const std::string& inner) { return "<div class=\"block\">\n" + inner + "</div>\n"; }

}  // namespace quillon::charts
