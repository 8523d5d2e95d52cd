#pragma once

#include <string>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "quillon/outcome/outcome.h"
#include "quillon/study_figures/study_figures.h"

namespace quillon::charts {

/// How the study report arranges its charts and its table; an empty field takes the default.
struct StudyReportOptions {
    std::string panelFactor;   // one panel per level (default: the factor with the fewest levels)
    std::string colourFactor;  // one colour per level on the whole page (default: the next factor)
    std::string rankOutcome;   // the table's order, as rankChoices names it (default: SPRT PCC)
};

/// One figure of the report: the same chart for each panel, on shared axes.
struct StudyChartSet {
    std::string id;     // file-name stem
    std::string title;  // of the figure; each panel's title names its level
    std::vector<Chart> panels;
    std::vector<std::string> notes;  // shown once under the panels
};

/// A figure of panels side by side (they wrap on a narrow page; the page's style gives `.panels`
/// its flex layout), its caption when there are several, and its notes; one panel is drawn full size.
std::string figureHtml(const StudyChartSet& set, bool onePanel);

/// The report's charts: the curves by test length, then the trade-off of each stopping rule's
/// length and accuracy over the fixed-length curve; a Usage failure for a factor that is none of
/// the study's, naming them.
Outcome<std::vector<StudyChartSet>> buildStudyCharts(const StudyFigures& figures,
                                                     const StudyReportOptions& options = {});

/// The names the conditions table can be ranked by, one per outcome of the study in its order:
/// "sprt_pcc", "posterior_0.95_atl", "map_first_length_90", "max_exposure_rate".
std::vector<std::string> rankChoices(const StudyFigures& figures);

/// The self-contained HTML report of a study's figures: small multiples of the curves with
/// their 95 % intervals, the trade-off chart and the conditions ranked with their paired
/// differences. A Usage failure for an unknown factor or outcome, naming the choices.
Outcome<std::string> studyReportHtml(const StudyFigures& figures, const StudyReportOptions& options = {});

}  // namespace quillon::charts
