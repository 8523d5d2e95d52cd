#include "quillon/charts/table_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <tuple>

#include "quillon/engine/confusion_table.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/stopping_table.h"

namespace quillon {
namespace {

// The lines of a table with their line ends removed. Quillon ends every line with CR LF; a
// lone LF is taken too, so a table whose line ends a copy tool changed still reads. A last line
// without any line end means the file was cut short.
struct Lines {
    std::vector<std::string_view> lines;
    bool cutShort = false;
};

Lines tableLines(std::string_view text) {
    Lines out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            out.lines.push_back(text.substr(start));
            out.cutShort = true;
            break;
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out.lines.push_back(line);
        start = end + 1;
    }
    return out;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return fields;
        start = comma + 1;
    }
}

std::string where(const std::string& fileName, std::size_t lineIndex) {
    return fileName + ", line " + std::to_string(lineIndex + 1) + ": ";
}

// A field is taken only when the table writer would spell its value exactly so; this also
// refuses blanks, signs, exponents and digit counts that Quillon never writes.
std::optional<double> exactDecimals(std::string_view field, int decimals) {
    if (field.empty()) return std::nullopt;
    const std::string text(field);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || formatDecimals(value, decimals) != text) return std::nullopt;
    return value;
}

std::optional<std::int64_t> exactWhole(std::string_view field) {
    if (field.empty() || field.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    std::size_t at = field[0] == '-' ? 1 : 0;
    if (at == field.size() || (field[at] == '0' && field.size() > at + 1)) return std::nullopt;
    for (; at < field.size(); ++at) {
        if (field[at] < '0' || field[at] > '9') return std::nullopt;
        value = value * 10 + (field[at] - '0');
    }
    return field[0] == '-' ? -value : value;
}

bool exactPlain(std::string_view field) {
    if (field.empty()) return false;
    const std::string text(field);
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && formatPlain(value) == text;
}

// The identifier field of an exposure line: quoted (quotes doubled) when it holds a comma, as
// poolField writes it. Returns the identifier and the rest of the line after its comma.
std::optional<std::pair<std::string, std::string_view>> leadingIdentifier(std::string_view line) {
    if (line.empty() || line[0] != '"') {
        const std::size_t comma = line.find(',');
        if (comma == std::string_view::npos) return std::nullopt;
        return std::pair{std::string(line.substr(0, comma)), line.substr(comma + 1)};
    }
    std::string id;
    for (std::size_t at = 1; at < line.size(); ++at) {
        if (line[at] != '"') {
            id += line[at];
        } else if (at + 1 < line.size() && line[at + 1] == '"') {
            id += '"';
            ++at;
        } else {
            if (at + 1 >= line.size() || line[at + 1] != ',') return std::nullopt;
            return std::pair{id, line.substr(at + 2)};
        }
    }
    return std::nullopt;
}

template <class Table>
Outcome<Table> refused(std::string problem) {
    return Failure{FailureKind::Input, std::move(problem)};
}

// The lines of a table whose header is the writer's `header`, refused unless they hold that
// header, at least one line after it and a last line that is whole; `kind` names the table.
Outcome<Lines> writtenTableLines(std::string_view text, const std::string& fileName, std::string_view header,
                                 const std::string& kind) {
    Lines split = tableLines(text);
    if (split.lines.empty()) return refused<Lines>(fileName + " is empty; it is not a " + kind + " table.");
    if (split.lines[0] != header)
        return refused<Lines>(where(fileName, 0) + "not the header of a Quillon " + kind + " table.");
    if (split.lines.size() == 1) return refused<Lines>(fileName + " has no lines after its header.");
    if (split.cutShort)
        return refused<Lines>(where(fileName, split.lines.size() - 1) +
                              "the line has no line end; the table was cut short.");
    return split;
}

// Sums of counts from a file: a file that would overflow them is refused, not wrapped.
bool addTo(std::int64_t& sum, std::int64_t value) { return !__builtin_add_overflow(sum, value, &sum); }

bool addTo(StoppingCounts& sum, const StoppingCounts& add) {
    return addTo(sum.tests, add.tests) && addTo(sum.accurate, add.accurate) && addTo(sum.falsePos, add.falsePos) &&
           addTo(sum.falseNeg, add.falseNeg);
}

// Columns 5 to 8 of a stopping row: whole numbers, and every test is classed exactly one way.
std::optional<StoppingCounts> stoppingCounts(const std::vector<std::string_view>& fields) {
    StoppingCounts counts;
    std::int64_t* const slots[] = {&counts.tests, &counts.accurate, &counts.falsePos, &counts.falseNeg};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<std::int64_t> value = exactWhole(fields[4 + i]);
        if (!value || fields[4 + i].front() == '-') return std::nullopt;
        *slots[i] = *value;
    }
    // Each count has at most 18 digits, so the sum cannot overflow.
    if (counts.accurate + counts.falsePos + counts.falseNeg != counts.tests) return std::nullopt;
    return counts;
}

