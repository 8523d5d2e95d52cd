#include "report_command.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "quillon/charts/report.h"

namespace quillon::cli {

CLI::App* addReportCommand(CLI::App& app, ReportOptions& options) {
    CLI::App* report = app.add_subcommand(
        "report", "Write an HTML report (or SVG charts) of results tables; several tables overlay on one page");
    report->add_option("results", options.results, "Results tables written by quillon-sim or quillon")->required();
    report->add_option("--exposure", options.exposure, "Exposure table of the results table in the same place")
        ->allow_extra_args(false);
    report->add_option("--stopping", options.stopping, "Stopping table of the results table in the same place")
        ->allow_extra_args(false);
    report->add_option("--label", options.labels, "Name of the run in the same place (default: its file name)")
        ->allow_extra_args(false);
    report->add_option("--out", options.out, "The HTML report to write");
    report->add_option("--svg", options.svgFolder, "Folder to write each chart to as its own SVG file");
    return report;
}

ReportOutcome runReportCommand(const ReportOptions& options) {
    const auto usage = [](const std::string& text) {
        std::cerr << "quillon-sim report: " << text << '\n';
        return ReportOutcome::Usage;
    };
    if (options.out.empty() && options.svgFolder.empty())
        return usage("name the report with --out or a folder with --svg.");
    if (options.exposure.size() > options.results.size()) return usage("more --exposure tables than results tables.");
    if (options.stopping.size() > options.results.size()) return usage("more --stopping tables than results tables.");
    if (options.labels.size() > options.results.size()) return usage("more --label names than results tables.");

    std::vector<charts::RunTables> runs(options.results.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto nth = [i](const std::vector<std::string>& list) { return i < list.size() ? list[i] : ""; };
        const charts::RunFiles files{options.results[i], nth(options.exposure), nth(options.labels),
                                     nth(options.stopping)};
        if (const std::string problem = charts::loadRunTables(files, runs[i]); !problem.empty()) {
            std::cerr << "quillon-sim report: " << problem << '\n';
            return ReportOutcome::Refused;
        }
    }
    for (const auto& [target, write] :
         {std::pair{options.out, &charts::writeReport}, std::pair{options.svgFolder, &charts::writeChartFiles}}) {
        if (target.empty()) continue;
        if (const std::string problem = write(target, runs); !problem.empty()) {
            std::cerr << "quillon-sim report: " << problem << '\n';
            return ReportOutcome::Refused;
        }
    }
    return ReportOutcome::Written;
}

ReportOutcome writeRunReport(const RunSettings& settings, const std::string& reportPath,
                             const std::string& stoppingFile) {
    std::vector<charts::RunTables> runs(1);
    std::string problem = charts::loadRunOfSettings(settings, runs[0], stoppingFile);
    if (problem.empty()) problem = charts::writeReport(reportPath, runs);
    if (!problem.empty()) {
        std::cerr << "quillon-sim: no report: " << problem << '\n';
        return ReportOutcome::Refused;
    }
    return ReportOutcome::Written;
}

}  // namespace quillon::cli
