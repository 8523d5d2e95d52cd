#include "quillon/charts/study_report.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>

#include "quillon/charts/chart_scene.h"
#include "quillon/charts/report.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"

namespace quillon::charts {
namespace {

constexpr std::size_t fixedColumns = 2;  // length and replications, between the factors and the measures

std::string measureName(std::size_t measure) { return std::string(resultsColumnNames[measure + 1]); }

// The fields of one line: plain, or quoted with inner quotes doubled (a factor value such as a
// file name may hold a comma). Nothing when a quote is left open or text follows a closing one.
std::optional<std::vector<std::string>> csvFields(std::string_view line) {
    std::vector<std::string> fields(1);
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] == ',') {
            fields.emplace_back();
        } else if (line[at] == '"' && fields.back().empty() && (at == 0 || line[at - 1] == ',')) {
            for (++at;; ++at) {
                if (at >= line.size()) return std::nullopt;
                if (line[at] != '"') {
                    fields.back() += line[at];
                } else if (at + 1 < line.size() && line[at + 1] == '"') {
                    fields.back() += '"';
                    ++at;
                } else {
                    break;
                }
            }
            if (at + 1 < line.size() && line[at + 1] != ',') return std::nullopt;
        } else {
            fields.back() += line[at];
        }
    }
    return fields;
}

std::optional<std::int64_t> wholeFrom1(const std::string& field) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || error != std::errc() || end != field.data() + field.size() || value < 1) return std::nullopt;
    return value;
}

std::optional<double> finiteNumber(const std::string& field) {
    double value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (field.empty() || error != std::errc() || end != field.data() + field.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

template <class Table>
Outcome<Table> refused(std::string problem) {
    return Failure{FailureKind::Input, std::move(problem)};
}

std::string quoted(const std::string& field) { return "\"" + field + "\""; }

std::string headerProblem(const std::vector<std::string>& fields) {
    if (fields[0] != "condition") return "the header must start with condition, not " + quoted(fields[0]) + ".";
    const auto length = std::find(fields.begin() + 1, fields.end(), "length");
    if (length == fields.end()) return "the header has no length column.";
    for (auto name = fields.begin() + 1; name != length; ++name)
        if (name->empty()) return "factor column " + std::to_string(name - fields.begin() + 1) + " has no name.";
    std::vector<std::string> expected = {"length", "replications"};
    for (std::size_t m = 0; m < studyMeasureCount; ++m) {
        expected.push_back(measureName(m) + "_mean");
        expected.push_back(measureName(m) + "_sd");
    }
    const auto first = static_cast<std::size_t>(length - fields.begin());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        if (first + k >= fields.size()) return "the header ends before its " + expected[k] + " column.";
        if (fields[first + k] != expected[k])
            return "column " + std::to_string(first + k + 1) + " must be " + expected[k] + ", not " +
                   quoted(fields[first + k]) + ".";
    }
    if (fields.size() > first + expected.size())
        return "the header has columns after " + expected.back() + ", from " + quoted(fields[first + expected.size()]) +
               ".";
    return {};
}

// A measure's line in a chart: the condition's means where its rule (the column of the rule's
// accurate share) classified any test, in a band of one sd each side kept within 0 to 100%, as
// no share can leave that range.
Series conditionSeries(const StudySummary& summary, std::size_t c, std::size_t measure, std::size_t rule) {
    const StudyCondition& condition = summary.conditions[c];
    const int dashes = static_cast<int>(dashPattern().size());
    // Colours tell the first seven conditions apart; beyond them the dash changes as well.
    Series series{
        conditionLabel(summary, condition), SeriesStyle{runColour(c), static_cast<int>(c / 7) % dashes, false}, {}};
    for (const StudyLength& line : condition.lengths) {
        const StudyValue& value = line.values[measure];
        const auto share = [&](std::size_t m) { return line.values[m].mean.value_or(0.0); };
        if (!value.mean || !hadCases(share(rule), share(rule + 1), share(rule + 2))) {
            series.points.emplace_back();
            series.band.emplace_back();
            continue;
        }
        const double mean = *value.mean;
        series.points.emplace_back(std::pair{static_cast<double>(line.length), mean});
        if (value.sd) {
            series.band.emplace_back(std::pair{std::max(mean - *value.sd, std::min(0.0, mean)),
                                               std::min(mean + *value.sd, std::max(1.0, mean))});
        } else {
            series.band.emplace_back();
        }
    }
    return series;
}

std::string valueText(const StudyValue& value) {
    if (!value.mean) return "\xE2\x80\x93";
    return percentText(*value.mean, 1) + (value.sd ? " \xC2\xB1 " + percentText(*value.sd, 1) : std::string());
}

// The condition's line as the charts draw it, colour and dash, to find it in their legends.
std::string swatch(const Series& series) {
    Scene scene{28, 12, {}};
    scene.shapes.push_back(
        LineShape{2, 6, 26, 6, palette()[static_cast<std::size_t>(series.style.colour)], 2.5, series.style.dash});
    return svgElement(scene);
}

std::string numberCell(const std::string& text) {
    return "<td style=\"white-space:nowrap\">" + escapeMarkup(text) + "</td>";
}

}  // namespace

