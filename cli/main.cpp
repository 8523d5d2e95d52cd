// quillon-sim: one run of the simulator from the command line, or a generated set of sample files.
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "check_command.h"
#include "merge_command.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/run_parts.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "quillon/run_reports/run_reports.h"
#include "report_command.h"
#include "study_command.h"

namespace {

constexpr int exitDone = 0;
constexpr int exitMessage = 1;
constexpr int exitUsage = 2;

// Messages to standard error, the Done message to standard output, and on a terminal a live
// progress line that is redrawn in place.
class ConsoleHost : public quillon::RunHost {
public:
    explicit ConsoleHost(bool showProgress) : showProgress_(showProgress) {}

    void showMessage(const std::string& text) override {
        endProgressLine();
        std::cerr << quillon::withLineFeeds(text) << '\n';
        ++messagesShown_;
    }

    void showInputMessage(const std::string& text) override {
        showMessage(text);
        if (!inputHint.empty()) std::cerr << inputHint << '\n';
    }

    void showDone(const std::string& text) override {
        endProgressLine();
        std::cout << quillon::withLineFeeds(text) << '\n';
    }

    quillon::ProgressHandle progressInit(const std::string&) override {
        open_ = true;
        started_ = std::chrono::steady_clock::now();
        return ++lastHandle_;
    }

