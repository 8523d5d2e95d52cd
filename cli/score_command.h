#pragma once

#include <string>
#include <vector>

#include "run_options.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim score` takes besides the run options it shares with a run.
struct ScoreCommandOptions {
    std::vector<std::string> dataFiles;
    std::string outFile;
    std::string itemOrderFile;
    bool sequential = false;
    bool force = false;
};

/// Adds the `score` subcommand to `app`; the run's own options (pool, groups, priors, drop items,
/// SPRT error rates, costs, stop probabilities) are given as for a run.
CLI::App* addScoreCommand(CLI::App& app, ScoreCommandOptions& options);

/// Classifies the examinees of the data files with the pool, writes the score table and prints a
/// one-line summary; messages go to standard error, the exit code follows the failure's kind.
int runScoreCommand(const CommandLine& line, const CLI::App& app, const ScoreCommandOptions& options);

}  // namespace quillon::cli
