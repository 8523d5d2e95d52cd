// quillon-sim: one run of the simulator from the command line, or a generated set of sample files;
// this file wires the subcommands, each of which lives in its own *_command.cpp.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <string>

#include "calibrate_command.h"
#include "calibrate_exposure_command.h"
#include "check_command.h"
#include "compare_command.h"
#include "exit_codes.h"
#include "generate_command.h"
#include "merge_command.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/run_settings.h"
#include "report_command.h"
#include "run_command.h"
#include "run_options.h"
#include "score_command.h"
#include "signals.h"
#include "study_command.h"

namespace {

std::string defaultFolder() {
    std::error_code error;
    const std::filesystem::path cwd = std::filesystem::current_path(error);
    return error ? std::string(".") : cwd.string();
}

constexpr const char* exitCodes =
    "Exit codes:\n"
    "  0    the run did everything asked: no message, every test of every examinee processed\n"
    "  1    the run showed a message, processed fewer tests than expected or found no examinee\n"
    "       (whatever it could write is written); for generate and calibrate, the files could not\n"
    "       be written or already exist (without --force), or calibrate refused the pilot data\n"
    "  2    the command line is wrong\n"
    "  3    calibrate-exposure ran out of iterations with an exposure rate above the bound (the\n"
    "       pool is written with the last parameters)\n"
    "  130  stopped by Ctrl-C (SIGINT), 143 by SIGTERM: the run ends at once, no table is left\n"
    "       half written";

}  // namespace

int main(int argc, char** argv) {
    quillon::cli::watchTerminatingSignals();
    quillon::cli::CommandLine line;
    quillon::setDefaultPaths(line.settings, defaultFolder(), '/');

    CLI::App app{
        "quillon-sim: replays every examinee of a response file through simulated classification tests and writes\n"
        "the results and exposure tables. One run is a fresh start of the simulator followed by one \"Go\".\n"
        "With --categories other than 2 the cost options are not read: the four costs are then 0."};
    app.option_defaults()->always_capture_default();
    app.footer(exitCodes);
    app.set_version_flag("--version", "quillon-sim " + std::string(quillon::programVersion),
                         "Print the program's version and exit");
    quillon::cli::addRunOptions(app, line);
    CLI::App* generate = quillon::cli::addGenerateCommand(app, line);

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
    quillon::cli::CompareOptions compareOptions;
    CLI::App* compare = quillon::cli::addCompareCommand(app, compareOptions);
    quillon::cli::CalibrateOptions calibrateOptions;
    CLI::App* calibrate = quillon::cli::addCalibrateCommand(app, calibrateOptions);
    quillon::cli::CalibrateExposureOptions calibrateExposureOptions;
    CLI::App* calibrateExposure = quillon::cli::addCalibrateExposureCommand(app, calibrateExposureOptions);
    quillon::cli::ScoreCommandOptions scoreOptions;
    CLI::App* score = quillon::cli::addScoreCommand(app, scoreOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        std::cerr << "quillon-sim: " << error.what() << "\nRun with --help for the options.\n";
        return quillon::cli::exitUsage;
    }
    if (*generate) {
        line.ability.groupsGiven = generate->count("--groups") > 0;
        line.ability.itemsGiven = generate->count("--items") > 0;
        return quillon::cli::generateSamples(line);
    }
    if (*calibrate) {
        const quillon::Status done = quillon::cli::runCalibrateCommand(calibrateOptions);
        if (!done) std::cerr << "quillon-sim calibrate: " << done.failure().message << '\n';
        return quillon::cli::exitCode(done);
    }
    if (*study) return quillon::cli::runStudyCommand(studyOptions, argv[0]);
    if (*report) return quillon::cli::exitCode(quillon::cli::runReportCommand(reportOptions));
    quillon::cli::completeSettings(line.settings, line);
    if (*calibrateExposure) return quillon::cli::runCalibrateExposureCommand(line, app, calibrateExposureOptions);
    if (*score) return quillon::cli::runScoreCommand(line, app, scoreOptions);
    if (*check) return quillon::cli::runCheckCommand(line.settings, checkJson, std::cout);
    line.arguments.assign(argv, argv + argc);
    if (*compare) return quillon::cli::runCompareCommand(line, app, compareOptions);
    const std::string checkHint = quillon::cli::checkHint(argc, argv, merge->parsed() ? &line.mergeParts : nullptr);
    return quillon::cli::runCommand(line, merge->parsed(), checkHint);
}
