// The responses: the parse's diagnostics of each line, then items left blank too often and groups
// no examinee belongs to.
#include <cmath>

#include "checking.h"

namespace quillon::checking {

namespace {

// Where the answers of a response line start, and which character holds the true group.
constexpr std::size_t firstAnswerColumn = 14;
constexpr std::size_t groupColumn = 12;

}  // namespace

void checkResponses(CheckState& state) {
    const RunSettings& settings = state.settings;
    const std::string& file = settings.responseFile;
    const auto warn = [&](std::int64_t column, std::string what, std::string fix) {
        state.findings.add(CheckedInput::Responses, file, 1, column, FindingKind::Warning, std::move(what),
                           std::move(fix));
    };
    LineReader reader(file);
    if (!reader.isOpen()) {
        state.findings.add(CheckedInput::Responses, file, 1, 1, FindingKind::Error, "the response file cannot be read",
                           "check the file name and its permissions");
        return;
    }
    const std::size_t items = state.items.size();
    std::vector<std::int64_t> blanks(items, 0);
    CheckSummary& summary = state.report.summary;
    InputDiagnostics diagnostics(state.findings, CheckedInput::Responses);
    ResponseLineCheck check{&diagnostics, file, 0, settings.groupCount, items, state.poolRead, &blanks};
    for (std::string line; reader.nextLine(line);) {
        ++check.line;
        ++summary.examineesPerGroup[parseResponseLine(line, &check).trueGroup];
    }
    summary.examinees = check.line;
    if (check.line == 0) {
        warn(1, "the response file has no examinees", "add one line per examinee");
        return;
    }
    for (std::size_t k = 0; k < items; ++k) {
        const double share = static_cast<double>(blanks[k]) / static_cast<double>(check.line);
        if (share <= blankShareWarning) continue;
        warn(static_cast<std::int64_t>(firstAnswerColumn + k),
             "item " + inQuotes(state.items[k].id) + " (pool position " + std::to_string(k + 1) + ") is blank on " +
                 diagnosticNumber(std::round(share * 1000.0) / 10.0) + "% of the lines, and blanks count as wrong",
             "check its answer column, or drop the item");
    }
    for (std::int32_t g = 1; g <= settings.groupCount && g <= 10; ++g)
        if (!summary.examineesPerGroup.count(g))
            warn(static_cast<std::int64_t>(groupColumn), "no examinee belongs to group " + std::to_string(g),
                 "check character 12 of the lines");
}

}  // namespace quillon::checking