    void progressSet(quillon::ProgressHandle handle, const quillon::ProgressReport& report) override {
        if (!showProgress_ || !open_ || handle != lastHandle_) return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        const double rate = seconds > 0 ? static_cast<double>(report.testsStarted) / seconds : 0.0;
        const double left = rate > 0 ? static_cast<double>(report.expectedTests - report.testsStarted) / rate : 0.0;
        const int percent = report.percent < 0 ? 0 : (report.percent > 100 ? 100 : report.percent);
        std::fprintf(stderr, "\r%3d%%  %lld of %lld tests  %.0f tests/s  %d:%02d left   ", percent,
                     static_cast<long long>(report.testsStarted), static_cast<long long>(report.expectedTests), rate,
                     static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        std::fflush(stderr);
        lineShown_ = true;
    }

    bool progressIsCancelled(quillon::ProgressHandle handle) override { return !open_ || handle != lastHandle_; }

    /// How many of the system's messages the run showed; any one means the run fell short.
    int messagesShown() const { return messagesShown_; }

    void progressShutdown(quillon::ProgressHandle) override {
        open_ = false;
        endProgressLine();
    }

    std::string inputHint;  // how to check the same inputs, said after a load message

private:
    void endProgressLine() {
        if (lineShown_) std::fputc('\n', stderr);
        lineShown_ = false;
    }

    bool showProgress_;
    bool open_ = false;
    bool lineShown_ = false;
    int messagesShown_ = 0;
    quillon::ProgressHandle lastHandle_ = 0;
    std::chrono::steady_clock::time_point started_;
};

std::string defaultFolder() {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string(".") : cwd.string();
}

constexpr const char* exitCodes =
    "Exit codes:\n"
    "  0    the run did everything asked: no message, every test of every examinee processed\n"
    "  1    the run showed a message, processed fewer tests than expected or found no examinee\n"
    "       (whatever it could write is written); for generate, the files could not be written\n"
    "       or already exist (without --force)\n"
    "  2    the command line is wrong\n"
    "  130  stopped by Ctrl-C (SIGINT), 143 by SIGTERM: the run ends at once, no table is left\n"
    "       half written";

#ifndef _WIN32
// Ctrl-C, SIGTERM and SIGHUP end the process at once, as they always did, but never while a
// table is being replaced: every thread blocks them and one watcher thread waits for them. A
// signal ignored at start (nohup, a background job) stays ignored.
void watchTerminatingSignals() {
    // Past a file-size limit a write then fails and is reported, instead of killing the process.
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t watched;
    sigemptyset(&watched);
    bool any = false;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        sigaddset(&watched, signal);
        any = true;
    }
    if (!any) return;
    // Threads inherit the mask, so this comes before the run starts any.
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    std::thread([watched] {
        int signal = 0;
        if (sigwait(&watched, &signal) != 0) return;
        // A table being written gets renamed or removed first; one stuck on a dead disk is not waited for.
        [[maybe_unused]] const bool held = quillon::fileReplacementLock().try_lock_for(std::chrono::seconds(5));
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(signal);  // the default action: the process ends with this signal as its status
    }).detach();
}
#else
void watchTerminatingSignals() {}
#endif

/// Everything the command line sets.
struct CommandLine {
    quillon::RunSettings settings;
    std::uint32_t seed = quillon::RandomGenerator::defaultSeed;
    bool quiet = false;
    bool noExposure = false;
    bool noUniformPriors = false;
    bool stats = false;
    std::string reportPath;  // the HTML report of a completed run, when asked for
    quillon::RunReportOptions reports;
    unsigned threads = static_cast<unsigned>(quillon::defaultThreadCount());
    quillon::SampleOptions sample;
    std::string outFolder = "data";
    bool force = false;  // generate may replace existing sample files
    std::string shard;   // "K/N": replay one range of examinees into `partFile`
    std::string partFile;
    bool keepExaminees = false;  // a shard's part keeps the examinee rows for the merge
    std::vector<std::string> mergeParts;
};

void addRunOptions(CLI::App& app, CommandLine& line) {
    quillon::RunSettings& settings = line.settings;
    app.add_option("--pool", settings.poolFile, "Pool file");
    app.add_option("--script", settings.scriptFile, "Script file (read with --follow-script)");
    app.add_option("--enemies", settings.enemiesFile, "Enemies file (read with --block-enemies)");
    app.add_option("--data", settings.responseFile, "Response file");
    app.add_option("--results", settings.resultsFile, "Results table to write");
    app.add_option("--exposure", settings.exposureFile, "Exposure table to write");
    app.add_option("--max-length", settings.maxTestLength, "Maximum test length");
    app.add_option("--categories", settings.groupCount, "N Categories (classification groups)");
    app.add_option("--tests-per-person", settings.testsPerPerson, "N tests per person (1 to 5)");
    // The check runs before the function, so the name always parses.
    app.add_option_function<std::string>(
           "--method",
           [&settings](const std::string& name) {
               settings.selectionMethod = quillon::selectionMethodFromName(name).value_or(settings.selectionMethod);
           },
           "Item selection: Shannon, MaxDiscr or MinCost")
        ->check(CLI::IsMember({"Shannon", "MaxDiscr", "MinCost"}))
        ->default_str(std::string(quillon::selectionMethodName(settings.selectionMethod)));
    app.add_option("--randomization", settings.randomizationFactor,
                   "Randomization factor: draw among the best k items (0 or more; 0 and 1 take the best)");
    app.add_option("--alpha", settings.sprtAlpha, "SPRT error rate a");
    app.add_option("--beta", settings.sprtBeta, "SPRT error rate B");
    app.add_option("--cost-pass-pass", settings.costPassPass, "Bayes cost: predicted Pass, actual Pass");
    app.add_option("--cost-pass-fail", settings.costPassFail, "Bayes cost: predicted Pass, actual Fail");
    app.add_option("--cost-fail-pass", settings.costFailPass, "Bayes cost: predicted Fail, actual Pass");
    app.add_option("--cost-fail-fail", settings.costFailFail, "Bayes cost: predicted Fail, actual Fail");
    app.add_flag("--drop-items", settings.dropItems, "Leave out pool items whose drop flag is 1");
    app.add_flag("--block-enemies", settings.blockEnemies, "Load the enemies file and block enemies");
    app.add_flag("--follow-script", settings.followScript, "Load the script and follow its slots");
    app.add_flag("--use-sprt", settings.useSprt,
                 "Use SPRT: after the run, print its average test length and share correctly classified, and "
                 "write the stopping table beside the results (NAME_stopping.csv) unless --stopping names one");
    app.add_flag("--no-exposure", line.noExposure, "Do not write the exposure table");
    app.add_flag("--no-uniform-priors", line.noUniformPriors, "Start every test from the pool's P_Grp priors");
    app.add_option("--seed", line.seed, "Starting state of the random generator");
    app.add_option("--threads", line.threads,
                   "Threads for the replay (default: the CPUs this process may run on; the tables do not depend on it)")
        ->check(CLI::Range(1u, static_cast<unsigned>(quillon::maxThreadCount)));
    app.add_option("--trace", line.reports.traceFile,
                   "Trace file: one row per administered item (the choice, its score, the posterior after it)");
    app.add_option("--trace-candidates", line.reports.traceCandidates,
                   "Trace: also the best K candidates of each selection, in ranked order")
        ->check(CLI::Range(0, quillon::maxTraceCandidates));
    app.add_option("--trace-examinees", line.reports.traceExaminees, "Trace only the first N examinees")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--stopping", line.reports.stoppingFile,
                   "Stopping table: where each test would have stopped under each rule, with ATL and PCC");
    app.add_option("--stop-probability", line.settings.stopProbabilities,
                   "Posterior rule: stop once the MAP group's probability reaches X, in (0, 1); repeatable "
                   "(default .95). The SPRT rule stops at the first length it decides; a test no rule stops "
                   "is classified by its last MAP group and counted undecided")
        ->check(CLI::Validator(
            [](std::string& text) {
                const double x = std::strtod(text.c_str(), nullptr);
                return x > 0.0 && x < 1.0 ? std::string() : "must lie between 0 and 1 (both excluded)";
            },
            "X in (0, 1)"));
    app.add_option("--confusion", line.reports.confusionFile,
                   "Confusion table: per length, true group against MAP group (and SPRT group)");
    app.add_option("--examinees", line.reports.examineesFile,
                   "Examinees table: one row per examinee and test with the final MAP group and probability and, "
                   "for each stopping rule, the length at which it first decided and what it decided");
    app.add_flag("--keep-examinees", line.keepExaminees,
                 "With --shard: the part keeps one row per examinee and test, so that merge can write --examinees");
    app.add_option("--shard", line.shard,
                   "Replay only the K-th of N equal ranges of examinees (K/N) and write a part file (--part) "
                   "instead of the tables; `merge` writes the tables from all N parts");
    app.add_option("--part", line.partFile, "Part file a --shard run writes");
    app.add_flag("--quiet", line.quiet, "No progress line");
    app.add_option("--report", line.reportPath, "After a completed run, write its HTML report here");
    app.add_flag("--stats", line.stats, "After the run, print its counts and time to standard error (for benchmarks)");
}

