#pragma once

#include <string>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim report` was given.
struct ReportOptions {
    std::vector<std::string> results;
    std::vector<std::string> exposure;  // one per results file, in order, for the first ones
    std::vector<std::string> stopping;  // likewise
    std::vector<std::string> labels;
    std::string out;
    std::string svgFolder;
};

/// How a report command ended, for the caller's exit code.
enum class ReportOutcome { Written, Refused, Usage };

/// Adds the `report` subcommand to `app`, filling `options` when it is parsed.
CLI::App* addReportCommand(CLI::App& app, ReportOptions& options);

/// Reads the tables and writes the report or the SVG files; problems go to standard error.
ReportOutcome runReportCommand(const ReportOptions& options);

/// Writes the report of a completed run from the tables it wrote (`stoppingFile` empty when it
/// wrote no stopping table); problems go to standard error.
ReportOutcome writeRunReport(const RunSettings& settings, const std::string& reportPath,
                             const std::string& stoppingFile);

}  // namespace quillon::cli
