#include <nlohmann/json.hpp>

#include "quillon/checker/input_checker.h"

namespace quillon {

namespace {

const char* inputName(CheckedInput input) {
    switch (input) {
        case CheckedInput::Settings:
            return "settings";
        case CheckedInput::Pool:
            return "pool";
        case CheckedInput::Enemies:
            return "enemies";
        case CheckedInput::Script:
            return "script";
        case CheckedInput::Results:
            return "results";
        case CheckedInput::Responses:
            return "responses";
    }
    return "settings";
}

}  // namespace

std::string checkReportJson(const CheckReport& report) {
    using nlohmann::json;
    json findings = json::array();
    for (const Finding& finding : report.findings) {
        json entry = {{"input", inputName(finding.input)},
                      {"file", finding.file},
                      {"kind", finding.kind == FindingKind::Error ? "error" : "warning"},
                      {"what", finding.what},
                      {"fix", finding.fix},
                      {"text", findingText(finding)}};
        // A setting has no line or column.
        entry["line"] = finding.input == CheckedInput::Settings ? json(nullptr) : json(finding.line);
        entry["column"] = finding.input == CheckedInput::Settings ? json(nullptr) : json(finding.column);
        findings.push_back(std::move(entry));
    }
    const CheckSummary& summary = report.summary;
    json collections = json::array();
    for (const auto& [collection, count] : summary.collections)
        collections.push_back({{"collection", collection}, {"kept", count.kept}, {"dropped", count.dropped}});
    json discrimination = json::array();
    for (const BoundarySpread& spread : summary.discrimination)
        discrimination.push_back({{"lowerGroup", spread.lowerGroup},
                                  {"upperGroup", spread.lowerGroup + 1},
                                  {"min", spread.min},
                                  {"median", spread.median},
                                  {"max", spread.max}});
    json groups = json::array();
    for (const auto& [group, count] : summary.examineesPerGroup)
        groups.push_back({{"group", group}, {"examinees", count}});
    json document = {{"errors", report.count(FindingKind::Error)},
                     {"warnings", report.count(FindingKind::Warning)},
                     {"exitCode", checkExitCode(report)},
                     {"findings", std::move(findings)},
                     {"summary",
                      {{"collections", std::move(collections)},
                       {"discrimination", std::move(discrimination)},
                       {"priors", summary.hasPriorRow ? json(summary.priors) : json(nullptr)},
                       {"examinees", summary.examinees},
                       {"examineesPerGroup", std::move(groups)},
                       {"loaderAccepts", summary.loaderAccepts},
                       {"loaderMessage", summary.loaderMessage},
                       {"canComplete", summary.canComplete}}}};
    // Invalid UTF-8 in a file's text is replaced rather than refused.
    return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace quillon
