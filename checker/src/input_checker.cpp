#include "quillon/checker/input_checker.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "checking.h"

namespace quillon {

namespace checking {

Finding& Findings::add(CheckedInput input, const std::string& file, std::int64_t line, std::int64_t column,
                       FindingKind kind, std::string what, std::string fix, bool refusesLoad, bool ahead) {
    Finding finding;
    finding.input = input;
    finding.file = input == CheckedInput::Settings ? std::string("settings") : file;
    finding.line = line;
    finding.column = column;
    finding.kind = kind;
    finding.what = std::move(what);
    finding.fix = std::move(fix);
    finding.refusesLoad = refusesLoad;
    list_.push_back({std::move(finding), ahead});
    return list_.back().finding;
}

void Findings::repeat(std::string_view rule, CheckedInput input, const std::string& file, std::int64_t line,
                      std::int64_t column, FindingKind kind, std::string what, std::string fix) {
    auto found = repeated_.find(rule);
    if (found != repeated_.end()) {
        ++found->second.more;
        return;
    }
    repeated_.emplace(std::string(rule), Repeat{list_.size(), 0});
    add(input, file, line, column, kind, std::move(what), std::move(fix));
}

void Findings::closeRepeats() {
    for (const auto& [rule, entry] : repeated_) {
        if (entry.more == 0) continue;
        list_[entry.index].finding.what += " (also on " + plural(entry.more, "more line", "more lines") + ")";
    }
    repeated_.clear();
}

bool Findings::hasError(CheckedInput input) const {
    return std::any_of(list_.begin(), list_.end(), [&](const Entry& e) {
        return e.finding.input == input && e.finding.kind == FindingKind::Error;
    });
}

std::vector<Finding> Findings::sorted() {
    std::stable_sort(list_.begin(), list_.end(), [](const Entry& a, const Entry& b) {
        if (a.finding.input != b.finding.input) return a.finding.input < b.finding.input;
        if (a.finding.line != b.finding.line) return a.finding.line < b.finding.line;
        if (a.finding.column != b.finding.column) return a.finding.column < b.finding.column;
        return a.ahead && !b.ahead;
    });
    std::vector<Finding> findings;
    findings.reserve(list_.size());
    for (Entry& entry : list_) findings.push_back(std::move(entry.finding));
    list_.clear();
    return findings;
}

void InputDiagnostics::report(LoadDiagnostic diagnostic) {
    const FindingKind kind = diagnostic.kind == DiagnosticKind::Error ? FindingKind::Error : FindingKind::Warning;
    if (!diagnostic.repeatRule.empty()) {
        findings_.repeat(diagnostic.repeatRule, input_, diagnostic.file, diagnostic.line, diagnostic.column, kind,
                         std::move(diagnostic.what), std::move(diagnostic.fix));
        return;
    }
    findings_.add(input_, diagnostic.file, diagnostic.line, diagnostic.column, kind, std::move(diagnostic.what),
                  std::move(diagnostic.fix), diagnostic.refusesLoad);
}

std::int64_t CheckState::keptIn(std::int32_t collection) const {
    return std::count_if(items.begin(), items.end(),
                         [&](const KeptItem& item) { return item.collection == collection; });
}

std::optional<std::vector<std::string>> CheckState::readLines(CheckedInput input, const std::string& file,
                                                              const char* kind, const char* fix) {
    try {
        return readInputLines(file, kind);
    } catch (const InputError& error) {
        // The load's own words: not available, or a line too long to read.
        findings.add(input, file, 1, 1, FindingKind::Error, error.what(), fix, true);
        refuse(error.what());
        return std::nullopt;
    }
}

namespace {

// What the load does after reading the files: refuse tables written over inputs and prove the
// results file writable. A refusal no located finding explains is reported in the load's words.
void finishLoad(CheckState& state) {
    const RunSettings& settings = state.settings;
    CheckSummary& summary = state.report.summary;
    if (!state.refusal) {
        std::error_code error;
        const bool resultsExisted = std::filesystem::exists(settings.resultsFile, error);
        try {
            refuseTablesOverInputs(settings);
            proveResultsWritable(settings);
        } catch (const FailureError& refusal) {
            state.refuse(refusal.what());
        }
        // Proving the results file writable may have created it; a check leaves nothing behind.
        if (!resultsExisted && std::filesystem::exists(settings.resultsFile, error) &&
            std::filesystem::is_regular_file(settings.resultsFile, error) &&
            std::filesystem::file_size(settings.resultsFile, error) == 0)
            std::filesystem::remove(settings.resultsFile, error);
    }
    summary.loaderAccepts = !state.refusal;
    if (summary.loaderAccepts) return;
    const std::string& message = summary.loaderMessage = *state.refusal;
    const auto startsWith = [&](std::string_view prefix) { return message.rfind(prefix, 0) == 0; };
    CheckedInput input = CheckedInput::Settings;
    std::string file;
    if (startsWith("Pool file")) {
        input = CheckedInput::Pool;
        file = settings.poolFile;
    } else if (startsWith("Enemies file")) {
        input = CheckedInput::Enemies;
        file = settings.enemiesFile;
    } else if (startsWith("Script file")) {
        input = CheckedInput::Script;
        file = settings.scriptFile;
    } else if (startsWith("Output file")) {
        input = CheckedInput::Results;
        file = settings.resultsFile;
    }
    if (state.findings.hasError(input)) return;
    const bool whole = input == CheckedInput::Settings;
    state.findings
        .add(input, file, whole ? 0 : 1, whole ? 0 : 1, FindingKind::Error, "the run stops with " + inQuotes(message),
             "correct what the message names", true)
        .fromLoader = true;
}

}  // namespace

}  // namespace checking

namespace {

constexpr std::size_t shownPerKind = 50;

const char* kindName(FindingKind kind) { return kind == FindingKind::Error ? "error" : "warning"; }

}  // namespace

CheckReport checkInputs(const RunSettings& settings) {
    checking::CheckState state(settings);
    checking::checkSettings(state);
    checking::checkPool(state);
    if (settings.blockEnemies) checking::checkEnemies(state);
    if (settings.followScript) checking::checkScript(state);
    checking::checkCollectionsRunDry(state);
    checking::checkResponses(state);
    state.findings.closeRepeats();
    checking::finishLoad(state);
    CheckReport& report = state.report;
    report.findings = state.findings.sorted();
    report.summary.canComplete = report.count(FindingKind::Error) == 0;
    return std::move(report);
}

std::int64_t CheckReport::count(FindingKind kind) const {
    return std::count_if(findings.begin(), findings.end(), [&](const Finding& f) { return f.kind == kind; });
}

std::string findingText(const Finding& finding) {
    std::string text = finding.file;
    if (finding.input != CheckedInput::Settings)
        text += ":" + std::to_string(finding.line) + ":" + std::to_string(finding.column);
    return text + ": " + kindName(finding.kind) + ": " + finding.what + "; " + finding.fix;
}

std::string checkReportText(const CheckReport& report) {
    std::string text;
    std::size_t shownErrors = 0;
    std::size_t shownWarnings = 0;
    for (const Finding& finding : report.findings) {
        std::size_t& shown = finding.kind == FindingKind::Error ? shownErrors : shownWarnings;
        if (shown++ >= shownPerKind) continue;
        text += findingText(finding) + "\n";
    }
    if (shownErrors > shownPerKind) text += "... and " + std::to_string(shownErrors - shownPerKind) + " more errors\n";
    if (shownWarnings > shownPerKind)
        text += "... and " + std::to_string(shownWarnings - shownPerKind) + " more warnings\n";
    if (!report.findings.empty()) text += "\n";

    const CheckSummary& summary = report.summary;
    text += "Summary\n  Collections (kept/dropped):";
    for (const auto& [collection, count] : summary.collections)
        text += " " + std::to_string(collection) + ": " + std::to_string(count.kept) + "/" +
                std::to_string(count.dropped) + ";";
    if (summary.collections.empty()) text += " none";
    text += "\n";
    for (const BoundarySpread& spread : summary.discrimination)
        text += "  Discrimination, groups " + std::to_string(spread.lowerGroup) + "|" +
                std::to_string(spread.lowerGroup + 1) + ": min " + diagnosticNumber(spread.min) + ", median " +
                diagnosticNumber(spread.median) + ", max " + diagnosticNumber(spread.max) + "\n";
    text += "  Priors:";
    if (!summary.hasPriorRow) {
        text += " no P_Grp row";
    } else {
        for (double prior : summary.priors) text += " " + diagnosticNumber(prior);
    }
    text += "\n  Examinees: " + std::to_string(summary.examinees);
    for (const auto& [group, count] : summary.examineesPerGroup)
        text += "; group " + std::to_string(group) + ": " + std::to_string(count);
    text += "\n  ";
    const std::int64_t errors = report.count(FindingKind::Error);
    const std::int64_t warnings = report.count(FindingKind::Warning);
    text += plural(errors, "error", "errors") + ", " + plural(warnings, "warning", "warnings") + ". ";
    text += summary.canComplete ? "The run can complete with these settings.\n"
                                : "The run cannot complete with these settings.\n";
    return text;
}

int checkExitCode(const CheckReport& report) {
    if (report.count(FindingKind::Error) > 0) return 1;
    if (report.count(FindingKind::Warning) > 0) return 3;
    return 0;
}

}  // namespace quillon