CLI::App* addGenerateCommand(CLI::App& app, CommandLine& line) {
    CLI::App* generate = app.add_subcommand("generate", "Write a consistent set of sample input files");
    generate->option_defaults()->always_capture_default();
    quillon::SampleOptions& sample = line.sample;
    generate->add_option("--items", sample.items, "Items in the pool");
    generate->add_option("--collections", sample.collections, "Content collections (1 to 8), of unequal size");
    generate->add_option("--groups", sample.groups, "Classification groups (2 to 10)");
    generate->add_option("--examinees", sample.examinees, "Lines of the response file");
    generate->add_option("--script-length", sample.scriptLength, "Slots of the script");
    generate->add_option("--blank-share", sample.blankShare, "Share of answers left blank");
    generate->add_option("--seed", sample.seed, "Seed of the generated data");
    generate
        ->add_option("--group-shares", sample.groupShares,
                     "Share of examinees in each group, e.g. .3,.7: one per group, each above 0 and below 1, "
                     "adding up to 1; written as the pool's priors in thousandths (default: priors drawn "
                     "near 1/groups)")
        ->delimiter(',')
        ->default_str("");
    generate->add_option("--item-quality", sample.itemQuality,
                         "How far apart the groups' probabilities of an item lie (0 or more). Each probability "
                         "p of an item becomes m + Q*(p - m), m the mean of the item's probabilities over the "
                         "groups, rounded to thousandths and kept within .01 to .99: 1 the drawn spread, 0 the "
                         "same probability for every group, above 1 further apart");
    generate->add_option("--out", line.outFolder, "Folder for the four files");
    generate->add_flag("--force", line.force, "Replace sample files already in the --out folder");
    generate->add_flag("--quiet", line.quiet, "No closing line");
    return generate;
}

int generateSamples(const CommandLine& line) {
    if (const std::string problem = quillon::checkSampleOptions(line.sample); !problem.empty()) {
        std::cerr << "quillon-sim generate: " << problem << '\n';
        return exitUsage;
    }
    const quillon::SampleFiles files = quillon::generateSampleFiles(line.sample);
    if (const std::string problem = quillon::writeSampleFiles(line.sample, files, line.outFolder, line.force);
        !problem.empty()) {
        std::cerr << "quillon-sim generate: " << problem << '\n';
        return exitMessage;
    }
    if (!line.quiet) std::cout << "Wrote the sample files into " << line.outFolder << '\n';
    return exitDone;
}