bool isThreshold(std::string_view field) {
    if (!exactPlain(field)) return false;
    const double value = std::strtod(std::string(field).c_str(), nullptr);
    return value > 0 && value < 1;
}

// The summary's figures as the writer spells them from the rule's counts; each share is divided
// once, and is 0 when there was no test.
std::vector<std::string> summaryFigures(const StoppingSummary& s) {
    const auto share = [&](std::int64_t part) {
        return formatPlain(s.tests == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(s.tests));
    };
    return {formatPlain(s.averageLength()),
            formatPlain(s.percentCorrect()),
            share(s.falsePos),
            share(s.falseNeg),
            share(s.undecided),
            formatPlain(s.fixedAverageLength())};
}

// The number of tests the fixed-length test classed accurately, when `field` is exactly the
// writer's spelling of such a count's share of `tests`.
std::optional<std::int64_t> fixedAccurate(std::string_view field, std::int64_t tests) {
    if (!exactPlain(field)) return std::nullopt;
    const double share = std::strtod(std::string(field).c_str(), nullptr);
    if (!(share >= 0 && share <= 1)) return std::nullopt;
    StoppingSummary s;
    s.tests = tests;
    s.fixedAccurate = std::llround(share * static_cast<double>(tests));
    if (formatPlain(s.fixedPercentCorrect()) != field) return std::nullopt;
    return s.fixedAccurate;
}

}  // namespace

Outcome<ResultsTable> parseResultsTable(std::string_view text, const std::string& fileName) {
    // The writer's own header, from the one place that spells it.
    std::string header = resultsTableText(RunStatistics{}, 2);
    header.resize(header.size() - 2);
    Outcome<Lines> lines = writtenTableLines(text, fileName, header, "results");
    if (!lines) return lines.failure();
    const Lines& split = *lines;
    ResultsTable table;
    for (std::size_t index = 1; index < split.lines.size(); ++index) {
        const std::vector<std::string_view> fields = splitFields(split.lines[index]);
        const std::string at = where(fileName, index);
        if (index == 1) {
            if (fields.size() != 15 && fields.size() != 11) {
                return refused<ResultsTable>(at + "has " + std::to_string(fields.size()) +
                                             " fields; a results line has 15 (two groups) or 11.");
            }
            table.hasBayes = fields.size() == 15;
        }
        const std::size_t expected = table.hasBayes ? 15 : 11;
        if (fields.size() != expected) {
            return refused<ResultsTable>(at + "has " + std::to_string(fields.size()) + " fields where line 2 has " +
                                         std::to_string(expected) + ".");
        }
        ResultsRow row;
        const std::optional<std::int64_t> length = exactWhole(fields[0]);
        if (!length || *length != static_cast<std::int64_t>(index)) {
            return refused<ResultsTable>(at + "the test length is \"" + std::string(fields[0]) + "\"; expected " +
                                         std::to_string(index) + ".");
        }
        row.length = static_cast<std::int32_t>(index);
        if (!fields[5].empty() || !fields[10].empty()) {
            return refused<ResultsTable>(at + "columns 6 and 11 must be empty.");
        }
        struct Column {
            std::size_t field;
            int decimals;
            double ResultsRow::*value;
        };
        static constexpr Column columns[] = {
            {1, 4, &ResultsRow::mapAccurate},    {2, 4, &ResultsRow::mapFalsePos},
            {3, 4, &ResultsRow::mapFalseNeg},    {4, 4, &ResultsRow::mapMeanProb},
            {6, 3, &ResultsRow::sprtDecided},    {7, 4, &ResultsRow::sprtAccurate},
            {8, 4, &ResultsRow::sprtFalsePos},   {9, 4, &ResultsRow::sprtFalseNeg},
            {11, 4, &ResultsRow::bayesAccurate}, {12, 4, &ResultsRow::bayesFalsePos},
            {13, 4, &ResultsRow::bayesFalseNeg}, {14, 4, &ResultsRow::bayesMeanProb},
        };
        for (const Column& column : columns) {
            if (column.field >= fields.size()) break;
            const std::optional<double> value = exactDecimals(fields[column.field], column.decimals);
            if (!value) {
                return refused<ResultsTable>(at + "column " + std::to_string(column.field + 1) + " holds \"" +
                                             std::string(fields[column.field]) + "\", not a number with " +
                                             std::to_string(column.decimals) + " decimals.");
            }
            row.*column.value = *value;
        }
        table.rows.push_back(row);
    }
    return table;
}

