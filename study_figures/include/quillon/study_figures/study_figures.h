#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillon/engine/run_statistics.h"
#include "quillon/outcome/outcome.h"
#include "quillon/study_figures/figure_summary.h"
#include "quillon/study_figures/run_outcomes.h"

namespace quillon {

/// The measures of the study's curves by test length, in the results table's order after its
/// length: MAP accurate, false positive, false negative and mean probability, SPRT decided,
/// accurate, false positive and false negative, then the Bayes rule's four.
inline constexpr std::array<std::string_view, 12> lengthMeasureNames = {
    "map_accurate",   "map_false_pos",  "map_false_neg", "map_mean_prob", "sprt_decided", "sprt_accurate",
    "sprt_false_pos", "sprt_false_neg", "br_accurate",   "br_false_pos",  "br_false_neg", "br_mean_prob"};

/// The files a study writes into its output folder, in the order it writes them.
inline constexpr std::array<std::string_view, 5> studyOutputNames = {
    "study_results.csv", "study_outcomes.csv", "study_summary.csv", "study_conditions.csv", "study_report.html"};

/// The columns of each study table after `condition` and the factors, in `studyOutputNames`'
/// order (the report has none): the one definition the writers and every reader check against.
const std::array<std::vector<std::string>, 4>& studyTableColumns();

/// A varied factor as the tables name it: the setting's name in snake_case, and whether every
/// level is a number (the packages then give the column as numbers).
struct FigureFactor {
    std::string name;
    bool numeric = false;
};

/// The factors of a study's exposure control and its target rate as the tables name them.
inline constexpr std::string_view exposureControlColumn = "exposure_control";
inline constexpr std::string_view maxExposureColumn = "max_exposure";

/// The factor of a study's calibration sample sizes as the tables name it, and its level for the
/// true pool (the pool the examinees answer by), which the sizes are compared to.
inline constexpr std::string_view calibrationFactorColumn = "calibration_examinees";
inline constexpr std::string_view truePoolLevel = "true pool";

/// One length of one condition's curves, summarised over the replications.
struct LengthFigures {
    std::int32_t length = 0;
    std::int64_t replications = 0;  // replications whose tests reached this length
    std::array<FigureSummary, lengthMeasureNames.size()> measures;
};

/// One outcome of one condition summarised over the replications, and its paired difference to
/// the condition's reference (missing everywhere for the reference itself).
struct OutcomeFigures {
    OutcomeKey key;
    FigureSummary summary;
    FigureSummary difference;
};

/// One condition's figures: its levels (one per factor, as the tables write them: numbers in
/// their shortest exact form, texts as written), its curves and its outcomes.
struct ConditionFigures {
    std::int64_t number = 0;     // 1-based
    std::int64_t reference = 0;  // the 1-based condition its differences are taken to
    std::vector<std::string> levels;
    std::vector<LengthFigures> lengths;
    std::vector<OutcomeFigures> outcomes;
    // The target maximum exposure rate R of a condition run under exposure control; none for an
    // uncontrolled one, or when the tables read back do not tell.
    std::optional<double> exposureTarget = std::nullopt;
};

/// A finished study's figures: everything its summary tables hold and its report draws.
struct StudyFigures {
    std::string title;
    std::int32_t replications = 0;
    std::vector<FigureFactor> factors;
    std::vector<ConditionFigures> conditions;  // in ascending number
};

/// One run of a study as its figures need it: the replay's exact statistics.
struct StudyRunStatistics {
    std::int32_t replication = 0;  // 1-based
    const RunStatistics* statistics = nullptr;
};

/// Builds the study's figures and per-replication tables one condition at a time, so that only
/// one condition's runs are held at once; each run's outcomes (a few numbers) are kept for the
/// paired differences.
class StudyFiguresBuilder {
public:
    /// `referenceOf[c]` is the 0-based condition that condition c's differences are taken to.
    StudyFiguresBuilder(std::string title, std::vector<FigureFactor> factors, std::int32_t replications,
                        std::vector<std::size_t> referenceOf);

    /// Adds the next condition (conditions come in ascending order) with its levels as the
    /// tables write them, its replications' statistics in replication order and, when it ran
    /// under exposure control, its target rate.
    void addCondition(const std::vector<std::string>& levels, const std::vector<StudyRunStatistics>& runs,
                      std::optional<double> exposureTarget = std::nullopt);

    /// The per-replication tables of the conditions added so far: study_results.csv (per
    /// length) and study_outcomes.csv.
    const std::string& resultsText() const { return results_; }
    const std::string& outcomesText() const { return outcomes_; }

    /// The figures, once every condition is added.
    StudyFigures figures() const;

private:
    std::string title_;
    std::vector<FigureFactor> factors_;
    std::int32_t replications_ = 0;
    std::vector<std::size_t> referenceOf_;
    std::vector<ConditionFigures> conditions_;
    // [condition][run]: each run's outcomes and its replication, for the paired differences.
    std::vector<std::vector<std::pair<std::int32_t, std::vector<RunOutcome>>>> runOutcomes_;
    std::string results_, outcomes_;
};

/// study_summary.csv: one row per condition and length, each measure's n, mean, sd, 95 %
/// interval and pooled share.
std::string studySummaryText(const StudyFigures& figures);

/// study_conditions.csv: one row per condition and outcome, its summary and its paired
/// difference to the reference.
std::string studyConditionsText(const StudyFigures& figures);

/// Reads a study's figures back from the texts of its summary and conditions tables, checking
/// every field; an Input failure names the file and the line. Numbers are written in their
/// shortest exact form, so the figures read back are the figures written. The tables hold a
/// condition's exposure target only when both the control and R are factors of the study.
Outcome<StudyFigures> parseStudyFigures(std::string_view summaryText, std::string_view conditionsText,
                                        const std::string& summaryName, const std::string& conditionsName);

/// Reads a finished study's figures from its output folder, titled by the folder's name without
/// a trailing "_output" (the name a study gives its default folder); an Input failure when a
/// table is missing or not one the study wrote.
Outcome<StudyFigures> readStudyFigures(const std::string& outputFolder);

/// A factor's name as the tables and the packages give it: the setting's name in snake_case.
std::string figureFactorName(const std::string& settingName);

/// How a condition is named in legends and tables: "method=Shannon, max_length=40", or
/// "condition 1" without factors.
std::string conditionLabel(const StudyFigures& figures, const ConditionFigures& condition);

/// The outcome's label in the report: "SPRT ATL", "Posterior ≥ .95 PCC", "first length MAP ≥ .90",
/// "maximum exposure rate".
std::string outcomeLabel(const OutcomeKey& key);

}  // namespace quillon
