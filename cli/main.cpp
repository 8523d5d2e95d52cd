// quillon-sim: one run of the simulator from the command line, or a generated set of sample files.
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "quillon/random_generator.h"
#include "quillon/run_host.h"
#include "quillon/run_settings.h"
#include "quillon/sample_data.h"
#include "quillon/simulation.h"
#include "report_command.h"

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

    void progressShutdown(quillon::ProgressHandle) override {
        open_ = false;
        endProgressLine();
    }

private:
    void endProgressLine() {
        if (lineShown_) std::fputc('\n', stderr);
        lineShown_ = false;
    }

    bool showProgress_;
    bool open_ = false;
    bool lineShown_ = false;
    quillon::ProgressHandle lastHandle_ = 0;
    std::chrono::steady_clock::time_point started_;
};

std::string defaultFolder() {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string(".") : cwd.string();
}

}  // namespace

int main(int argc, char** argv) {
    quillon::RunSettings settings;
    quillon::setDefaultPaths(settings, defaultFolder(), '/');
    std::uint32_t seed = quillon::RandomGenerator::defaultSeed;
    bool quiet = false;
    bool noExposure = false;
    bool noUniformPriors = false;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());

    CLI::App app{
        "quillon-sim: replays every examinee of a response file through simulated classification tests and writes\n"
        "the results and exposure tables. One run is a fresh start of the simulator followed by one \"Go\".\n"
        "With --categories other than 2 the cost options are not read: the four costs are then 0."};
    app.option_defaults()->always_capture_default();
    app.add_option("--pool", settings.poolFile, "Pool file");
    app.add_option("--script", settings.scriptFile, "Script file (read with --follow-script)");
    app.add_option("--enemies", settings.enemiesFile, "Enemies file (read with --block-enemies)");
    app.add_option("--data", settings.responseFile, "Response file");
    app.add_option("--results", settings.resultsFile, "Results table to write");
    app.add_option("--exposure", settings.exposureFile, "Exposure table to write");
    app.add_option("--max-length", settings.maxTestLength, "Maximum test length");
    app.add_option("--categories", settings.groupCount, "N Categories (classification groups)");
    app.add_option("--tests-per-person", settings.testsPerPerson, "N tests per person (1 to 5)");
    app.add_option("--method", settings.selectionMethod, "Item selection: Shannon, MaxDiscr or MinCost")
        ->check(CLI::IsMember({"Shannon", "MaxDiscr", "MinCost"}));
    app.add_option("--randomization", settings.randomizationFactor, "Randomization factor (best k items)");
    app.add_option("--alpha", settings.sprtAlpha, "SPRT error rate a");
    app.add_option("--beta", settings.sprtBeta, "SPRT error rate B");
    app.add_option("--cost-pass-pass", settings.costPassPass, "Bayes cost: predicted Pass, actual Pass");
    app.add_option("--cost-pass-fail", settings.costPassFail, "Bayes cost: predicted Pass, actual Fail");
    app.add_option("--cost-fail-pass", settings.costFailPass, "Bayes cost: predicted Fail, actual Pass");
    app.add_option("--cost-fail-fail", settings.costFailFail, "Bayes cost: predicted Fail, actual Fail");
    app.add_flag("--drop-items", settings.dropItems, "Leave out pool items whose drop flag is 1");
    app.add_flag("--block-enemies", settings.blockEnemies, "Load the enemies file and block enemies");
    app.add_flag("--follow-script", settings.followScript, "Load the script and follow its slots");
    app.add_flag("--use-sprt", settings.useSprt, "Use SPRT (the SPRT columns are written in every run)");
    app.add_flag("--no-exposure", noExposure, "Do not write the exposure table");
    app.add_flag("--no-uniform-priors", noUniformPriors, "Start every test from the pool's P_Grp priors");
    app.add_option("--seed", seed, "Starting state of the random generator");
    app.add_option("--threads", threads, "Threads for the replay (the tables do not depend on it)")
        ->check(CLI::Range(1u, 1024u));
    app.add_flag("--quiet", quiet, "No progress line");
    std::string reportPath;
    app.add_option("--report", reportPath, "After a completed run, write its HTML report here");
    bool stats = false;
    app.add_flag("--stats", stats, "After the run, print its counts and time to standard error (for benchmarks)");

    quillon::SampleOptions sample;
    std::string outFolder = "data";
    CLI::App* generate = app.add_subcommand("generate", "Write a consistent set of sample input files");
    generate->option_defaults()->always_capture_default();
    generate->add_option("--items", sample.items, "Items in the pool");
    generate->add_option("--collections", sample.collections, "Content collections (1 to 8), of unequal size");
    generate->add_option("--groups", sample.groups, "Classification groups (2 to 10)");
    generate->add_option("--examinees", sample.examinees, "Lines of the response file");
    generate->add_option("--script-length", sample.scriptLength, "Slots of the script");
    generate->add_option("--blank-share", sample.blankShare, "Share of answers left blank");
    generate->add_option("--seed", sample.seed, "Seed of the generated data");
    generate->add_option("--out", outFolder, "Folder for the four files");
    generate->add_flag("--quiet", quiet, "No closing line");

    quillon::cli::ReportOptions reportOptions;
    CLI::App* report = quillon::cli::addReportCommand(app, reportOptions);

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

    if (*generate) {
        if (const std::string problem = quillon::checkSampleOptions(sample); !problem.empty()) {
            std::cerr << "quillon-sim generate: " << problem << '\n';
            return exitUsage;
        }
        const quillon::SampleFiles files = quillon::generateSampleFiles(sample);
        if (const std::string problem = quillon::writeSampleFiles(sample, files, outFolder); !problem.empty()) {
            std::cerr << "quillon-sim generate: " << problem << '\n';
            return exitMessage;
        }
        if (!quiet) std::cout << "Wrote the sample files into " << outFolder << '\n';
        return exitDone;
    }

    if (*report) {
        const auto outcome = quillon::cli::runReportCommand(reportOptions);
        return outcome == quillon::cli::ReportOutcome::Written ? exitDone
               : outcome == quillon::cli::ReportOutcome::Usage ? exitUsage
                                                                : exitMessage;
    }

    settings.saveExposure = !noExposure;
    settings.uniformPriors = !noUniformPriors;
    if (settings.groupCount != 2) {
        // A fresh start that never read the cost grid holds 0 in all four costs.
        settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
    }
    ConsoleHost host(!quiet && isatty(fileno(stderr)) != 0);
    quillon::RandomGenerator random(seed);
    const auto started = std::chrono::steady_clock::now();
    const quillon::RunSummary summary =
        quillon::runSimulation(settings, random, host, quillon::RunOptions{static_cast<int>(threads)});
    if (stats) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "stats: threads=%u examinees=%lld tests=%lld selections=%lld candidates=%lld seconds=%.3f\n",
                     threads, static_cast<long long>(summary.examinees), static_cast<long long>(summary.testsStarted),
                     static_cast<long long>(summary.selections), static_cast<long long>(summary.candidatesScored),
                     seconds);
    }
    if (summary.completed && !reportPath.empty() &&
        quillon::cli::writeRunReport(settings, reportPath) != quillon::cli::ReportOutcome::Written) {
        return exitMessage;
    }
    return summary.completed ? exitDone : exitMessage;
}
