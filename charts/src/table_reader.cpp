#include "quillon/table_reader.h"

#include <cstdlib>

#include "quillon/output_tables.h"

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
ReadResult<Table> refused(std::string problem) {
    return {Table{}, std::move(problem)};
}

}  // namespace

ReadResult<ResultsTable> parseResultsTable(std::string_view text, const std::string& fileName) {
    using Result = ReadResult<ResultsTable>;
    const Lines split = tableLines(text);
    if (split.lines.empty()) return refused<ResultsTable>(fileName + " is empty; it is not a results table.");
    // The writer's own header, from the one place that spells it.
    std::string header = resultsTableText(RunStatistics{}, 2);
    header.resize(header.size() - 2);
    if (split.lines[0] != header) {
        return refused<ResultsTable>(where(fileName, 0) + "not the header of a Quillon results table.");
    }
    if (split.lines.size() == 1) return refused<ResultsTable>(fileName + " has no lines after its header.");
    if (split.cutShort) {
        return refused<ResultsTable>(where(fileName, split.lines.size() - 1) +
                                     "the line has no line end; the table was cut short.");
    }
    Result result;
    ResultsTable& table = result.table;
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
    return result;
}

ReadResult<ExposureTable> parseExposureTable(std::string_view text, const std::string& fileName) {
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
        for (std::size_t g = 3; g < fields.size(); ++g) {
            if (!exactPlain(fields[g])) {
                return refused<ExposureTable>(at + "column " + std::to_string(g + 2) + " holds \"" +
                                              std::string(fields[g]) + "\", not a number.");
            }
        }
        table.items.push_back({identified->first, *uses});
    }
    return {std::move(table), {}};
}

ReadResult<ResultsTable> readResultsFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<ResultsTable>(path + " cannot be read.");
    return parseResultsTable(*text, path);
}

ReadResult<ExposureTable> readExposureFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return refused<ExposureTable>(path + " cannot be read.");
    return parseExposureTable(*text, path);
}

}  // namespace quillon
