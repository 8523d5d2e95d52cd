#include "calibrate_exposure_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>

#include "console_host.h"
#include "exit_codes.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/exposure_calibration/exposure_calibration.h"

namespace quillon::cli {

namespace {

constexpr const char* commandName = "calibrate-exposure";

// The run options that write or choose what a calibration does not: given, they would be ignored.
const char* const refusedRunOptions[] = {
    "--results",         "--exposure", "--no-exposure", "--trace",     "--trace-candidates",
    "--trace-examinees", "--stopping", "--confusion",   "--examinees", "--keep-examinees",
    "--shard",           "--part",     "--report",      "--stats"};

std::string refusedRunOption(const CLI::App& app, const RunSettings& settings) {
    for (const char* name : refusedRunOptions)
        if (app.count(name) > 0) return name;
    if (app.count("--exposure-control") > 0 && settings.exposureControl != ExposureControl::SympsonHetter)
        return "--exposure-control";
    return {};
}

std::string rate(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

}  // namespace

CLI::App* addCalibrateExposureCommand(CLI::App& app, CalibrateExposureOptions& options) {
    CLI::App* command =
        app.add_subcommand(commandName,
                           "Find Sympson-Hetter exposure parameters K by repeated simulation, until no item is given "
                           "in more than --max-exposure of the tests, and write the pool with them as its "
                           "Exposure_K column (run it with --exposure-control sympson-hetter)")
            ->fallthrough();
    command->option_defaults()->always_capture_default();
    command->footer(
        "The run's options (--pool, --data, --max-length, --method, --randomization, --max-exposure, --seed, "
        "--threads, --quiet and the rest) are given as for a run. Every simulation uses the same --seed, every K "
        "starts at 1, and a pool's own Exposure_K column is replaced. Exit code 3: the iterations ran out; the pool "
        "is written with the last parameters.");
    command->add_option("--out", options.out, "Pool file to write: the pool with its Exposure_K column")->required();
    command->add_option("--iterations", options.iterations, "Simulations at most")->check(CLI::Range(1, 1000));
    command
        ->add_option("--tolerance", options.tolerance,
                     "How far above R an exposure rate may lie by chance and still count as at the bound")
        ->check(CLI::Range(0.0, 0.999999))
        ->default_str("3 binomial SDs of a rate at R over the tests of one simulation");
    command->add_flag("--force", options.force, "Replace the --out file when it exists");
    return command;
}

int runCalibrateExposureCommand(const CommandLine& line, const CLI::App& app, const CalibrateExposureOptions& options) {
    const auto fail = [](const Status& failed) {
        std::cerr << "quillon-sim " << commandName << ": " << withLineFeeds(failed.failure().message) << '\n';
        return exitCode(failed);
    };
    if (const std::string name = refusedRunOption(app, line.settings); !name.empty())
        return fail(
            Failure{FailureKind::Usage, name + " is not for " + commandName +
                                            ": it simulates under sympson-hetter and writes only the --out pool."});
    const RunSettings& settings = line.settings;
    if (std::string refusal = sameFileRefusal("Output", options.out, "pool", runInputFiles(settings)); !refusal.empty())
        return fail(Failure{FailureKind::Output, refusal});
    if (!options.force)
        if (std::string refusal = existingOutputsRefusal({options.out}, "another --out"); !refusal.empty())
            return fail(Failure{FailureKind::Output, refusal});
    // The pool's bytes as they are now: the written pool is this text with its parameters.
    const std::optional<std::string> poolText = readWholeFile(settings.poolFile);
    if (!poolText)
        return fail(Failure{FailureKind::Input, "Pool file " + upperName(settings.poolFile) + " is not available."});

    ExposureCalibrationOptions calibration;
    calibration.maxIterations = options.iterations;
    const CLI::App* command = app.get_subcommand(commandName);
    calibration.toleranceFromTests = command->count("--tolerance") == 0;
    calibration.tolerance = calibration.toleranceFromTests ? 0.0 : options.tolerance;
    calibration.seed = line.seed;
    calibration.threadCount = static_cast<int>(line.threads);
    calibration.stepDone = [&line](const ExposureCalibrationStep& step) {
        if (line.quiet) return;
        std::cout << "Iteration " << step.iteration << ": maximum selection rate " << rate(step.maxSelectionRate)
                  << ", maximum exposure rate " << rate(step.maxExposureRate) << ", " << step.itemsLimited
                  << " items with K below 1" << std::endl;
    };
    ConsoleHost host(!line.quiet && stderrIsTerminal());
    const Outcome<ExposureCalibration> found = calibrateExposure(settings, calibration, host);
    if (!found) return fail(found.failure());
    const Outcome<std::string> pool = poolWithExposureParameters(*poolText, settings, found->parameters);
    if (!pool) return fail(pool.failure());
    if (!replaceFileContents(options.out, *pool))
        return fail(Failure{FailureKind::Output, "The pool " + options.out + " could not be written."});

    const std::int32_t limited = static_cast<std::int32_t>(
        std::count_if(found->parameters.begin(), found->parameters.end(), [](double k) { return k < 1.0; }));
    const std::string figures =
        "maximum exposure rate " + rate(found->finalMaxExposureRate) + " (R " + formatRoundTrip(settings.maxExposure) +
        ", tolerance " + rate(found->tolerance) + " over " + std::to_string(found->tests) + " tests), " +
        std::to_string(found->itemsAtBound) + " items at the bound, " + std::to_string(limited) + " with K below 1";
    const std::string iterations =
        std::to_string(found->steps.size()) + " iteration" + (found->steps.size() == 1 ? "" : "s");
    if (!found->converged) {
        std::cerr << "quillon-sim " << commandName << ": not converged after " << iterations << ": " << figures
                  << ". Wrote " << options.out << " with the last parameters; more --iterations may reach the bound.\n";
        return exitNotConverged;
    }
    if (!line.quiet)
        std::cout << "Converged after " << iterations << ": " << figures << ". Wrote " << options.out << '\n';
    return exitDone;
}

}  // namespace quillon::cli