Outcome<ExposureTable> parseExposureTable(std::string_view text, const std::string& fileName) {
    const Lines split = tableLines(text);
    if (split.lines.empty()) return refused<ExposureTable>(fileName + " is empty; it is not an exposure table.");
    constexpr std::string_view headStart = "Item_ID,Collection,Freq,dropQQ";
    const std::string_view head = split.lines[0];
    ExposureTable table;
    std::string header(headStart);
    while (header.size() < head.size()) header += "," + std::to_string(++table.groupCount);
    if (table.groupCount == 0 || header != head) {
        return refused<ExposureTable>(where(fileName, 0) + "not the header of a Quillon exposure table.");
    }
    if (split.lines.size() < 4) return refused<ExposureTable>(fileName + " has no item lines.");
    if (split.cutShort) {
        return refused<ExposureTable>(where(fileName, split.lines.size() - 1) +
                                      "the line has no line end; the table was cut short.");
    }
    const std::vector<std::string_view> priors = splitFields(split.lines[2]);
    bool priorsOk =
        split.lines[2].starts_with("P_Grp, , , ,") && priors.size() == 4 + static_cast<std::size_t>(table.groupCount);
    for (std::size_t g = 4; priorsOk && g < priors.size(); ++g) priorsOk = exactPlain(priors[g]);
    if (!priorsOk) {
        return refused<ExposureTable>(where(fileName, 2) + "not the P_Grp line of a Quillon exposure table.");
    }
    for (std::size_t index = 3; index < split.lines.size(); ++index) {
        const std::string at = where(fileName, index);
        const auto identified = leadingIdentifier(split.lines[index]);
        if (!identified) return refused<ExposureTable>(at + "the item identifier is not followed by a comma.");
        const std::vector<std::string_view> fields = splitFields(identified->second);
        if (fields.size() != 3 + static_cast<std::size_t>(table.groupCount)) {
            return refused<ExposureTable>(at + "has " + std::to_string(fields.size() + 1) + " fields; expected " +
                                          std::to_string(4 + table.groupCount) + ".");
        }
        const std::optional<std::int64_t> collection = exactWhole(fields[0]);
        const std::optional<std::int64_t> uses = exactWhole(fields[1]);
        if (!collection || !uses || *uses < 0) {
            return refused<ExposureTable>(at + "the collection and the use count must be whole numbers.");
        }
        if (fields[2] != (*uses == 0 ? "1" : " ")) {
            return refused<ExposureTable>(at + "the dropQQ column does not match the use count.");
        }
        ExposureItem item{identified->first, *uses, *collection};
        for (std::size_t g = 3; g < fields.size(); ++g) {
            if (!exactPlain(fields[g])) {
                return refused<ExposureTable>(at + "column " + std::to_string(g + 2) + " holds \"" +
                                              std::string(fields[g]) + "\", not a number.");
            }
            item.pCorrect.push_back(std::strtod(std::string(fields[g]).c_str(), nullptr));
        }
        table.items.push_back(std::move(item));
    }
    return table;
}