Outcome<StudySummary> parseStudySummary(std::string_view text, const std::string& fileName) {
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    const auto where = [&](std::size_t index) { return fileName + ", line " + std::to_string(index + 1) + ": "; };
    if (lines.empty() || lines[0].empty()) return refused<StudySummary>(where(0) + "the header is missing.");
    const std::optional<std::vector<std::string>> header = csvFields(lines[0]);
    if (!header) return refused<StudySummary>(where(0) + "a quoted field is not closed.");
    if (const std::string problem = headerProblem(*header); !problem.empty())
        return refused<StudySummary>(where(0) + problem);

    StudySummary summary;
    const std::size_t lengthColumn =
        static_cast<std::size_t>(std::find(header->begin() + 1, header->end(), "length") - header->begin());
    summary.factorNames.assign(header->begin() + 1, header->begin() + static_cast<std::ptrdiff_t>(lengthColumn));
    std::map<std::int64_t, StudyCondition> conditions;
    std::map<std::int64_t, std::size_t> firstLine;                            // of each condition
    std::map<std::pair<std::int64_t, std::int32_t>, std::size_t> lengthLine;  // of each condition's length
    for (std::size_t index = 1; index < lines.size(); ++index) {
        if (lines[index].empty()) return refused<StudySummary>(where(index) + "the line is empty.");
        const std::optional<std::vector<std::string>> fields = csvFields(lines[index]);
        if (!fields) return refused<StudySummary>(where(index) + "a quoted field is not closed.");
        if (fields->size() != header->size())
            return refused<StudySummary>(where(index) + "it has " + std::to_string(fields->size()) +
                                         " fields, the header " + std::to_string(header->size()) + ".");
        const auto number = wholeFrom1((*fields)[0]);
        if (!number)
            return refused<StudySummary>(where(index) + "the condition must be a whole number from 1, not " +
                                         quoted((*fields)[0]) + ".");
        const auto length = wholeFrom1((*fields)[lengthColumn]);
        if (!length || *length > INT32_MAX)
            return refused<StudySummary>(where(index) + "the length must be a whole number from 1, not " +
                                         quoted((*fields)[lengthColumn]) + ".");
        const auto replications = wholeFrom1((*fields)[lengthColumn + 1]);
        if (!replications)
            return refused<StudySummary>(where(index) + "the replications must be a whole number from 1, not " +
                                         quoted((*fields)[lengthColumn + 1]) + ".");
        StudyLength line;
        line.length = static_cast<std::int32_t>(*length);
        line.replications = *replications;
        for (std::size_t m = 0; m < studyMeasureCount; ++m) {
            const std::string& mean = (*fields)[lengthColumn + fixedColumns + 2 * m];
            const std::string& sd = (*fields)[lengthColumn + fixedColumns + 2 * m + 1];
            StudyValue& value = line.values[m];
            if (!mean.empty() && !(value.mean = finiteNumber(mean)))
                return refused<StudySummary>(where(index) + measureName(m) + "_mean must be a number, not " +
                                             quoted(mean) + ".");
            if (sd.empty()) continue;
            if (!value.mean)
                return refused<StudySummary>(where(index) + measureName(m) + "_sd is given without " + measureName(m) +
                                             "_mean.");
            value.sd = finiteNumber(sd);
            if (!value.sd || *value.sd < 0)
                return refused<StudySummary>(where(index) + measureName(m) + "_sd must be a number from 0, not " +
                                             quoted(sd) + ".");
        }

        const std::vector<std::string> factorValues(fields->begin() + 1,
                                                    fields->begin() + static_cast<std::ptrdiff_t>(lengthColumn));
        const auto [known, isNew] = conditions.try_emplace(*number);
        StudyCondition& condition = known->second;
        if (isNew) {
            condition.number = *number;
            condition.factorValues = factorValues;
            firstLine[*number] = index;
        } else if (condition.factorValues != factorValues) {
            return refused<StudySummary>(where(index) + "condition " + std::to_string(*number) +
                                         " has other factor values than on line " +
                                         std::to_string(firstLine[*number] + 1) + ".");
        }
        const auto [seen, firstTime] = lengthLine.try_emplace({*number, line.length}, index);
        if (!firstTime)
            return refused<StudySummary>(where(index) + "condition " + std::to_string(*number) + " has length " +
                                         std::to_string(line.length) + " already on line " +
                                         std::to_string(seen->second + 1) + ".");
        condition.lengths.push_back(line);
    }
    for (auto& [number, condition] : conditions) {
        std::sort(condition.lengths.begin(), condition.lengths.end(),
                  [](const StudyLength& a, const StudyLength& b) { return a.length < b.length; });
        summary.conditions.push_back(std::move(condition));
    }
    return summary;
}

