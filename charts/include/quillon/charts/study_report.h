#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/charts/chart_model.h"
#include "quillon/charts/table_reader.h"
#include "quillon/outcome/outcome.h"

namespace quillon::charts {

/// The measures a study summary gives for each condition and length: those of the results
/// table after its length, in resultsColumnNames order.
inline constexpr std::size_t studyMeasureCount = resultsColumnNames.size() - 1;

/// A measure's mean and standard deviation over the replications; no sd with one replication,
/// neither when the tables lack the measure (Bayes risk for other than two groups).
struct StudyValue {
    std::optional<double> mean, sd;
};

/// One line of a study summary: a condition at one test length.
struct StudyLength {
    std::int32_t length = 0;
    std::int64_t replications = 0;
    std::array<StudyValue, studyMeasureCount> values;  // [column in resultsColumnNames - 1]
};

/// One condition of a study: its factor values and its lines in ascending length.
struct StudyCondition {
    std::int64_t number = 0;
    std::vector<std::string> factorValues;  // one per factor name
    std::vector<StudyLength> lengths;
};

/// A study summary read back: the varied factors and the conditions in ascending number.
struct StudySummary {
    std::vector<std::string> factorNames;
    std::vector<StudyCondition> conditions;
};

/// Reads a study summary CSV (header `condition,<factors...>,length,replications,` then each
/// measure's `_mean,_sd`); anything else is refused with the line. `fileName` names the file.
Outcome<StudySummary> parseStudySummary(std::string_view text, const std::string& fileName);

/// How a condition is named in legends and tables: "method=Shannon, max-length=40".
std::string conditionLabel(const StudySummary& summary, const StudyCondition& condition);

/// The charts of a study by test length: one curve per condition (the mean) in a band of one
/// standard deviation each side.
std::vector<Chart> buildStudyCharts(const StudySummary& summary);

/// The self-contained HTML report of a study summary that has been read.
std::string studyReportHtml(const StudySummary& summary, const std::string& title);

/// The refusal of a malformed summary text, naming the line.
class StudySummaryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The self-contained HTML report of a study summary's text; throws StudySummaryError when the
/// text is not a study summary, since no page can be made of it.
std::string studyReportHtml(std::string_view summaryCsvText, const std::string& title);

/// Reads the summary at `summaryPath` and writes its report to `reportPath`, whole or not at
/// all; an Input failure for a summary it cannot read, an Output failure for a report it cannot write.
Status writeStudyReport(const std::string& summaryPath, const std::string& reportPath, const std::string& title);

}  // namespace quillon::charts

#include "quillon/study_figures/study_figures.h"

namespace quillon::charts {

/// What the study report shows: the factor whose levels get a panel each, the factor whose
/// levels get a colour each, and the outcome the conditions are ranked by; empty: the default.
struct StudyReportOptions {
    std::string panelFactor, colourFactor, rankOutcome;
};

/// The self-contained HTML report of a study's figures; a Usage failure for an option that names
/// no factor or outcome of the study.
Outcome<std::string> studyReportHtml(const StudyFigures& figures, const StudyReportOptions& options = {});

}  // namespace quillon::charts
