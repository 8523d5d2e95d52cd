#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quillon/paired_comparison/paired_comparison.h"
#include "run_options.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim compare` may set differently for run B; a setting left unset is run A's.
struct CompareOptions {
    std::optional<SelectionMethod> method;
    std::optional<std::int32_t> randomization, maxLength;
    std::optional<double> alpha, beta;
    std::vector<double> stopProbabilities;  // empty: run A's
    std::optional<std::uint32_t> seed;
    std::optional<bool> uniformPriors, dropItems, blockEnemies, followScript;
    std::optional<std::string> pool;
    std::optional<double> costPassPass, costPassFail, costFailPass, costFailFail;
    std::string labelA = "A", labelB = "B";
};

/// Adds the `compare` subcommand to `app`: run A takes the run options before or after it, run B
/// the same with the --b- options applied.
CLI::App* addCompareCommand(CLI::App& app, CompareOptions& options);

/// Run B's settings: run A's with the options that were given.
RunSettings runBSettings(const RunSettings& a, const CompareOptions& options);

/// What replaying two runs gave: the comparison (or why there is none) and whether both replays
/// were whole, every test taken and no message shown.
struct PairedReplay {
    Outcome<PairedComparison> comparison;
    bool whole = false;
};

/// Replays run A, then run B, over the same examinees, saying so and showing progress and messages
/// on standard error (progress only on a terminal, and nothing of either when `quiet`).
PairedReplay replayPairedRuns(const PairedRunSpec& a, const PairedRunSpec& b, bool quiet, unsigned threads);

/// Replays both runs, pairs their tests and writes the report; messages and progress go to
/// standard error. The exit code is 0 only when both runs processed every test without a message
/// and the report was written.
int runCompareCommand(const CommandLine& line, const CLI::App& app, const CompareOptions& options);

}  // namespace quillon::cli