std::string conditionLabel(const StudySummary& summary, const StudyCondition& condition) {
    std::string label;
    for (std::size_t f = 0; f < summary.factorNames.size(); ++f)
        label += (f > 0 ? ", " : "") + summary.factorNames[f] + "=" + condition.factorValues[f];
    return label.empty() ? "condition " + std::to_string(condition.number) : label;
}

std::vector<Chart> buildStudyCharts(const StudySummary& summary) {
    struct Measure {
        const char* id;
        const char* title;
        const char* yTitle;
        std::string_view column;
        std::string_view rule;  // the accurate share of the rule that classed the tests
        bool fitToData;         // small shares get an axis that fits them
        bool onlyWhenPresent;
    };
    // The SPRT's decided share counts wherever MAP classed tests, as in the run report.
    const Measure measures[] = {
        {"map-accuracy", "MAP classification accuracy by test length", "Accurate classifications (%)", "map_accurate",
         "map_accurate", false, false},
        {"sprt-accuracy", "SPRT accuracy by test length", "Accurate (% of the tests it had decided)", "sprt_accurate",
         "sprt_accurate", false, false},
        {"sprt-decided", "Tests the SPRT had decided, by test length", "Decided (% of tests started)", "sprt_decided",
         "map_accurate", false, false},
        {"bayes-accuracy", "Bayes risk classification accuracy by test length", "Accurate classifications (%)",
         "br_accurate", "br_accurate", false, true},
        {"false-positives", "MAP false positives by test length", "False positives (% of tests)", "map_false_pos",
         "map_accurate", true, false},
        {"false-negatives", "MAP false negatives by test length", "False negatives (% of tests)", "map_false_neg",
         "map_accurate", true, false},
    };
    const auto columnOf = [](std::string_view name) {
        return static_cast<std::size_t>(std::find(resultsColumnNames.begin(), resultsColumnNames.end(), name) -
                                        resultsColumnNames.begin() - 1);
    };
    std::int32_t longest = 1;
    for (const StudyCondition& condition : summary.conditions)
        if (!condition.lengths.empty()) longest = std::max(longest, condition.lengths.back().length);

    std::vector<Chart> charts;
    for (const Measure& measure : measures) {
        Chart chart;
        chart.id = measure.id;
        chart.title = measure.title;
        double low = 1, high = 0;
        for (std::size_t c = 0; c < summary.conditions.size(); ++c) {
            Series series = conditionSeries(summary, c, columnOf(measure.column), columnOf(measure.rule));
            // A condition whose tables lack the measure, or whose rule never classed a test, has no line.
            if (std::none_of(series.points.begin(), series.points.end(), [](const auto& p) { return p.has_value(); }))
                continue;
            for (std::size_t i = 0; i < series.points.size(); ++i) {
                if (!series.points[i]) continue;
                low = std::min(low, series.points[i]->second);
                high = std::max(high, series.points[i]->second);
                if (series.band[i]) {
                    low = std::min(low, series.band[i]->first);
                    high = std::max(high, series.band[i]->second);
                }
            }
            chart.series.push_back(std::move(series));
        }
        if (measure.onlyWhenPresent && chart.series.empty()) continue;
        chart.x = niceAxis(0, longest, 8, true);
        chart.x.title = "Test length (items)";
        // Error shares are small: their axis fits them from 0. Accuracy axes start near the
        // lowest value, so that conditions a few points apart can be told apart.
        if (low > high) low = high = 0;
        chart.y = measure.fitToData ? percentAxis(std::min(low, 0.0), high, true) : percentAxisFromData(low, high);
        chart.y.title = measure.yTitle;
        // One line draws no legend: the note names its condition.
        if (chart.series.size() == 1 && summary.conditions.size() > 1)
            chart.notes.push_back("Only " + chart.series[0].name + " has this measure.");
        chart.notes.push_back(
            "Line: the mean over the replications; shaded: one standard deviation each side (within 0 to 100%).");
        if (measure.fitToData && measure.column == "map_false_pos")
            chart.notes.push_back(
                "False positive: classed in a higher group than the true one (Fail classed as Pass).");
        charts.push_back(std::move(chart));
    }
    return charts;
}