Outcome<StoppingResults> parseStoppingTable(std::string_view text, const std::string& fileName) {
    // The writer's own header: the table of no rule is its header alone.
    std::string header = StoppingTable({}, 0).text();
    header.resize(header.size() - 2);
    Outcome<Lines> lines = writtenTableLines(text, fileName, header, "stopping");
    if (!lines) return lines.failure();
    const Lines& split = *lines;
    const std::size_t columns = splitFields(header).size();

    StoppingResults table;
    StoppingRulePart part;       // the rule being read
    bool reading = false;        // a rule has started and its summary is still to come
    bool undecidedRead = false;  // its "undecided" row has been read
    std::int64_t lengthSum = 0;  // items given up to each of its stops
    std::string firstFixed;      // the fixed-length figures, which every rule repeats
    for (std::size_t index = 1; index < split.lines.size(); ++index) {
        const std::vector<std::string_view> fields = splitFields(split.lines[index]);
        const std::string at = where(fileName, index);
        if (fields.size() != columns) {
            return refused<StoppingResults>(at + "has " + std::to_string(fields.size()) + " fields; expected " +
                                            std::to_string(columns) + ".");
        }
        const std::string_view rule = fields[0], threshold = fields[1], kind = fields[2], length = fields[3];
        if (!reading) {
            // The SPRT comes first, then each posterior threshold.
            const std::string_view expected = table.rules.empty() ? "SPRT" : "Posterior";
            if (rule != expected) {
                return refused<StoppingResults>(at + "the rule is \"" + std::string(rule) + "\" where \"" +
                                                std::string(expected) + "\" is expected.");
            }
            if (rule == "SPRT" ? !threshold.empty() : !isThreshold(threshold)) {
                return refused<StoppingResults>(at + "the threshold \"" + std::string(threshold) +
                                                "\" does not suit the rule " + std::string(rule) + ".");
            }
            part = StoppingRulePart{};
            part.rule = rule;
            part.threshold = threshold;
            reading = true;
            undecidedRead = false;
            lengthSum = 0;
        } else if (rule != part.rule || threshold != part.threshold) {
            return refused<StoppingResults>(at + "a new rule starts before the summary of " + part.rule + " " +
                                            part.threshold + ".");
        }

        // Which row comes next: the rows of lengths 1 to the last, the undecided row, the summary.
        const std::size_t stoppedRows = part.stopped.size();
        const bool lengthKnown = !table.rules.empty();
        const auto last = static_cast<std::size_t>(table.maxTestLength);
        const bool stoppedFits = !undecidedRead && (!lengthKnown || stoppedRows < last);
        const bool undecidedFits = !undecidedRead && stoppedRows > 0 && (!lengthKnown || stoppedRows == last);
        const bool fits = (kind == "stopped" && stoppedFits && length == std::to_string(stoppedRows + 1)) ||
                          (kind == "undecided" && undecidedFits && length == std::to_string(stoppedRows)) ||
                          (kind == "summary" && undecidedRead && length.empty());
        if (!fits) {
            std::string expected = undecidedRead ? "the \"summary\" row" : "";
            if (stoppedFits) expected = "the \"stopped\" row of length " + std::to_string(stoppedRows + 1);
            if (undecidedFits) {
                expected += std::string(expected.empty() ? "" : " or ") + "the \"undecided\" row of length " +
                            std::to_string(stoppedRows);
            }
            return refused<StoppingResults>(at + "expected " + expected + " of " + part.rule + "; found \"" +
                                            std::string(kind) + "\" with length \"" + std::string(length) + "\".");
        }
        const std::optional<StoppingCounts> counts = stoppingCounts(fields);
        if (!counts) {
            return refused<StoppingResults>(at +
                                            "columns 5 to 8 must be whole numbers of tests, the last three adding up "
                                            "to the first.");
        }

        if (kind != "summary") {
            for (std::size_t f = 8; f < columns; ++f) {
                if (!fields[f].empty()) {
                    return refused<StoppingResults>(at + "columns 9 to " + std::to_string(columns) +
                                                    " must be empty on a \"" + std::string(kind) + "\" row.");
                }
            }
            const auto rowLength = static_cast<std::int64_t>(kind == "stopped" ? stoppedRows + 1 : stoppedRows);
            std::int64_t items = 0;
            if (!addTo(part.total, *counts) || __builtin_mul_overflow(counts->tests, rowLength, &items) ||
                !addTo(lengthSum, items)) {
                return refused<StoppingResults>(at + "the counts are too large.");
            }
            if (kind == "stopped") {
                part.stopped.push_back(*counts);
            } else {
                part.undecided = *counts;
                undecidedRead = true;
            }
            continue;
        }

        const StoppingCounts& total = part.total;
        if (counts->tests != total.tests || counts->accurate != total.accurate || counts->falsePos != total.falsePos ||
            counts->falseNeg != total.falseNeg) {
            return refused<StoppingResults>(at + "the summary's counts are not the sums of the rows of " + part.rule +
                                            ".");
        }
        StoppingSummary summary;
        summary.tests = total.tests;
        summary.accurate = total.accurate;
        summary.falsePos = total.falsePos;
        summary.falseNeg = total.falseNeg;
        summary.undecided = part.undecided.tests;
        summary.lengthSum = lengthSum;
        if (__builtin_mul_overflow(total.tests, static_cast<std::int64_t>(part.stopped.size()),
                                   &summary.fixedLengthSum)) {
            return refused<StoppingResults>(at + "the counts are too large.");
        }
        const std::vector<std::string> figures = summaryFigures(summary);
        for (std::size_t f = 0; f < figures.size(); ++f) {
            if (fields[8 + f] != figures[f]) {
                return refused<StoppingResults>(at + "column " + std::to_string(9 + f) + " holds \"" +
                                                std::string(fields[8 + f]) + "\" where the rows of " + part.rule +
                                                " give \"" + figures[f] + "\".");
            }
        }
        const std::optional<std::int64_t> fixed = fixedAccurate(fields[14], total.tests);
        if (!fixed) {
            return refused<StoppingResults>(at + "column 15 holds \"" + std::string(fields[14]) +
                                            "\", not a share of " + std::to_string(total.tests) + " tests.");
        }
        summary.fixedAccurate = *fixed;
        const std::string fixedFigures = std::to_string(total.tests) + "," + std::string(fields[14]);
        if (table.rules.empty()) {
            firstFixed = fixedFigures;
            table.maxTestLength = static_cast<std::int32_t>(part.stopped.size());
        } else if (fixedFigures != firstFixed) {
            return refused<StoppingResults>(at + "the tests and the fixed-length share differ from the SPRT's.");
        }
        part.averageLength = summary.averageLength();
        part.percentCorrect = summary.percentCorrect();
        part.undecidedShare =
            summary.tests == 0 ? 0.0 : static_cast<double>(summary.undecided) / static_cast<double>(summary.tests);
        part.fixedAverageLength = summary.fixedAverageLength();
        part.fixedPercentCorrect = summary.fixedPercentCorrect();
        table.rules.push_back(std::move(part));
        reading = false;
    }
    if (reading || table.rules.empty()) {
        return refused<StoppingResults>(where(fileName, split.lines.size() - 1) +
                                        "the table ends before the summary row of " +
                                        (reading ? part.rule : std::string("SPRT")) + ".");
    }
    return table;
}

