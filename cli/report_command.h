#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/charts/pool_diagnostics.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace CLI {
class App;
}

namespace quillon::cli {

/// What `quillon-sim report` was given.
struct ReportOptions {
    std::vector<std::string> results;
    std::vector<std::string> exposure;           // one per results file, in order, for the first ones
    std::vector<std::string> stopping;           // likewise
    std::vector<std::string> confusion;          // likewise
    std::vector<std::int32_t> confusionLengths;  // empty: the default lengths
    std::vector<std::string> labels;
    std::string out;
    std::string svgFolder;
    std::string panel, colour, rank;                // a study folder's report only
    double overUsed = charts::defaultOverUsedRate;  // exposure rate above which an item is listed as over-used
    bool paired = false;                            // replay the two runs from their records and pair their tests
};

/// Adds the `report` subcommand to `app`, filling `options` when it is parsed.
CLI::App* addReportCommand(CLI::App& app, ReportOptions& options);

/// Reads the tables and writes the report or the SVG files, or for a study's output folder
/// re-makes its study_report.html; with `paired`, first replays the two runs from their records
/// (refused unless every input they read is as recorded) for the report's paired section. Problems
/// go to standard error, and the failure's kind gives the exit code.
Status runReportCommand(const ReportOptions& options);

/// Writes the report of a completed run from the tables it wrote (`stoppingFile` empty when it
/// wrote no stopping table); problems go to standard error.
Status writeRunReport(const RunSettings& settings, const std::string& reportPath, const std::string& stoppingFile,
                      const std::string& confusionFile = "");

}  // namespace quillon::cli
