#include "run_command.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

#include "console_host.h"
#include "exit_codes.h"
#include "merge_command.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_parts.h"
#include "quillon/run_record/run_record.h"
#include "report_command.h"

namespace quillon::cli {

namespace {

// With "Use SPRT": the variable-length test's figures beside the fixed-length test's.
void printStoppingSummary(const StoppingTable& table, std::int32_t maxTestLength) {
    for (std::size_t r = 0; r < table.rules().size(); ++r) {
        const StoppingRule& rule = table.rules()[r];
        const StoppingSummary s = table.summary(r);
        const std::string name = rule.kind == StoppingRule::Kind::Sprt
                                     ? std::string("SPRT")
                                     : "MAP probability >= " + formatPlain(rule.threshold);
        std::printf(
            "%s: average test length %.2f, %.1f%% correctly classified, %.1f%% undecided "
            "(fixed length %d: %.1f%%)\n",
            name.c_str(), s.averageLength(), 100.0 * s.percentCorrect(),
            s.tests == 0 ? 0.0 : 100.0 * static_cast<double>(s.undecided) / static_cast<double>(s.tests), maxTestLength,
            100.0 * s.fixedPercentCorrect());
    }
}

// Writes the record of a whole run beside its results: the files it read (and a merge's
// parts), the tables it wrote. A record that would replace one of them, or cannot be written, is
// said on standard error and leaves the run's outcome as it was: the tables asked for are there.
void writeRecord(const CommandLine& line, const RunReports& reports, bool reportsWritten, const RunSummary& summary) {
    const RunSettings& settings = line.settings;
    if (settings.resultsFile.empty()) return;
    std::vector<RoleFile> parts;
    for (const std::string& part : line.mergeParts) parts.push_back({"part", part});
    const std::vector<RoleFile> runFiles = reports.runFiles();
    RunRecord record = newRunRecord(settings, line.seed, summary.examinees, summary.testsStarted, line.arguments);
    recordRunFiles(record, runFiles, reportsWritten);
    for (const RecordedFile& part : recordedFiles(parts)) record.inputs.push_back(part);
    std::vector<RoleFile> taken = runFiles;
    taken.insert(taken.end(), parts.begin(), parts.end());
    if (!line.reportPath.empty()) taken.push_back({"report", line.reportPath});
    if (const Status written = writeRunRecord(record, runRecordFileBeside(settings.resultsFile), taken); !written)
        std::cerr << "quillon-sim: " << written.failure().message << '\n';
}

// A whole run or a merge, with the reports the command line asks for: `run` starts it with the
// listener the reports need. `checkHint` is said after a message about the inputs.
int runWithReports(CommandLine& line, const std::string& checkHint,
                   const std::function<RunSummary(RunHost&, ReplayListener*)>& run) {
    RunSettings& settings = line.settings;
    ConsoleHost host(!line.quiet && stderrIsTerminal());
    host.inputHint = checkHint;
    RunReportOptions reportOptions = line.reports;
    if (settings.useSprt && reportOptions.stoppingFile.empty())
        reportOptions.stoppingFile = stoppingFileBeside(settings.resultsFile);
    const bool reportsWanted = !reportOptions.traceFile.empty() || !reportOptions.stoppingFile.empty() ||
                               !reportOptions.confusionFile.empty() || !reportOptions.examineesFile.empty();
    RunReports reports(reportOptions, settings);
    // The HTML report, written last, would replace a file the run has just read or written.
    if (const std::string refusal = sameFileRefusal("Report", line.reportPath, "report", reports.runFiles());
        !refusal.empty()) {
        host.showMessage(refusal);
        return exitMessage;
    }
    if (reportsWanted) {
        // A report that could not be kept is refused before the run, and every old file stays.
        const std::vector<std::string> problems = reports.unwritableFiles();
        for (const std::string& problem : problems) host.showMessage(problem);
        if (!problems.empty()) return exitMessage;
    }
    const auto started = std::chrono::steady_clock::now();
    const RunSummary summary = run(host, reportsWanted ? &reports : nullptr);
    std::string stoppingWritten, confusionWritten;  // for the report: only tables this run wrote
    if (reportsWanted) {
        for (const std::string& problem : reports.finish(summary)) host.showMessage(problem);
        if (reports.written()) {
            stoppingWritten = reportOptions.stoppingFile;
            confusionWritten = reportOptions.confusionFile;
        }
        if (reports.written() && settings.useSprt)
            printStoppingSummary(summary.statistics.stopping, settings.maxTestLength);
    }
    if (line.stats) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(
            stderr,
            "stats: threads=%u workers=%d examinees=%lld tests=%lld selections=%lld candidates=%lld seconds=%.3f\n",
            line.threads, summary.workerThreads, static_cast<long long>(summary.examinees),
            static_cast<long long>(summary.testsStarted), static_cast<long long>(summary.selections),
            static_cast<long long>(summary.candidatesScored), seconds);
    }
    // Only a run that did all it was asked: one that fell short may have left older tables, which a
    // record would vouch for.
    const int outcome = wholeRun(summary, host) ? exitDone : exitMessage;
    if (outcome == exitDone) writeRecord(line, reports, reports.written(), summary);
    if (summary.completed && !line.reportPath.empty() &&
        !writeRunReport(settings, line.reportPath, stoppingWritten, confusionWritten))
        return exitMessage;
    return outcome;
}

// A shard (exit 0 once its part is written) or a merge (exit codes as the one-process run). A part
// carries every count, so the stopping and confusion tables come from the merge.
int shardOrMerge(CommandLine& line, bool merge, const std::string& checkHint) {
    std::int32_t shard = 0, count = 0;
    std::string usage =
        reportOptionsRefusal(!merge, !line.reports.traceFile.empty(),
                             !line.reports.stoppingFile.empty() || !line.reports.confusionFile.empty() ||
                                 !line.reports.examineesFile.empty() || !line.reportPath.empty());
    if (usage.empty() && !merge && (line.shard.empty() || line.partFile.empty()))
        usage = "--shard and --part go together";
    if (usage.empty() && !merge && !parseShard(line.shard, shard, count))
        usage = "--shard takes K/N, two whole numbers with N from 1 to " + std::to_string(maxShardCount) +
                " and K from 1 to N";
    if (usage.empty() && merge && (!line.shard.empty() || !line.partFile.empty() || line.keepExaminees))
        usage = "merge takes part files, not --shard, --part or --keep-examinees";
    if (!usage.empty()) {
        std::cerr << "quillon-sim: " << usage << "\nRun with --help for the options.\n";
        return exitUsage;
    }
    // Refused before anything is written: the file named would be lost.
    if (const std::string refusal = merge ? mergeTablesRefusal(line.settings, line.reports, line.mergeParts)
                                          : shardPartRefusal(line.settings, line.partFile);
        !refusal.empty()) {
        std::cerr << refusal << '\n';
        return exitMessage;
    }
    RandomGenerator random(line.seed);
    if (merge)
        return runWithReports(line, checkHint, [&](RunHost& host, ReplayListener*) {
            return runMerge(line.settings, random, host, line.mergeParts, {!line.reports.examineesFile.empty()});
        });
    ConsoleHost host(!line.quiet && stderrIsTerminal());
    const RunSummary summary = runShard(line.settings, random, host, static_cast<int>(line.threads), shard, count,
                                        line.partFile, line.keepExaminees);
    return summary.completed ? exitDone : exitMessage;
}

}  // namespace

int runCommand(CommandLine& line, bool merge, const std::string& checkHint) {
    if (merge || !line.shard.empty() || !line.partFile.empty()) return shardOrMerge(line, merge, checkHint);
    return runWithReports(line, checkHint, [&](RunHost& host, ReplayListener* listener) {
        RandomGenerator random(line.seed);
        return runSimulation(line.settings, random, host, {static_cast<int>(line.threads), listener});
    });
}

}  // namespace quillon::cli