std::int64_t ConfusionCounts::count(std::int32_t length, int rule, std::int32_t trueGroup, std::int32_t decided) const {
    const auto g = static_cast<std::size_t>(groupCount);
    return counts[((static_cast<std::size_t>(length - 1) * 2 + static_cast<std::size_t>(rule)) * g +
                   static_cast<std::size_t>(trueGroup - 1)) *
                      g +
                  static_cast<std::size_t>(decided - 1)];
}

std::int64_t ConfusionCounts::total(std::int32_t length, int rule) const {
    const auto block = static_cast<std::size_t>(length - 1) * 2 + static_cast<std::size_t>(rule);
    const auto cells = static_cast<std::size_t>(groupCount) * static_cast<std::size_t>(groupCount);
    std::int64_t tests = outside[block];
    for (std::size_t c = 0; c < cells; ++c) tests += counts[block * cells + c];
    return tests;
}

Outcome<ConfusionCounts> parseConfusionTable(std::string_view text, const std::string& fileName) {
    std::string header = ConfusionTable().text();
    header.resize(header.size() - 2);
    Outcome<Lines> lines = writtenTableLines(text, fileName, header, "confusion");
    if (!lines) return lines.failure();
    const Lines& split = *lines;
    // The rows in the writer's order: by length from 1, MAP before SPRT, then by the pair of groups.
    struct Row {
        std::int32_t length;
        int rule;
        std::int32_t trueGroup, decided;
        std::int64_t tests;
    };
    std::vector<Row> rows;
    std::int32_t groups = 0;
    for (std::size_t index = 1; index < split.lines.size(); ++index) {
        const std::vector<std::string_view> fields = splitFields(split.lines[index]);
        const std::string at = where(fileName, index);
        if (fields.size() != 5)
            return refused<ConfusionCounts>(at + "has " + std::to_string(fields.size()) + " fields; expected 5.");
        const std::optional<std::int64_t> length = exactWhole(fields[0]), trueGroup = exactWhole(fields[2]),
                                          decided = exactWhole(fields[3]), tests = exactWhole(fields[4]);
        const int rule = fields[1] == "MAP" ? 0 : fields[1] == "SPRT" ? 1 : -1;
        if (!length || !trueGroup || !decided || !tests || rule < 0 || *length < 1 || *length > INT32_MAX ||
            *trueGroup < 0 || *trueGroup > INT32_MAX || *decided < 0 || *decided > INT32_MAX || *tests < 0) {
            return refused<ConfusionCounts>(at +
                                            "expected a length, MAP or SPRT, two groups and a count of tests, all "
                                            "whole numbers.");
        }
        const Row row{static_cast<std::int32_t>(*length), rule, static_cast<std::int32_t>(*trueGroup),
                      static_cast<std::int32_t>(*decided), *tests};
        const bool first = rows.empty();
        const Row& last = first ? row : rows.back();
        const bool inOrder =
            first ? row.length == 1 && row.rule == 0
                  : std::tuple(row.length, row.rule, row.trueGroup, row.decided) >
                            std::tuple(last.length, last.rule, last.trueGroup, last.decided) &&
                        (row.length == last.length || (row.length == last.length + 1 && row.rule == 0)) &&
                        (row.length != last.length || row.rule >= last.rule);
        if (!inOrder) return refused<ConfusionCounts>(at + "the row is out of the table's order.");
        groups = std::max(groups, row.decided);
        rows.push_back(row);
    }
    ConfusionCounts table;
    table.groupCount = groups;
    table.maxTestLength = rows.back().length;
    const auto g = static_cast<std::size_t>(groups);
    const auto blocks = static_cast<std::size_t>(table.maxTestLength) * 2;
    if (groups < 1 || g * g > table.counts.max_size() / blocks)
        return refused<ConfusionCounts>(fileName + " decides no group; it is not a confusion table.");
    table.counts.assign(blocks * g * g, 0);
    table.outside.assign(blocks, 0);
    std::vector<std::size_t> pairs(blocks, 0);
    for (const Row& row : rows) {
        const auto block = static_cast<std::size_t>(row.length - 1) * 2 + static_cast<std::size_t>(row.rule);
        if (row.trueGroup >= 1 && row.trueGroup <= groups && row.decided >= 1) {
            ++pairs[block];
            table.counts[block * g * g + static_cast<std::size_t>(row.trueGroup - 1) * g +
                         static_cast<std::size_t>(row.decided - 1)] = row.tests;
        } else if (!addTo(table.outside[block], row.tests)) {
            return refused<ConfusionCounts>(fileName + ": the counts are too large.");
        }
    }
    for (std::size_t block = 0; block < blocks; ++block) {
        if (pairs[block] != g * g) {
            return refused<ConfusionCounts>(fileName + ": " + (block % 2 ? "SPRT" : "MAP") + " at length " +
                                            std::to_string(block / 2 + 1) + " lacks pairs of groups 1 to " +
                                            std::to_string(groups) + ".");
        }
    }
    return table;
}

Outcome<ResultsTable> readResultsFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<ResultsTable>(path + " cannot be read.");
    return parseResultsTable(*text, path);
}

Outcome<ExposureTable> readExposureFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<ExposureTable>(path + " cannot be read.");
    return parseExposureTable(*text, path);
}

Outcome<StoppingResults> readStoppingFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<StoppingResults>(path + " cannot be read.");
    return parseStoppingTable(*text, path);
}

Outcome<ConfusionCounts> readConfusionFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<ConfusionCounts>(path + " cannot be read.");
    return parseConfusionTable(*text, path);
}

}  // namespace quillon