// The settings a run and a check take from the command line's flags.
void completeSettings(quillon::RunSettings& settings, const CommandLine& line) {
    settings.saveExposure = !line.noExposure;
    settings.uniformPriors = !line.noUniformPriors;
    quillon::clearUnreadCosts(settings);
}

// With "Use SPRT": the variable-length test's figures beside the fixed-length test's.
void printStoppingSummary(const quillon::StoppingTable& table, std::int32_t maxTestLength) {
    for (std::size_t r = 0; r < table.rules().size(); ++r) {
        const quillon::StoppingRule& rule = table.rules()[r];
        const quillon::StoppingSummary s = table.summary(r);
        const std::string name = rule.kind == quillon::StoppingRule::Kind::Sprt
                                     ? std::string("SPRT")
                                     : "MAP probability >= " + quillon::formatPlain(rule.threshold);
        std::printf(
            "%s: average test length %.2f, %.1f%% correctly classified, %.1f%% undecided "
            "(fixed length %d: %.1f%%)\n",
            name.c_str(), s.averageLength(), 100.0 * s.percentCorrect(),
            s.tests == 0 ? 0.0 : 100.0 * static_cast<double>(s.undecided) / static_cast<double>(s.tests), maxTestLength,
            100.0 * s.fixedPercentCorrect());
    }
}

// A run did what was asked only when it showed no message, processed every expected test and
// had an examinee to process; the Done message alone does not say so.
int wholeRunExit(const quillon::RunSummary& summary, const ConsoleHost& host) {
    const bool whole = summary.completed && !summary.cancelled && host.messagesShown() == 0 && summary.examinees > 0 &&
                       summary.testsStarted >= summary.expectedTests;
    return whole ? exitDone : exitMessage;
}

