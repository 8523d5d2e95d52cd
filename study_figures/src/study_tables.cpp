// The study's summary tables, written from its figures and read back into the same figures.
#include <charconv>
#include <cmath>
#include <filesystem>

#include "quillon/engine/exposure_control.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/study_figures/study_figures.h"
#include "quillon/text/csv_fields.h"

namespace quillon {

namespace {

constexpr std::string_view summaryFields[] = {"_n", "_mean", "_sd", "_ci_low", "_ci_high", "_pooled"};

}  // namespace

const std::array<std::vector<std::string>, 4>& studyTableColumns() {
    static const std::array<std::vector<std::string>, 4> columns = [] {
        std::vector<std::string> results{"replication", "length"}, summary{"length", "replications"};
        for (std::string_view measure : lengthMeasureNames) {
            results.emplace_back(measure);
            for (std::string_view field : summaryFields) summary.push_back(std::string(measure) + std::string(field));
        }
        return std::array<std::vector<std::string>, 4>{
            results,
            {"replication", "rule", "threshold", "outcome", "value"},
            summary,
            {"rule", "threshold", "outcome", "n", "mean", "sd", "ci_low", "ci_high", "pooled", "reference",
             "difference_n", "difference_mean", "difference_sd", "difference_ci_low", "difference_ci_high"}};
    }();
    return columns;
}

namespace {

std::string numberField(const std::optional<double>& value) { return value ? formatRoundTrip(*value) : std::string(); }

std::string summaryFieldsText(const FigureSummary& s, bool pooled) {
    std::string text = std::to_string(s.n) + "," + numberField(s.mean) + "," + numberField(s.sd) + "," +
                       numberField(s.ciLow) + "," + numberField(s.ciHigh);
    return pooled ? text + "," + numberField(s.pooled) : text;
}

std::string headerStart(const StudyFigures& figures) {
    std::string text = "condition";
    for (const FigureFactor& factor : figures.factors) text += "," + quotedCsvField(factor.name);
    return text;
}

std::string rowStart(const ConditionFigures& condition) {
    std::string text = std::to_string(condition.number);
    for (const std::string& level : condition.levels) text += "," + quotedCsvField(level);
    return text;
}

// Reads one table's records; the failure names the file and the line.
class TableReader {
public:
    TableReader(std::string_view text, std::string name) : name_(std::move(name)) {
        if (std::optional<std::vector<std::vector<std::string>>> records = quotedCsvRecords(text))
            records_ = std::move(*records);
        else
            problem_ = name_ + " is not a comma-separated table (a quote is not closed).";
    }
    const std::string& problem() const { return problem_; }
    const std::vector<std::vector<std::string>>& records() const { return records_; }

