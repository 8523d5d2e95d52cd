#include "report_sections.h"

#include <optional>

#include "quillon/charts/report.h"

namespace quillon::charts {
namespace {

// A run's key numbers in the strip's order, each missing when its tables do not give it.
struct KeyNumber {
    std::string label;  // the table's column
    std::optional<std::string> value;
    std::string stripLabel = {};  // one run's strip can be specific; empty: the label
};

std::vector<KeyNumber> keyNumbers(const RunTables& run) {
    const std::vector<ResultsRow>& rows = run.results.rows;
    std::vector<KeyNumber> keys;
    const auto tests = testsOfRun(run);
    keys.push_back({"tests", tests ? std::optional(std::to_string(*tests)) : std::nullopt});
    keys.push_back({"pool items",
                    run.exposure ? std::optional(std::to_string(run.exposure->items.size())) : std::nullopt,
                    "items in the pool"});
    keys.push_back({"test length", std::to_string(rows.size()), "items per test"});
    const bool full =
        !rows.empty() && hadCases(rows.back().mapAccurate, rows.back().mapFalsePos, rows.back().mapFalseNeg);
    keys.push_back({"MAP accurate at full length",
                    full ? std::optional(percentText(rows.back().mapAccurate, 1)) : std::nullopt,
                    "MAP accurate at " + std::to_string(rows.size()) + " items"});
    // The first length whose share, as the results table writes it, reaches .95.
    std::optional<std::string> reached;
    if (!rows.empty()) reached = "not reached";
    for (const ResultsRow& row : rows) {
        if (hadCases(row.mapAccurate, row.mapFalsePos, row.mapFalseNeg) && reachesShare(row.mapAccurate, 9500)) {
            reached = std::to_string(row.length) + (row.length == 1 ? " item" : " items");
            break;
        }
    }
    keys.push_back({"MAP reaches 95% at", reached, "MAP reaches 95%"});
    std::optional<std::string> atl, pcc;
    if (run.stopping) {
        for (const StoppingRulePart& rule : run.stopping->rules) {
            if (!rule.threshold.empty() || rule.total.tests == 0) continue;
            atl = fixedText(rule.averageLength, 2);
            pcc = percentText(rule.percentCorrect, 1);
        }
    }
    keys.push_back({"SPRT ATL", atl, "SPRT ATL (items)"});
    keys.push_back({"SPRT PCC", pcc});
    std::optional<std::string> maxRate;
    if (run.exposure) {
        const auto figures = exposureFigures(*run.exposure, static_cast<std::int32_t>(rows.size()));
        if (figures && figures->tests > 0) maxRate = percentText(figures->maxRate, 1);
    }
    keys.push_back({"max. exposure rate", maxRate, "maximum exposure rate"});
    return keys;
}

}  // namespace

const char* const keyNumbersStyle = R"(
.keys { display: flex; flex-wrap: wrap; gap: 6px 8px; margin: 12px 0 4px; break-inside: avoid; }
.keys > div { border: 1px solid #d6d6d6; border-radius: 4px; padding: 6px 10px; min-width: 86px; }
.keys b { display: block; font-size: 20px; font-weight: 600; }
.keys span { display: block; color: #555; font-size: 12px; }
.keys-table th { font-size: 12px; }
.keys-table td { font-size: 15px; font-weight: 600; white-space: nowrap; }
)";

std::string keyNumbersStrip(const std::vector<RunTables>& runs) {
    if (runs.size() == 1) {
        std::string keys;
        for (const KeyNumber& key : keyNumbers(runs.front())) {
            if (key.value)
                keys += "<div><b>" + escapeMarkup(*key.value) + "</b><span>" +
                        escapeMarkup(key.stripLabel.empty() ? key.label : key.stripLabel) + "</span></div>";
        }
        return "<div class=\"keys\">" + keys + "</div>\n";
    }
    // Several runs: one row each, so that each number compares down its column; a column that no
    // run's tables give is left out.
    std::vector<std::vector<KeyNumber>> all;
    for (const RunTables& run : runs) all.push_back(keyNumbers(run));
    std::vector<bool> shown(all.front().size(), false);
    for (const auto& keys : all)
        for (std::size_t k = 0; k < keys.size(); ++k) shown[k] = shown[k] || keys[k].value.has_value();
    std::string out = "<table class=\"keys-table\">\n<tr><th>Run</th>";
    for (std::size_t k = 0; k < shown.size(); ++k)
        if (shown[k]) out += htmlCell(all.front()[k].label, "th");
    out += "</tr>\n";
    for (std::size_t r = 0; r < runs.size(); ++r) {
        out += "<tr>" + htmlCell(runs[r].label);
        for (std::size_t k = 0; k < shown.size(); ++k)
            if (shown[k]) out += all[r][k].value ? htmlCell(*all[r][k].value) : std::string("<td>&#8211;</td>");
        out += "</tr>\n";
    }
    return out + "</table>\n";
}

std::string keptTogether(const std::string& inner) { return "<div class=\"block\">\n" + inner + "</div>\n"; }

}  // namespace quillon::charts
