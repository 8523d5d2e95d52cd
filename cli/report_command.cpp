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

Status runReportCommand(const ReportOptions& options) {
    const auto said = [](Failure failure) {
        std::cerr << "quillon-sim report: " << failure.message << '\n';
        return failure;
    };
    const auto usage = [&](const std::string& text) { return said({FailureKind::Usage, text}); };
    if (options.out.empty() && options.svgFolder.empty())
        return usage("name the report with --out or a folder with --svg.");
    if (options.exposure.size() > options.results.size()) return usage("more --exposure tables than results tables.");
    if (options.stopping.size() > options.results.size()) return usage("more --stopping tables than results tables.");
    if (options.labels.size() > options.results.size()) return usage("more --label names than results tables.");

    std::vector<charts::RunTables> runs;
    for (std::size_t i = 0; i < options.results.size(); ++i) {
        const auto nth = [i](const std::vector<std::string>& list) { return i < list.size() ? list[i] : ""; };
        const charts::RunFiles files{options.results[i], nth(options.exposure), nth(options.labels),
                                     nth(options.stopping)};
        Outcome<charts::RunTables> run = charts::loadRunTables(files);
        if (!run) return said(run.failure());
        runs.push_back(std::move(*run));
    }
    for (const auto& [target, write] :
         {std::pair{options.out, &charts::writeReport}, std::pair{options.svgFolder, &charts::writeChartFiles}}) {
        if (target.empty()) continue;
        if (const Status written = write(target, runs); !written) return said(written.failure());
    }
    return {};
}

Status writeRunReport(const RunSettings& settings, const std::string& reportPath, const std::string& stoppingFile) {
    Outcome<charts::RunTables> run = charts::loadRunOfSettings(settings, stoppingFile);
    const Status written = run ? charts::writeReport(reportPath, {*run}) : Status(run.failure());
    if (!written) std::cerr << "quillon-sim: no report: " << written.failure().message << '\n';
    return written;
}

}  // namespace quillon::cli