// A whole run or a merge, with the reports the command line asks for: `run` starts it with the
// listener the reports need. `checkHint` is said after a message about the inputs.
int runWithReports(CommandLine& line, const std::string& checkHint,
                   const std::function<quillon::RunSummary(quillon::RunHost&, quillon::ReplayListener*)>& run) {
    quillon::RunSettings& settings = line.settings;
    ConsoleHost host(!line.quiet && isatty(fileno(stderr)) != 0);
    host.inputHint = checkHint;
    quillon::RunReportOptions reportOptions = line.reports;
    if (settings.useSprt && reportOptions.stoppingFile.empty())
        reportOptions.stoppingFile = quillon::stoppingFileBeside(settings.resultsFile);
    const bool reportsWanted = !reportOptions.traceFile.empty() || !reportOptions.stoppingFile.empty() ||
                               !reportOptions.confusionFile.empty() || !reportOptions.examineesFile.empty();
    quillon::RunReports reports(reportOptions, settings);
    // The HTML report, written last, would replace a file the run has just read or written.
    if (const std::string refusal = quillon::sameFileRefusal("Report", line.reportPath, "report", reports.runFiles());
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
    const quillon::RunSummary summary = run(host, reportsWanted ? &reports : nullptr);
    std::string stoppingWritten;  // for the report: only a stopping table this run wrote
    if (reportsWanted) {
        for (const std::string& problem : reports.finish(summary)) host.showMessage(problem);
        if (reports.written()) stoppingWritten = reportOptions.stoppingFile;
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
    if (summary.completed && !line.reportPath.empty() &&
        quillon::cli::writeRunReport(settings, line.reportPath, stoppingWritten) !=
            quillon::cli::ReportOutcome::Written)
        return exitMessage;
    return wholeRunExit(summary, host);
}

// A shard (exit 0 once its part is written) or a merge (exit codes as the one-process run). A part
// carries every count, so the stopping and confusion tables come from the merge.
int shardOrMerge(CommandLine& line, bool merge, const std::string& checkHint) {
    std::int32_t shard = 0, count = 0;
    std::string usage =
        quillon::cli::reportOptionsRefusal(!merge, !line.reports.traceFile.empty(),
                                           !line.reports.stoppingFile.empty() || !line.reports.confusionFile.empty() ||
                                               !line.reports.examineesFile.empty() || !line.reportPath.empty());
    if (usage.empty() && !merge && (line.shard.empty() || line.partFile.empty()))
        usage = "--shard and --part go together";
    if (usage.empty() && !merge && !quillon::cli::parseShard(line.shard, shard, count))
        usage = "--shard takes K/N, two whole numbers with N from 1 to " + std::to_string(quillon::maxShardCount) +
                " and K from 1 to N";
    if (usage.empty() && merge && (!line.shard.empty() || !line.partFile.empty() || line.keepExaminees))
        usage = "merge takes part files, not --shard, --part or --keep-examinees";
    if (!usage.empty()) {
        std::cerr << "quillon-sim: " << usage << "\nRun with --help for the options.\n";
        return exitUsage;
    }
    // Refused before anything is written: the file named would be lost.
    if (const std::string refusal = merge
                                        ? quillon::cli::mergeTablesRefusal(line.settings, line.reports, line.mergeParts)
                                        : quillon::cli::shardPartRefusal(line.settings, line.partFile);
        !refusal.empty()) {
        std::cerr << refusal << '\n';
        return exitMessage;
    }
    quillon::RandomGenerator random(line.seed);
    if (merge)
        return runWithReports(line, checkHint, [&](quillon::RunHost& host, quillon::ReplayListener*) {
            return quillon::runMerge(line.settings, random, host, line.mergeParts, !line.reports.examineesFile.empty());
        });
    ConsoleHost host(!line.quiet && isatty(fileno(stderr)) != 0);
    const quillon::RunSummary summary = quillon::runShard(line.settings, random, host, static_cast<int>(line.threads),
                                                          shard, count, line.partFile, line.keepExaminees);
    return summary.completed ? exitDone : exitMessage;
}

}  // namespace

int main(int argc, char** argv) {
    watchTerminatingSignals();
    CommandLine line;
    quillon::setDefaultPaths(line.settings, defaultFolder(), '/');

    CLI::App app{
        "quillon-sim: replays every examinee of a response file through simulated classification tests and writes\n"
        "the results and exposure tables. One run is a fresh start of the simulator followed by one \"Go\".\n"
        "With --categories other than 2 the cost options are not read: the four costs are then 0."};
    app.option_defaults()->always_capture_default();
    app.footer(exitCodes);
    addRunOptions(app, line);
    CLI::App* generate = addGenerateCommand(app, line);

    bool checkJson = false;
    CLI::App* check =
        app.add_subcommand("check", "Check the files and settings of this run and say where each problem is")
            ->fallthrough();
    check->add_flag("--json", checkJson, "Print the report as one JSON document");

    quillon::cli::ReportOptions reportOptions;
    CLI::App* report = quillon::cli::addReportCommand(app, reportOptions);
    CLI::App* merge = quillon::cli::addMergeCommand(app, line.mergeParts);
    quillon::cli::StudyOptions studyOptions;
    CLI::App* study = quillon::cli::addStudyCommand(app, studyOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::ParseError& error) {
        std::cerr << "quillon-sim: " << error.what() << "\nRun with --help for the options.\n";
        return exitUsage;
    }
    if (*generate) return generateSamples(line);
    if (*study) return quillon::cli::runStudyCommand(studyOptions, argv[0]);
    if (*report) {
        const auto outcome = quillon::cli::runReportCommand(reportOptions);
        return outcome == quillon::cli::ReportOutcome::Written ? exitDone
               : outcome == quillon::cli::ReportOutcome::Usage ? exitUsage
                                                               : exitMessage;
    }
    completeSettings(line.settings, line);
    if (*check) return quillon::cli::runCheckCommand(line.settings, checkJson, std::cout);
    const std::string checkHint = quillon::cli::checkHint(argc, argv);
    if (*merge || !line.shard.empty() || !line.partFile.empty()) return shardOrMerge(line, merge->parsed(), checkHint);
    return runWithReports(line, checkHint, [&](quillon::RunHost& host, quillon::ReplayListener* listener) {
        quillon::RandomGenerator random(line.seed);
        return quillon::runSimulation(line.settings, random, host, {static_cast<int>(line.threads), listener});
    });
}