std::string studyReportHtml(const StudySummary& summary, const std::string& title) {
    std::string out = htmlPageStart(title);
    out += "<p class=\"note\">Classification accuracy of " + std::to_string(summary.conditions.size()) +
           (summary.conditions.size() == 1 ? " condition" : " conditions") +
           ": the mean and standard deviation over each condition's replications, read from the study "
           "summary.</p>\n";

    out += "<h2>Conditions</h2>\n";
    if (summary.conditions.empty())
        return out + "<p class=\"note\">The summary holds no condition.</p>\n</body>\n</html>\n";
    // Many factors make the table wider than the page: it scrolls rather than squeezing the numbers.
    out += "<div style=\"overflow-x:auto\">\n<table>\n<tr>" + htmlCell("Condition", "th");
    for (const std::string& name : summary.factorNames)
        out += "<th style=\"text-align:left\">" + escapeMarkup(name) + "</th>";
    out += htmlCell("Replications", "th") + htmlCell("Lengths", "th") + htmlCell("MAP accurate", "th") +
           htmlCell("SPRT decided", "th") + "</tr>\n";
    for (std::size_t c = 0; c < summary.conditions.size(); ++c) {
        const StudyCondition& condition = summary.conditions[c];
        out += "<tr><td style=\"white-space:nowrap\">" + swatch(conditionSeries(summary, c, 0, 0)) + " " +
               std::to_string(condition.number) + "</td>";
        for (const std::string& value : condition.factorValues)
            out += "<td style=\"text-align:left\">" + escapeMarkup(value) + "</td>";
        std::int64_t fewest = INT64_MAX, most = 0;
        for (const StudyLength& line : condition.lengths) {
            fewest = std::min(fewest, line.replications);
            most = std::max(most, line.replications);
        }
        const StudyLength& last = condition.lengths.back();
        out +=
            htmlCell(fewest == most ? std::to_string(most)
                                    : std::to_string(fewest) + "\xE2\x80\x93" + std::to_string(most)) +
            htmlCell(std::to_string(condition.lengths.front().length) + "\xE2\x80\x93" + std::to_string(last.length)) +
            numberCell(valueText(last.values[0])) + numberCell(valueText(last.values[4])) + "</tr>\n";
    }
    out +=
        "</table>\n</div>\n<p class=\"note\">MAP accurate and SPRT decided: at each condition's longest test, the "
        "mean &#177; one standard deviation over its replications (no spread with one replication).</p>\n";

    out += "<h2>Charts</h2>\n";
    for (const Chart& chart : buildStudyCharts(summary))
        out += "<figure>\n" + svgElement(layoutChart(chart)) + "</figure>\n";
    return out + "</body>\n</html>\n";
}

std::string studyReportHtml(std::string_view summaryCsvText, const std::string& title) {
    Outcome<StudySummary> read = parseStudySummary(summaryCsvText, "The study summary");
    if (!read) throw StudySummaryError(read.failure().message);
    return studyReportHtml(*read, title);
}

Status writeStudyReport(const std::string& summaryPath, const std::string& reportPath, const std::string& title) {
    const std::optional<std::string> text = readWholeFile(summaryPath);
    if (!text) return Failure{FailureKind::Input, summaryPath + " cannot be read."};
    const Outcome<StudySummary> read = parseStudySummary(*text, summaryPath);
    if (!read) return read.failure();
    if (!replaceFileContents(reportPath, studyReportHtml(*read, title)))
        return Failure{FailureKind::Output, "The report " + reportPath + " could not be written."};
    return {};
}

}  // namespace quillon::charts

namespace quillon::charts {

Outcome<std::string> studyReportHtml(const StudyFigures& figures, const StudyReportOptions&) {
    // The conditions and their outcomes as a table; the charts come with the report's rework.
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escapeMarkup(figures.title) +
                       "</title></head><body>\n<h1>" + escapeMarkup(figures.title) + "</h1>\n<table>\n";
    for (const ConditionFigures& condition : figures.conditions)
        for (const OutcomeFigures& outcome : condition.outcomes)
            html += "<tr><td>" + escapeMarkup(conditionLabel(figures, condition)) + "</td><td>" +
                    escapeMarkup(outcomeLabel(outcome.key)) + "</td><td>" +
                    (outcome.summary.mean ? formatRoundTrip(*outcome.summary.mean) : std::string()) + "</td></tr>\n";
    return html + "</table>\n</body></html>\n";
}

}  // namespace quillon::charts
