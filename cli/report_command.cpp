#include "report_command.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <optional>
#include <utility>

#include "compare_command.h"
#include "quillon/charts/paired_chart.h"
#include "quillon/charts/report.h"
#include "quillon/charts/study_report.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"

namespace quillon::cli {

CLI::App* addReportCommand(CLI::App& app, ReportOptions& options) {
    CLI::App* report = app.add_subcommand(
        "report",
        "Write an HTML report (or SVG charts) of results tables, several overlaid on one page; or re-make a study "
        "output folder's study_report.html");
    report
        ->add_option("results", options.results,
                     "Results tables written by quillon-sim or quillon, or one study output folder")
        ->required();
    report->add_option("--exposure", options.exposure, "Exposure table of the results table in the same place")
        ->allow_extra_args(false);
    report->add_option("--stopping", options.stopping, "Stopping table of the results table in the same place")
        ->allow_extra_args(false);
    report->add_option("--confusion", options.confusion, "Confusion table of the results table in the same place")
        ->allow_extra_args(false);
    report
        ->add_option("--confusion-lengths", options.confusionLengths,
                     "Test lengths to draw the confusion matrices at, e.g. 5,10,20 (default: 5, 10, 20 and the "
                     "longest)")
        ->delimiter(',')
        ->check(CLI::PositiveNumber);
    report->add_option("--label", options.labels, "Name of the run in the same place (default: its file name)")
        ->allow_extra_args(false);
    report
        ->add_option("--over-used", options.overUsed,
                     "Exposure rate above which the report lists an item as over-used (default: .25)")
        ->check(CLI::Range(0.0, 1.0));
    report->add_option("--out", options.out, "The HTML report to write");
    report->add_option("--svg", options.svgFolder, "Folder to write each chart to as its own SVG file");
    report->add_flag("--paired", options.paired,
                     "Replay the two runs from the run records beside their results (NAME_run.json) over the same "
                     "examinees and add a section pairing their tests; refused when an input file changed since");
    report->add_option("--panel", options.panel, "Study: the factor with one panel per level (default: fewest levels)");
    report->add_option("--colour", options.colour, "Study: the factor with one colour per level (default: the next)");
    report->add_option("--rank", options.rank, "Study: the outcome the conditions are ranked by (default: sprt_pcc)");
    return report;
}

namespace {

namespace fs = std::filesystem;

// A study's output folder holds its summary and conditions tables; its report is made from them.
bool isStudyFolder(const std::string& path) {
    std::error_code error;
    return fs::is_directory(path, error) && fs::is_regular_file(fs::path(path) / studyOutputNames[2], error) &&
           fs::is_regular_file(fs::path(path) / studyOutputNames[3], error);
}

Status remakeStudyReport(const ReportOptions& options, const std::string& folder) {
    const std::string report = (fs::path(folder) / studyOutputNames[4]).string();
    // A report linked to one of the study's tables would replace it.
    for (std::size_t table = 0; table < 4; ++table) {
        const std::string input = (fs::path(folder) / studyOutputNames[table]).string();
        if (namesOneFile(report, input))
            return Failure{FailureKind::Input, report + " is also " + input + "; the report is not written."};
    }
    Outcome<StudyFigures> figures = readStudyFigures(folder);
    if (!figures) return figures.failure();
    const Outcome<std::string> html = charts::studyReportHtml(*figures, {options.panel, options.colour, options.rank});
    if (!html) return html.failure();
    if (!replaceFileContents(report, *html))
        return Failure{FailureKind::Output, "The report " + report + " could not be written."};
    return {};
}

// The paired figures of two runs replayed from their records, as `compare` makes them, and whether
// both replays were whole; refused when a run has no record of its own or an input it read has
// changed since.
Outcome<std::pair<charts::PairedFigures, bool>> replayedFigures(const std::vector<charts::RunTables>& runs) {
    std::vector<PairedRunSpec> specs;
    for (const charts::RunTables& run : runs) {
        const std::string which = "Run " + run.label + " (" + run.resultsFile + ")";
        if (!run.record) {
            const std::string why = !run.recordNote.empty() ? run.recordNote
                                    : run.recordFile.empty()
                                        ? "there is no " + runRecordFileBeside(run.resultsFile) + "."
                                        : "its record is not used.";
            return Failure{FailureKind::Input, which + " cannot be replayed: " + why};
        }
        if (const std::string refusal = replayInputRefusal(*run.record); !refusal.empty())
            return Failure{FailureKind::Input, which + " cannot be replayed: " + refusal};
        specs.push_back({run.record->settings, run.record->seed, run.label});
    }
    const PairedReplay replay = replayPairedRuns(specs[0], specs[1], false, defaultThreadCount());
    if (!replay.comparison) return replay.comparison.failure();
    return std::pair{charts::pairedFigures(*replay.comparison), replay.whole};
}

}  // namespace

Status runReportCommand(const ReportOptions& options) {
    const auto said = [](Failure failure) {
        std::cerr << "quillon-sim report: " << failure.message << '\n';
        return failure;
    };
    const auto usage = [&](const std::string& text) { return said({FailureKind::Usage, text}); };
    // Said before anything else: one path is also how a study folder is named.
    if (options.paired && options.results.size() != 2)
        return usage("--paired compares two runs; " + std::to_string(options.results.size()) +
                     " results tables were given.");
    const bool studyOptions = !options.panel.empty() || !options.colour.empty() || !options.rank.empty();
    if (options.results.size() == 1 && isStudyFolder(options.results[0])) {
        if (!options.out.empty() || !options.svgFolder.empty() || !options.exposure.empty() ||
            !options.stopping.empty() || !options.labels.empty() || !options.confusion.empty() ||
            !options.confusionLengths.empty() || options.overUsed != charts::defaultOverUsedRate)
            return usage("a study folder's report goes to its " + std::string(studyOutputNames[4]) +
                         "; --out, --svg, --exposure, --stopping, --confusion, --label and --over-used are for results "
                         "tables.");
        const Status made = remakeStudyReport(options, options.results[0]);
        return made ? made : said(made.failure());
    }
    if (options.results.size() == 1 && fs::is_directory(options.results[0]))
        return said({FailureKind::Input, options.results[0] + " is a folder but no study's output folder: it lacks " +
                                             std::string(studyOutputNames[2]) + " or " +
                                             std::string(studyOutputNames[3]) + "."});
    if (studyOptions) return usage("--panel, --colour and --rank are for a study's output folder.");
    // The over-used items are listed in the HTML report only.
    if (options.overUsed != charts::defaultOverUsedRate && options.out.empty())
        return usage("--over-used sets the report's list of over-used items; name the report with --out.");
    if (options.out.empty() && options.svgFolder.empty())
        return usage("name the report with --out or a folder with --svg.");
    if (options.exposure.size() > options.results.size()) return usage("more --exposure tables than results tables.");
    if (options.stopping.size() > options.results.size()) return usage("more --stopping tables than results tables.");
    if (options.labels.size() > options.results.size()) return usage("more --label names than results tables.");
    if (options.confusion.size() > options.results.size()) return usage("more --confusion tables than results tables.");
    if (!options.confusionLengths.empty() && options.confusion.empty())
        return usage("--confusion-lengths needs a --confusion table.");
    if (options.paired && options.out.empty())
        return usage("the paired section is in the HTML report; name it with --out.");

    std::vector<charts::RunTables> runs;
    for (std::size_t i = 0; i < options.results.size(); ++i) {
        const auto nth = [i](const std::vector<std::string>& list) { return i < list.size() ? list[i] : ""; };
        const charts::RunFiles files{options.results[i], nth(options.exposure), nth(options.labels),
                                     nth(options.stopping), nth(options.confusion)};
        Outcome<charts::RunTables> run = charts::loadRunTables(files);
        if (!run) return said(run.failure());
        runs.push_back(std::move(*run));
    }
    std::optional<charts::PairedFigures> paired;
    bool replaysWhole = true;
    if (options.paired) {
        if (runs[0].label == runs[1].label)
            return usage("the two runs are both named " + runs[0].label + "; name them apart with --label.");
        Outcome<std::pair<charts::PairedFigures, bool>> replayed = replayedFigures(runs);
        if (!replayed) return said(replayed.failure());
        paired = std::move(replayed->first);
        replaysWhole = replayed->second;
    }
    if (!options.out.empty()) {
        if (const Status written = charts::writeReport(options.out, runs, options.confusionLengths, options.overUsed,
                                                       paired ? &*paired : nullptr);
            !written)
            return said(written.failure());
    }
    if (!options.svgFolder.empty()) {
        if (const Status written = charts::writeChartFiles(options.svgFolder, runs, options.confusionLengths); !written)
            return said(written.failure());
    }
    // As compare does: the report is there, but a replay that fell short is not success.
    if (!replaysWhole)
        return said({FailureKind::Input,
                     "the report is written, but a replay showed a message or took fewer tests "
                     "than expected."});
    return {};
}

Status writeRunReport(const RunSettings& settings, const std::string& reportPath, const std::string& stoppingFile,
                      const std::string& confusionFile) {
    Outcome<charts::RunTables> run = charts::loadRunOfSettings(settings, stoppingFile, confusionFile);
    const Status written = run ? charts::writeReport(reportPath, {*run}) : Status(run.failure());
    if (!written) std::cerr << "quillon-sim: no report: " << written.failure().message << '\n';
    return written;
}

}  // namespace quillon::cli
