#include "quillon/charts/report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "chart_key.h"
#include "quillon/charts/confusion_map.h"
#include "quillon/charts/paired_chart.h"
#include "quillon/charts/pool_diagnostics.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/program_version.h"
#include "report_sections.h"
#include "run_charts_html.h"
#include "run_record_section.h"

namespace quillon::charts {
namespace {

constexpr const char* style = R"(
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; color: #222; background: #fff;
       max-width: 760px; margin: 24px auto; padding: 0 16px; line-height: 1.4; }
h1 { font-size: 24px; margin-bottom: 4px; }
h2 { font-size: 18px; margin-top: 32px; border-bottom: 1px solid #ccc; padding-bottom: 4px; }
table { border-collapse: collapse; margin: 8px 0; font-size: 14px; }
th, td { padding: 4px 10px; text-align: right; border-bottom: 1px solid #e3e3e3; }
th { font-weight: 600; border-bottom: 1px solid #999; }
th:first-child, td:first-child, .text { text-align: left; }
td.text { font-family: "DejaVu Sans Mono", monospace; font-size: 13px; overflow-wrap: anywhere; }
figure { margin: 24px 0; break-inside: avoid; }
svg { max-width: 100%; height: auto; }
.note { color: #555; font-size: 13px; }
.kind { color: #555; font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; font-size: 12px; }
.items { font-size: 13px; overflow-wrap: anywhere; }
@media print {
  body { max-width: none; margin: 0; }
  h1, h2, h3 { break-after: avoid; page-break-after: avoid; }
  .block, figure, table, .keys { break-inside: avoid; page-break-inside: avoid; }
  .note { orphans: 3; widows: 3; }
}
)";

std::string fileName(const std::string& path) {
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? path : name;
}

std::string twoDecimals(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f", value);
    return buffer;
}

// The lengths the summary shows: doublings from 5 up to the longest test, and the longest.
std::vector<std::size_t> summaryLengths(const std::vector<RunTables>& runs) {
    std::size_t longest = 0;
    for (const RunTables& run : runs) longest = std::max(longest, run.results.rows.size());
    std::vector<std::size_t> lengths;
    for (std::size_t n = 5; n < longest; n *= 2) lengths.push_back(n);
    if (longest > 0) lengths.push_back(longest);
    return lengths;
}

std::string summaryTable(const std::vector<RunTables>& runs) {
    const std::vector<std::size_t> lengths = summaryLengths(runs);
    std::string out = "<table>\n<tr><th>Rule</th>";
    for (std::size_t n : lengths) out += "<th>" + std::to_string(n) + " items</th>";
    out += "</tr>\n";
    struct Line {
        const char* name;
        double ResultsRow::*value;
        double ResultsRow::*falsePos;  // with the next two: the rule had a case when they sum above 0
        double ResultsRow::*falseNeg;
        double ResultsRow::*accurate;
        bool bayes;
    };
    const Line lines[] = {
        {"MAP accurate", &ResultsRow::mapAccurate, &ResultsRow::mapFalsePos, &ResultsRow::mapFalseNeg,
         &ResultsRow::mapAccurate, false},
        {"SPRT decided", &ResultsRow::sprtDecided, &ResultsRow::mapFalsePos, &ResultsRow::mapFalseNeg,
         &ResultsRow::mapAccurate, false},
        {"SPRT accurate (of decided)", &ResultsRow::sprtAccurate, &ResultsRow::sprtFalsePos, &ResultsRow::sprtFalseNeg,
         &ResultsRow::sprtAccurate, false},
        {"Bayes risk accurate", &ResultsRow::bayesAccurate, &ResultsRow::bayesFalsePos, &ResultsRow::bayesFalseNeg,
         &ResultsRow::bayesAccurate, true},
    };
    for (const RunTables& run : runs) {
        if (runs.size() > 1) {
            out += "<tr><th colspan=\"" + std::to_string(lengths.size() + 1) + "\">" + escapeMarkup(run.label) +
                   "</th></tr>\n";
        }
        for (const Line& line : lines) {
            if (line.bayes && !run.results.hasBayes) continue;
            out += "<tr>" + htmlCell(line.name);
            for (std::size_t n : lengths) {
                if (n > run.results.rows.size()) {
                    out += "<td>&#8211;</td>";
                    continue;
                }
                const ResultsRow& row = run.results.rows[n - 1];
                const bool present = row.*line.accurate + row.*line.falsePos + row.*line.falseNeg > 0;
                out += present ? htmlCell(percentText(row.*line.value, 1)) : "<td>&#8211;</td>";
            }
            out += "</tr>\n";
        }
    }
    return out + "</table>\n";
}

// Per rule of each stopping table: the variable-length test's ATL and PCC beside the fixed-length test's.
std::string stoppingTable(const std::vector<RunTables>& runs) {
    std::string rows;
    for (const RunTables& run : runs) {
        if (!run.stopping) continue;
        for (const StoppingRulePart& rule : run.stopping->rules) {
            // Without a test there is no figure to show.
            const bool any = rule.total.tests > 0;
            const std::string none = "<td>&#8211;</td>";
            rows += "<tr>" + (runs.size() > 1 ? htmlCell(run.label) : std::string()) +
                    htmlCell(stoppingRuleLabel(rule)) + (any ? htmlCell(twoDecimals(rule.averageLength)) : none) +
                    (any ? htmlCell(percentText(rule.percentCorrect, 1)) : none) +
                    (any ? htmlCell(percentText(rule.undecidedShare, 2)) : none) +
                    htmlCell(std::to_string(run.stopping->maxTestLength)) +
                    (any ? htmlCell(percentText(rule.fixedPercentCorrect, 1)) : none) + "</tr>\n";
        }
    }
    if (rows.empty()) {
        return "<p class=\"note\">No stopping table was given (a run writes one with --stopping or Use SPRT).</p>\n";
    }
    return "<table>\n<tr>" + std::string(runs.size() > 1 ? "<th>Run</th>" : "") +
           "<th>Rule</th><th>ATL</th><th>PCC</th><th>Undecided</th><th>Fixed length</th><th>Fixed-length "
           "PCC</th></tr>\n" +
           rows + "</table>\n" +
           "<p class=\"note\">If the test had stopped as soon as the rule decided: ATL, the average test length in "
           "items, and PCC, the percent correctly classified. A test the rule never decided runs to the full length "
           "and is classed by its last MAP group. The fixed-length test gives every item.</p>\n";
}

std::string exposureTable(const std::vector<RunTables>& runs) {
    std::string rows;
    for (const RunTables& run : runs) {
        if (!run.exposure) continue;
        const auto figures = exposureFigures(*run.exposure, static_cast<std::int32_t>(run.results.rows.size()));
        if (!figures) continue;
        rows += "<tr>" + htmlCell(run.label) + htmlCell(std::to_string(figures->tests)) +
                htmlCell(std::to_string(figures->items)) + htmlCell(std::to_string(figures->itemsUsed)) +
                htmlCell(percentText(figures->neverUsedShare, 1)) + htmlCell(percentText(figures->maxRate, 1)) +
                htmlCell(percentText(figures->meanOverlap, 1)) + "</tr>\n";
    }
    if (rows.empty()) return "<p class=\"note\">No exposure table was given.</p>\n";
    return "<table>\n<tr><th>Run</th><th>Tests</th><th>Items</th><th>Used</th><th>Never used</th>"
           "<th>Maximum exposure rate</th><th>Mean test overlap</th></tr>\n" +
           rows + "</table>\n";
}

std::string confusionTitle(const std::string& prefix, std::int32_t length) {
    return prefix + "Confusion matrix after " + std::to_string(length) + (length == 1 ? " item" : " items");
}

// The confusion matrices of the runs that have their table; nothing without one.
std::string confusionSection(const std::vector<RunTables>& runs, const std::vector<std::int32_t>& chosen) {
    std::string out;
    for (const RunTables& run : runs) {
        if (!run.confusion) continue;
        const std::string prefix = runs.size() > 1 ? run.label + ": " : "";
        const std::vector<std::int32_t> lengths = confusionLengths(chosen, run.confusion->maxTestLength);
        if (lengths.empty()) {
            out += "<p class=\"note\">" + escapeMarkup(prefix) + "none of the chosen lengths is reached by its " +
                   std::to_string(run.confusion->maxTestLength) + "-item tests.</p>\n";
        }
        for (std::int32_t length : lengths) {
            std::string block =
                "<figure>\n" + confusionMapSvg(*run.confusion, length, confusionTitle(prefix, length)) + "</figure>\n";
            std::int64_t outside = 0;
            for (int rule = 0; rule < 2; ++rule)
                outside +=
                    run.confusion->outside[static_cast<std::size_t>(length - 1) * 2 + static_cast<std::size_t>(rule)];
            if (outside > 0) {
                block += "<p class=\"note\">" + escapeMarkup(prefix) + std::to_string(outside) +
                         " classifications with a group outside 1 to " + std::to_string(run.confusion->groupCount) +
                         " are not drawn.</p>\n";
            }
            out += keptTogether(block);
        }
    }
    if (out.empty()) return out;
    return "<h2>Confusion matrices</h2>\n" + out +
           "<p class=\"note\">Each row holds the tests of one true group: in each cell their count and their share "
           "of the row, which gives the cell its colour; the diagonal (outlined) holds the correct classifications. "
           "SPRT: only the tests it had decided by that length. Cells right of the diagonal hold false positives "
           "(classed in a higher group), cells left of it false negatives.</p>\n";
}

}  // namespace

std::string htmlCell(const std::string& text, const char* tag) {
    return std::string("<") + tag + ">" + escapeMarkup(text) + "</" + tag + ">";
}

std::string htmlPageStart(const std::string& title, const std::string& extraStyle) {
    const std::string escaped = escapeMarkup(title);
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>\n<title>" +
           escaped + "</title>\n<style>" + style + extraStyle + "</style>\n</head>\n<body>\n<h1>" + escaped + "</h1>\n";
}

std::string htmlPageEnd() {
    return "<footer class=\"note\">Quillon " + std::string(programVersion) + "</footer>\n</body>\n</html>\n";
}

Outcome<RunTables> loadRunTables(const RunFiles& files) {
    RunTables run;
    run.resultsFile = files.results;
    run.label = files.label.empty() ? fileName(files.results) : files.label;
    Outcome<ResultsTable> results = readResultsFile(files.results);
    if (!results) return results.failure();
    run.results = std::move(*results);
    if (!files.exposure.empty()) {
        run.exposureFile = files.exposure;
        Outcome<ExposureTable> exposure = readExposureFile(files.exposure);
        if (!exposure) return exposure.failure();
        run.exposure = std::move(*exposure);
    }
    if (!files.stopping.empty()) {
        run.stoppingFile = files.stopping;
        Outcome<StoppingResults> stopping = readStoppingFile(files.stopping);
        if (!stopping) return stopping.failure();
        run.stopping = std::move(*stopping);
    }
    if (!files.confusion.empty()) {
        run.confusionFile = files.confusion;
        Outcome<ConfusionCounts> confusion = readConfusionFile(files.confusion);
        if (!confusion) return confusion.failure();
        run.confusion = std::move(*confusion);
    }
    if (Status paired = checkRunPairs({run}); !paired) return paired.failure();
    attachRunRecord(run);
    run.tests = testsOfRun(run);
    return run;
}

std::vector<std::pair<std::string, std::string>> settingsSummary(const RunSettings& settings) {
    const auto onOff = [](bool on) { return std::string(on ? "on" : "off"); };
    std::vector<std::pair<std::string, std::string>> list = {
        {"Maximum test length", std::to_string(settings.maxTestLength)},
        {"N Categories", std::to_string(settings.groupCount)},
        {"N tests per person", std::to_string(settings.testsPerPerson)},
        {"Item selection", std::string(selectionMethodName(settings.selectionMethod))},
        {"Randomization factor", std::to_string(settings.randomizationFactor)},
        {"SPRT a and B", formatPlain(settings.sprtAlpha) + ", " + formatPlain(settings.sprtBeta)},
    };
    if (settings.groupCount == 2) {
        list.emplace_back("Bayes costs (predicted/actual: Pass/Pass, Pass/Fail, Fail/Pass, Fail/Fail)",
                          formatPlain(settings.costPassPass) + ", " + formatPlain(settings.costPassFail) + ", " +
                              formatPlain(settings.costFailPass) + ", " + formatPlain(settings.costFailFail));
    }
    // Listed only when on, so the list of an uncontrolled run stays as it was.
    if (settings.exposureControl != ExposureControl::None)
        list.emplace_back("Exposure control", std::string(exposureControlName(settings.exposureControl)) +
                                                  ", target R = " + formatRoundTrip(settings.maxExposure));
    list.emplace_back("Uniform priors", onOff(settings.uniformPriors));
    list.emplace_back("Drop items", onOff(settings.dropItems));
    list.emplace_back("Block enemies", onOff(settings.blockEnemies));
    list.emplace_back("Follow script", onOff(settings.followScript));
    list.emplace_back("Pool file", settings.poolFile);
    if (settings.followScript) list.emplace_back("Script file", settings.scriptFile);
    if (settings.blockEnemies) list.emplace_back("Enemies file", settings.enemiesFile);
    list.emplace_back("Response file", settings.responseFile);
    return list;
}

Outcome<RunTables> loadRunOfSettings(const RunSettings& settings, const std::string& stoppingFile,
                                     const std::string& confusionFile) {
    std::string exposure;
    if (settings.saveExposure) {
        // The run uses the exposure name without its outer spaces.
        const std::size_t first = settings.exposureFile.find_first_not_of(' ');
        if (first != std::string::npos) {
            exposure = settings.exposureFile.substr(first, settings.exposureFile.find_last_not_of(' ') - first + 1);
        }
    }
    Outcome<RunTables> run = loadRunTables({settings.resultsFile, exposure, "", stoppingFile, confusionFile});
    if (!run && !exposure.empty()) {
        // A run whose exposure table could not be written still has its results to show.
        run = loadRunTables({settings.resultsFile, "", "", stoppingFile, confusionFile});
    }
    if (run) {
        run->settings = settingsSummary(settings);
        run->exposureTarget = exposureTargetOf(settings);
    }
    return run;
}

std::string reportHtml(const std::vector<RunTables>& runs, const std::vector<std::int32_t>& confusionLengths,
                       double overUsedRate, const PairedFigures* paired) {
    std::string out = htmlPageStart("Quillon report", std::string(keyNumbersStyle) + panelStyle);
    out += differsSection(runs);
    out += "<p class=\"note\">Classification accuracy and item exposure of " +
           std::string(runs.size() == 1 ? "one simulation run" : std::to_string(runs.size()) + " simulation runs") +
           (std::all_of(runs.begin(), runs.end(), [](const RunTables& run) { return run.inMemory; })
                ? ", replayed just now."
                : ", read from the tables Quillon wrote.") +
           "</p>\n";

    // The page's order: key numbers and the accuracy chart first, then the other tables and
    // charts, and what the runs were made from last.
    out += keyNumbersStrip(runs);
    std::vector<Chart> charts = buildCharts(runs);
    // The accuracy set (its panels and the SPRT's decided strip) comes first; the others keep their order.
    const auto rest = std::stable_partition(charts.begin(), charts.end(),
                                            [](const Chart& c) { return c.set == "accuracy" || c.id == "accuracy"; });
    out += runChartsHtml({std::make_move_iterator(charts.begin()), std::make_move_iterator(rest)});
    charts.erase(charts.begin(), rest);
    // Two runs over the same examinees: their test-by-test difference belongs beside the accuracy.
    if (paired) out += pairedSectionHtml(*paired);

    out += "<h2>Accuracy at a few test lengths</h2>\n" +
           keptTogether(summaryTable(runs) +
                        "<p class=\"note\">Shares of all tests, except SPRT accuracy: the share of the tests the SPRT "
                        "had decided (&#8211; where it had decided none).</p>\n");
    out += confusionSection(runs, confusionLengths);
    out += "<h2>Stopping rules</h2>\n" + keptTogether(stoppingTable(runs));
    out += "<h2>Item exposure</h2>\n" +
           keptTogether(exposureTable(runs) +
                        "<p class=\"note\">Exposure rate: the share of tests that gave an item. Mean test overlap: the "
                        "expected share of items two tests have in common, from the exposure rates (Chen, Ankenmann "
                        "and Spray, 2003).</p>\n");
    out += poolItemListsHtml(runs, overUsedRate);

    out += "<h2>Charts</h2>\n";
    out += runChartsHtml(std::move(charts));

    // Each table a run was read from on a line of its own, so long paths keep the width.
    out +=
        "<h2>Runs</h2>\n<table>\n<tr><th>Run</th><th class=\"text\">Tables</th><th>Test length</th>"
        "<th>Groups</th></tr>\n";
    for (const RunTables& run : runs) {
        std::string files = "<span class=\"kind\">results</span> " + escapeMarkup(run.resultsFile);
        if (run.exposure) files += "<br/><span class=\"kind\">exposure</span> " + escapeMarkup(run.exposureFile);
        if (run.stopping) files += "<br/><span class=\"kind\">stopping</span> " + escapeMarkup(run.stoppingFile);
        if (run.confusion) files += "<br/><span class=\"kind\">confusion</span> " + escapeMarkup(run.confusionFile);
        const std::optional<std::int32_t> known = groupsOfRun(run);
        const std::string groups = known ? std::to_string(*known) : "not 2";
        out += "<tr>" + htmlCell(run.label) + "<td class=\"text\">" + files + "</td>" +
               htmlCell(std::to_string(run.results.rows.size())) + htmlCell(groups) + "</tr>\n";
    }
    out += "</table>\n";

    for (const RunTables& run : runs) {
        if (run.settings.empty()) continue;
        out += "<h2>Settings" + (runs.size() > 1 ? ": " + escapeMarkup(run.label) : std::string()) + "</h2>\n<table>\n";
        for (const auto& [name, value] : run.settings) {
            out += "<tr>" + htmlCell(name) + "<td class=\"text\">" + escapeMarkup(value) + "</td></tr>\n";
        }
        out += "</table>\n";
    }

    out += recordSection(runs);
    return out + htmlPageEnd();
}

Status writeReport(const std::string& path, const std::vector<RunTables>& runs,
                   const std::vector<std::int32_t>& confusionLengths, double overUsedRate,
                   const PairedFigures* paired) {
    if (!replaceFileContents(path, reportHtml(runs, confusionLengths, overUsedRate, paired)))
        return Failure{FailureKind::Output, "The report " + path + " could not be written."};
    return {};
}

Status writeChartFiles(const std::string& folder, const std::vector<RunTables>& runs,
                       const std::vector<std::int32_t>& chosenLengths) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error)
        return Failure{FailureKind::Output, "The folder " + folder + " could not be made: " + error.message() + "."};
    for (Chart chart : buildCharts(runs)) {
        chart.legend = true;  // a file stands alone, without the page's key
        const std::string path = (std::filesystem::path(folder) / (chart.id + ".svg")).string();
        if (!replaceFileContents(path, svgDocument(layoutChart(chart))))
            return Failure{FailureKind::Output, "The chart " + path + " could not be written."};
    }
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const RunTables& run = runs[r];
        if (!run.confusion) continue;
        const std::string prefix = runs.size() > 1 ? run.label + ": " : "";
        for (std::int32_t length : confusionLengths(chosenLengths, run.confusion->maxTestLength)) {
            const std::string name = "confusion-" + (runs.size() > 1 ? std::to_string(r + 1) + "-" : std::string()) +
                                     std::to_string(length) + ".svg";
            const std::string path = (std::filesystem::path(folder) / name).string();
            const std::string svg = confusionMapSvg(*run.confusion, length, confusionTitle(prefix, length));
            if (!replaceFileContents(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + svg))
                return Failure{FailureKind::Output, "The chart " + path + " could not be written."};
        }
    }
    return {};
}

}  // namespace quillon::charts