    Failure refused(std::size_t record, const std::string& why) const {
        return Failure{FailureKind::Input, name_ + " line " + std::to_string(record + 1) + ": " + why};
    }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::string problem_;
    std::vector<std::vector<std::string>> records_;
};

bool readWhole(const std::string& text, std::int64_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

bool readNumberField(const std::string& text, std::optional<double>& value) {
    if (text.empty()) {
        value.reset();
        return true;
    }
    double number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(number)) return false;
    value = number;
    return true;
}

// Reads n, mean, sd, interval and (when `pooled`) the pooled share from fields[at...].
bool readSummary(const std::vector<std::string>& fields, std::size_t at, bool pooled, FigureSummary& s) {
    return readWhole(fields[at], s.n) && s.n >= 0 && readNumberField(fields[at + 1], s.mean) &&
           readNumberField(fields[at + 2], s.sd) && readNumberField(fields[at + 3], s.ciLow) &&
           readNumberField(fields[at + 4], s.ciHigh) && (!pooled || readNumberField(fields[at + 5], s.pooled));
}

bool isNumber(const std::string& text) {
    std::optional<double> value;
    return !text.empty() && readNumberField(text, value);
}

}  // namespace

std::string studySummaryText(const StudyFigures& figures) {
    std::string text = headerStart(figures);
    for (const std::string& name : studyTableColumns()[2]) text += "," + name;
    text += "\r\n";
    for (const ConditionFigures& condition : figures.conditions) {
        const std::string start = rowStart(condition);
        for (const LengthFigures& length : condition.lengths) {
            text += start + "," + std::to_string(length.length) + "," + std::to_string(length.replications);
            for (const FigureSummary& measure : length.measures) text += "," + summaryFieldsText(measure, true);
            text += "\r\n";
        }
    }
    return text;
}

std::string studyConditionsText(const StudyFigures& figures) {
    std::string text = headerStart(figures);
    for (const std::string& name : studyTableColumns()[3]) text += "," + name;
    text += "\r\n";
    for (const ConditionFigures& condition : figures.conditions) {
        const std::string start = rowStart(condition);
        for (const OutcomeFigures& outcome : condition.outcomes) {
            text += start + "," + outcome.key.rule + "," + numberField(outcome.key.threshold) + "," +
                    outcomeName(outcome.key.kind) + "," + summaryFieldsText(outcome.summary, true) + "," +
                    std::to_string(condition.reference) + "," + summaryFieldsText(outcome.difference, false) + "\r\n";
        }
    }
    return text;
}

Outcome<StudyFigures> parseStudyFigures(std::string_view summaryText, std::string_view conditionsText,
                                        const std::string& summaryName, const std::string& conditionsName) {
    const TableReader conditions(conditionsText, conditionsName), summary(summaryText, summaryName);
    for (const TableReader* table : {&conditions, &summary})
        if (!table->problem().empty()) return Failure{FailureKind::Input, table->problem()};
    const auto notStudyTable = [](const TableReader& table) {
        return Failure{FailureKind::Input, table.name() +
                                               " is not a table a study writes: its first line is not "
                                               "the header of study_conditions.csv or study_summary.csv."};
    };

    // The conditions table names the factors and every condition.
    StudyFigures figures;
    if (conditions.records().empty() || conditions.records()[0].empty() || conditions.records()[0][0] != "condition")
        return notStudyTable(conditions);
    const std::vector<std::string>& header = conditions.records()[0];
    const std::vector<std::string>& tail = studyTableColumns()[3];
    if (header.size() < 1 + tail.size()) return notStudyTable(conditions);
    const std::size_t factorCount = header.size() - 1 - tail.size();
    if (!std::equal(tail.begin(), tail.end(), header.begin() + static_cast<std::ptrdiff_t>(1 + factorCount)))
        return notStudyTable(conditions);
    for (std::size_t f = 0; f < factorCount; ++f) figures.factors.push_back({header[1 + f], true});

    for (std::size_t r = 1; r < conditions.records().size(); ++r) {
        const std::vector<std::string>& fields = conditions.records()[r];
        if (fields.size() != header.size())
            return conditions.refused(r, "has " + std::to_string(fields.size()) + " fields, the header " +
                                             std::to_string(header.size()) + ".");
        std::int64_t number = 0;
        if (!readWhole(fields[0], number) || number < 1) return conditions.refused(r, "the condition is no number.");
        const std::vector<std::string> levels(fields.begin() + 1,
                                              fields.begin() + 1 + static_cast<std::ptrdiff_t>(factorCount));
        if (figures.conditions.empty() || figures.conditions.back().number != number) {
            if (number != static_cast<std::int64_t>(figures.conditions.size()) + 1)
                return conditions.refused(r, "condition " + fields[0] + " is out of order.");
            ConditionFigures condition;
            condition.number = number;
            condition.levels = levels;
            figures.conditions.push_back(condition);
        } else if (figures.conditions.back().levels != levels) {
            return conditions.refused(r, "condition " + fields[0] + " has other levels than on its first line.");
        }
        ConditionFigures& condition = figures.conditions.back();
        const std::size_t at = 1 + factorCount;
        OutcomeFigures outcome;
        outcome.key.rule = fields[at];
        const std::optional<OutcomeKind> kind = outcomeKindNamed(fields[at + 2]);
        if (!kind) return conditions.refused(r, "\"" + fields[at + 2] + "\" is not an outcome a study reports.");
        outcome.key.kind = *kind;
        std::int64_t reference = 0;
        if (!readNumberField(fields[at + 1], outcome.key.threshold) ||
            !readSummary(fields, at + 3, true, outcome.summary) || !readWhole(fields[at + 9], reference) ||
            reference < 1 || !readSummary(fields, at + 10, false, outcome.difference))
            return conditions.refused(r, "a figure is not a number.");
        if (condition.outcomes.empty())
            condition.reference = reference;
        else if (condition.reference != reference)
            return conditions.refused(r, "condition " + fields[0] + " names two references.");
        condition.outcomes.push_back(outcome);
    }
    for (const ConditionFigures& condition : figures.conditions)
        if (condition.reference > static_cast<std::int64_t>(figures.conditions.size()))
            return Failure{FailureKind::Input, conditions.name() + ": condition " + std::to_string(condition.number) +
                                                   " names a reference the table does not have."};

    // The summary: the same factors, each condition's lengths in order.
    if (summary.records().empty()) return notStudyTable(summary);
    std::vector<std::string> expected{"condition"};
    for (const FigureFactor& factor : figures.factors) expected.push_back(factor.name);
    for (const std::string& name : studyTableColumns()[2]) expected.push_back(name);
    if (summary.records()[0] != expected) return notStudyTable(summary);
    for (std::size_t r = 1; r < summary.records().size(); ++r) {
        const std::vector<std::string>& fields = summary.records()[r];
        if (fields.size() != expected.size())
            return summary.refused(r, "has " + std::to_string(fields.size()) + " fields, the header " +
                                          std::to_string(expected.size()) + ".");
        std::int64_t number = 0;
        if (!readWhole(fields[0], number) || number < 1 ||
            number > static_cast<std::int64_t>(figures.conditions.size()))
            return summary.refused(r, "condition " + fields[0] + " is not one of " + conditions.name() + ".");
        ConditionFigures& condition = figures.conditions[static_cast<std::size_t>(number - 1)];
        const std::vector<std::string> levels(fields.begin() + 1,
                                              fields.begin() + 1 + static_cast<std::ptrdiff_t>(factorCount));
        if (levels != condition.levels)
            return summary.refused(r,
                                   "condition " + fields[0] + " has other levels than in " + conditions.name() + ".");
        LengthFigures length;
        std::int64_t lengthNumber = 0;
        const std::size_t at = 1 + factorCount;
        if (!readWhole(fields[at], lengthNumber) ||
            lengthNumber != static_cast<std::int64_t>(condition.lengths.size()) + 1)
            return summary.refused(r, "the length " + fields[at] + " does not follow the condition's last.");
        length.length = static_cast<std::int32_t>(lengthNumber);
        if (!readWhole(fields[at + 1], length.replications) || length.replications < 0)
            return summary.refused(r, "the replications are no number.");
        for (std::size_t m = 0; m < length.measures.size(); ++m)
            if (!readSummary(fields, at + 2 + m * std::size(summaryFields), true, length.measures[m]))
                return summary.refused(r, "a figure is not a number.");
        figures.replications = std::max(figures.replications, static_cast<std::int32_t>(length.replications));
        condition.lengths.push_back(length);
    }
    for (std::size_t f = 0; f < figures.factors.size(); ++f)
        for (const ConditionFigures& condition : figures.conditions)
            figures.factors[f].numeric = figures.factors[f].numeric && isNumber(condition.levels[f]);
    // A fixed control or R is in no table: the target is only known where both are factors.
    std::optional<std::size_t> control, target;
    for (std::size_t f = 0; f < figures.factors.size(); ++f) {
        if (figures.factors[f].name == exposureControlColumn) control = f;
        if (figures.factors[f].name == maxExposureColumn && figures.factors[f].numeric) target = f;
    }
    if (control && target)
        for (ConditionFigures& condition : figures.conditions)
            if (condition.levels[*control] != exposureControlName(ExposureControl::None))
                readNumberField(condition.levels[*target], condition.exposureTarget);
    return figures;
}

Outcome<StudyFigures> readStudyFigures(const std::string& outputFolder) {
    namespace fs = std::filesystem;
    const std::string summaryPath = (fs::path(outputFolder) / std::string(studyOutputNames[2])).string();
    const std::string conditionsPath = (fs::path(outputFolder) / std::string(studyOutputNames[3])).string();
    const std::optional<std::string> summary = readWholeFile(summaryPath);
    const std::optional<std::string> conditions = readWholeFile(conditionsPath);
    if (!summary || !conditions)
        return Failure{FailureKind::Input, (summary ? conditionsPath : summaryPath) + " cannot be read: is " +
                                               outputFolder + " a finished study's folder?"};
    Outcome<StudyFigures> figures = parseStudyFigures(*summary, *conditions, summaryPath, conditionsPath);
    if (!figures) return figures;
    // The folder's own name, also when it is given as "." or with a trailing slash.
    std::error_code error;
    fs::path folder = fs::absolute(outputFolder, error).lexically_normal();
    if (folder.filename().empty()) folder = folder.parent_path();
    std::string title = folder.filename().string();
    constexpr std::string_view suffix = "_output";
    if (title.size() > suffix.size() && title.compare(title.size() - suffix.size(), suffix.size(), suffix) == 0)
        title.resize(title.size() - suffix.size());
    figures->title = title;
    return figures;
}

}  // namespace quillon
