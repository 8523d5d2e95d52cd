#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::cli {

/// What the `study` subcommand was asked to do.
struct StudyOptions {
    std::string studyFile;
    std::string planDir;              // with --plan: the cluster plan's folder, and the work folder's home
    std::int32_t task = 0;            // with --task I: run task I alone (1-based)
    std::int32_t bundle = 0;          // with --bundle B: run array task B, the plan's bundle B of tasks
    std::vector<std::string> sbatch;  // with --plan: KEY=VALUE, each set after the [cluster] table
    bool merge = false;               // with --merge: merge the plan's parts into the study's tables
    std::int32_t shardsPerRun = 0;    // 0: as the plan says, or 1
    bool quiet = false;
};

/// The `study` subcommand: a whole study locally, or its cluster plan, one task or the merge.
CLI::App* addStudyCommand(CLI::App& app, StudyOptions& options);

/// Runs what the options ask for; returns the exit code (0 done, 1 a message, 2 usage).
int runStudyCommand(const StudyOptions& options, const std::string& runnerPath);

}  // namespace quillon::cli
