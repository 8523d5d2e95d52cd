#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "quillon/ability_data/ability_data.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "quillon/run_reports/run_reports.h"

namespace quillon::cli {

/// Everything the command line sets.
struct CommandLine {
    RunSettings settings;
    std::uint32_t seed = RandomGenerator::defaultSeed;
    bool quiet = false;
    bool noExposure = false;
    bool noUniformPriors = false;
    bool stats = false;
    std::string reportPath;  // the HTML report of a completed run, when asked for
    RunReportOptions reports;
    unsigned threads = static_cast<unsigned>(defaultThreadCount());
    SampleOptions sample;
    AbilityOptions ability;  // generate: examinees of a continuous ability
    std::string outFolder = "data";
    bool force = false;  // generate may replace existing sample files
    std::string shard;   // "K/N": replay one range of examinees into `partFile`
    std::string partFile;
    bool keepExaminees = false;  // a shard's part keeps the examinee rows for the merge
    std::vector<std::string> mergeParts;
    std::vector<std::string> arguments;  // the command line as given, for the run's record
};

/// The check of a posterior stopping threshold: a number strictly between 0 and 1.
CLI::Validator stopProbabilityCheck();

/// Adds the options of a run (its settings, files, reports, threads, shard) to `app`, filling `line`.
void addRunOptions(CLI::App& app, CommandLine& line);

/// The settings a run and a check take from the command line's flags.
void completeSettings(RunSettings& settings, const CommandLine& line);

}  // namespace quillon::cli
