#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "quillon/charts/chart_scene.h"
#include "quillon/charts/pool_diagnostics.h"
#include "quillon/engine/run_settings.h"
#include "quillon/outcome/outcome.h"

namespace quillon::charts {

struct PairedFigures;

/// The files of one run as named on a command line; an empty label means the results file's name.
struct RunFiles {
    std::string results;
    std::string exposure;  // empty: none
    std::string label;
    std::string stopping;        // empty: none
    std::string confusion = {};  // empty: none (defaulted, so four-field lists stay whole)
};

/// Reads the tables of one run; an Input failure names the file and line it refuses.
Outcome<RunTables> loadRunTables(const RunFiles& files);

/// The settings of a run as the report lists them: name and value.
std::vector<std::pair<std::string, std::string>> settingsSummary(const RunSettings& settings);

/// Reads the tables a completed run wrote under `settings` (and its stopping and confusion tables
/// when it wrote them) and adds the settings; an Input failure for tables it refuses. An exposure table that
/// cannot be read or does not match is left out.
Outcome<RunTables> loadRunOfSettings(const RunSettings& settings, const std::string& stoppingFile = "",
                                     const std::string& confusionFile = "");

/// Text made safe for XML and HTML: markup characters escaped, bytes that are not UTF-8 shown as
/// U+FFFD and control characters dropped, since file names are arbitrary bytes.
std::string escapeMarkup(std::string_view text);

/// A table cell (`tag` td or th) holding `text`, escaped.
std::string htmlCell(const std::string& text, const char* tag = "td");

/// The start of a report page, up to its heading `title`: one look for every Quillon report;
/// `extraStyle` holds rules a page adds to it (CSS).
std::string htmlPageStart(const std::string& title, const std::string& extraStyle = "");

/// The end of a report page: a footer line naming the program and its version, so that a
/// report says what made it.
std::string htmlPageEnd();

/// The <title> and <desc> children that name an SVG for screen readers, escaped; an empty part is
/// left out.
std::string svgTitleAndDesc(const std::string& title, const std::string& description);

/// The scene as an <svg> element (no XML declaration), for inline use.
std::string svgElement(const Scene& scene);

/// The scene as a standalone SVG file.
std::string svgDocument(const Scene& scene);

/// The self-contained HTML report: key numbers and the accuracy chart, summary tables, the
/// confusion matrices of the runs that have their table (at `confusionLengths`, see
/// confusionLengths), the pool's over-used (rate above `overUsedRate`) and never-used items,
/// every other chart, with `paired` the paired comparison of the two runs, and last the runs'
/// files and settings when known.
std::string reportHtml(const std::vector<RunTables>& runs, const std::vector<std::int32_t>& confusionLengths = {},
                       double overUsedRate = defaultOverUsedRate, const PairedFigures* paired = nullptr);

/// Writes the report (reportHtml) to `path` as the tables are written (whole or not at all); an
/// Output failure when it cannot.
Status writeReport(const std::string& path, const std::vector<RunTables>& runs,
                   const std::vector<std::int32_t>& confusionLengths = {}, double overUsedRate = defaultOverUsedRate,
                   const PairedFigures* paired = nullptr);

/// Writes each chart to `folder`/ID.svg, creating the folder, and each confusion heat map to
/// confusion-LENGTH.svg (confusion-RUN-LENGTH.svg, RUN from 1, with several runs); an Output
/// failure when it cannot.
Status writeChartFiles(const std::string& folder, const std::vector<RunTables>& runs,
                       const std::vector<std::int32_t>& confusionLengths = {});

}  // namespace quillon::charts
