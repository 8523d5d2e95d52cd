#include "run_record_section.h"

#include <filesystem>
#include <map>
#include <set>

#include "quillon/charts/report.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {

namespace {

// An argument as a POSIX shell would need it to read back as one word.
std::string shellWord(const std::string& argument) {
    if (!argument.empty() &&
        argument.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./=:,+@%") ==
            std::string::npos)
        return argument;
    std::string quoted = "'";
    for (char c : argument) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string commandLineText(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) text += (text.empty() ? "" : " ") + shellWord(argument);
    return text;
}

std::string row(const std::string& name, const std::string& value) {
    return "<tr>" + htmlCell(name) + "<td class=\"text\">" + escapeMarkup(value) + "</td></tr>\n";
}

std::string filesTable(const std::vector<RecordedFile>& files) {
    std::string out =
        "<table>\n<tr><th>File</th><th class=\"text\">Path</th><th>Bytes</th><th class=\"text\">FNV-1a</th></tr>\n";
    for (const RecordedFile& file : files) {
        out += "<tr>" + htmlCell(file.role) + "<td class=\"text\">" +
               escapeMarkup(file.path.empty() ? "(given in memory)" : file.path) + "</td>" +
               htmlCell(std::to_string(file.bytes)) + "<td class=\"text\">" + escapeMarkup(file.digest) +
               "</td></tr>\n";
    }
    return out + "</table>\n";
}

}  // namespace

void attachRunRecord(RunTables& run) {
    const std::string path = runRecordFileBeside(run.resultsFile);
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return;
    run.recordFile = path;
    Outcome<RunRecord> record = readRunRecord(path);
    if (!record) {
        run.recordNote = record.failure().message;
        return;
    }
    // A record rewritten by another run, or results replaced since, would describe the wrong tables.
    const RecordedFile* recorded = recordedOutput(*record, "results");
    const std::optional<RecordedFile> actual = recordedFile("results", run.resultsFile);
    if (recorded == nullptr || !actual || !sameContents(*recorded, *actual)) {
        run.recordNote = "The run record " + path + " does not belong to the results table " + run.resultsFile +
                         " (its digest differs), so it is not used.";
        return;
    }
    // Tables read from files know their run's control only from its record.
    if (!run.exposureTarget) run.exposureTarget = exposureTargetOf(record->settings);
    run.record = std::move(*record);
}

std::string differsSection(const std::vector<RunTables>& runs) {
    if (runs.size() < 2) return {};
    std::vector<const RunTables*> recorded;
    for (const RunTables& run : runs) {
        if (run.record) recorded.push_back(&run);
    }
    if (recorded.empty()) return {};
    std::string out = "<h2>Differs between runs</h2>\n";
    if (recorded.size() < runs.size())
        out += "<p class=\"note\">Only runs with a run record beside their results are compared.</p>\n";
    // Every name any run records, in the first order met, with each run's value.
    std::vector<std::string> names;
    std::map<std::string, std::vector<std::string>> values;
    for (std::size_t r = 0; r < recorded.size(); ++r) {
        for (const auto& [name, value] : recordValues(*recorded[r]->record)) {
            auto [entry, added] = values.try_emplace(name, recorded.size(), std::string("–"));
            if (added) names.push_back(name);
            entry->second[r] = value;
        }
    }
    std::string rows;
    for (const std::string& name : names) {
        const std::vector<std::string>& each = values[name];
        if (std::set<std::string>(each.begin(), each.end()).size() < 2) continue;
        rows += "<tr>" + htmlCell(name);
        for (const std::string& value : each) rows += "<td class=\"text\">" + escapeMarkup(value) + "</td>";
        rows += "</tr>\n";
    }
    if (recorded.size() < 2) return out + "<p class=\"note\">Only one run has a record: nothing to compare.</p>\n";
    if (rows.empty()) return out + "<p class=\"note\">Every recorded setting and input agrees between the runs.</p>\n";
    out += "<table>\n<tr><th>Setting or input</th>";
    for (const RunTables* run : recorded) out += htmlCell(run->label, "th");
    return out + "</tr>\n" + rows + "</table>\n";
}

std::string recordSection(const std::vector<RunTables>& runs) {
    std::string out;
    for (const RunTables& run : runs) {
        if (!run.record && run.recordNote.empty()) continue;
        if (runs.size() > 1) out += "<h3>" + escapeMarkup(run.label) + "</h3>\n";
        if (!run.record) {
            out += "<p class=\"note\">" + escapeMarkup(run.recordNote) + "</p>\n";
            continue;
        }
        const RunRecord& record = *run.record;
        out += "<p class=\"note\">From " + escapeMarkup(run.recordFile) + ".</p>\n<table>\n";
        out += row("Program", "Quillon " + record.programVersion);
        out += row("Date (UTC)", record.date);
        if (!record.commandLine.empty()) out += row("Command line", commandLineText(record.commandLine));
        out += row("Examinees", std::to_string(record.examinees));
        out += row("Tests taken", std::to_string(record.tests));
        for (const auto& [name, value] : recordValues(record)) {
            if (!name.ends_with(" contents")) out += row(name, value);
        }
        out += "</table>\n<p class=\"note\">Files read</p>\n" + filesTable(record.inputs);
        out += "<p class=\"note\">Files written</p>\n" + filesTable(record.outputs);
    }
    if (out.empty()) return {};
    return "<h2>What made " + std::string(runs.size() == 1 ? "this run" : "these runs") + "</h2>\n" + out;
}

}  // namespace quillon::charts
