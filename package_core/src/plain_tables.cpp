// The runner's tables read back as plain tables, and the inputs a package hands over as tables
// written out as the files the loader reads.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>

#include "plain_internal.h"
#include "quillon/charts/table_reader.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/package_core/plain_values.h"
#include "quillon/study_figures/study_figures.h"
#include "quillon/text/csv_fields.h"

namespace quillon {

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// A field of a table the engine wrote: its plain numbers, "NaN" and "Infinity" included; empty is missing.
bool parseField(std::string_view text, double& value) {
    if (text.empty()) {
        value = missing;
        return true;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The number columns that hold counts, lengths, groups or positions, in any of the tables: these
// names, and every group and stop length (the examinees table's are named after its rules).
bool isWholeColumn(std::string_view name) {
    static const std::set<std::string_view> names = {
        "length",    "uses",     "collection", "drop",      "tests",         "accurate",    "false_pos",
        "false_neg", "examinee", "test",       "position",  "item_position", "answer",      "eligible",
        "rank",      "line",     "column",     "condition", "replication",   "replications"};
    return names.count(name) != 0 || name.ends_with("_group") || name.ends_with("_length");
}

std::string lineProblem(const std::string& fileName, std::size_t line, const std::string& what) {
    return "Table " + fileName + " line " + std::to_string(line) + ": " + what;
}

Outcome<PlainTable> plainResults(std::string_view text, const std::string& fileName) {
    const Outcome<ResultsTable> read = parseResultsTable(text, fileName);
    if (!read) return read.failure();
    const std::size_t columnCount = read->hasBayes ? resultsColumnNames.size() : resultsColumnNames.size() - 4;
    PlainTable table;
    for (std::size_t c = 0; c < columnCount; ++c)
        table.columns.push_back(numberColumn(std::string(resultsColumnNames[c])));
    for (const ResultsRow& row : read->rows) {
        const double values[] = {static_cast<double>(row.length),
                                 row.mapAccurate,
                                 row.mapFalsePos,
                                 row.mapFalseNeg,
                                 row.mapMeanProb,
                                 row.sprtDecided,
                                 row.sprtAccurate,
                                 row.sprtFalsePos,
                                 row.sprtFalseNeg,
                                 row.bayesAccurate,
                                 row.bayesFalsePos,
                                 row.bayesFalseNeg,
                                 row.bayesMeanProb};
        for (std::size_t c = 0; c < columnCount; ++c) table.columns[c].numbers.push_back(values[c]);
    }
    return table;
}

// The exposure table is laid out as a pool file: three lines before the items, whose Freq and
// dropQQ columns carry the counts.
Outcome<PlainTable> plainExposure(std::string_view text, const std::string& fileName) {
    const std::vector<std::string> lines = splitLines(text);
    if (lines.empty()) return Failure{FailureKind::Input, "Table " + fileName + " is empty."};
    const std::size_t groups = csvFields(lines.front()).size() - 4;
    PlainTable table;
    table.columns = {textColumn("item"), numberColumn("collection"), numberColumn("uses"), numberColumn("drop")};
    for (std::size_t g = 1; g <= groups; ++g) table.columns.push_back(numberColumn("p_group_" + std::to_string(g)));
    for (std::size_t i = 3; i < lines.size(); ++i) {
        const std::vector<std::string> fields = csvFields(lines[i]);
        if (fields.size() != groups + 4)
            return Failure{FailureKind::Input, lineProblem(fileName, i + 1, "not an exposure table line")};
        table.columns[0].texts.push_back(fields[0]);
        table.columns[3].numbers.push_back(trimSpaces(fields[3]) == "1" ? 1.0 : 0.0);
        for (std::size_t c : {std::size_t{1}, std::size_t{2}}) {
            double value = 0;
            if (!parseField(fields[c], value))
                return Failure{FailureKind::Input, lineProblem(fileName, i + 1, "not an exposure table line")};
            table.columns[c].numbers.push_back(value);
        }
        for (std::size_t g = 0; g < groups; ++g) {
            double value = 0;
            if (!parseField(fields[4 + g], value))
                return Failure{FailureKind::Input, lineProblem(fileName, i + 1, "not an exposure table line")};
            table.columns[4 + g].numbers.push_back(value);
        }
    }
    return table;
}

// Adds one line's fields to the table's columns: texts as they are, numbers read; the failure
// names the file and the line.
Status addRow(PlainTable& table, std::vector<std::string> fields, const std::string& fileName, std::size_t line) {
    if (fields.size() != table.columns.size())
        return Failure{FailureKind::Input, lineProblem(fileName, line,
                                                       std::to_string(fields.size()) + " fields where the header has " +
                                                           std::to_string(table.columns.size()))};
    for (std::size_t c = 0; c < fields.size(); ++c) {
        PlainColumn& column = table.columns[c];
        if (column.isText) {
            column.texts.push_back(std::move(fields[c]));
            continue;
        }
        double value = 0;
        if (!parseField(fields[c], value))
            return Failure{FailureKind::Input,
                           lineProblem(fileName, line, column.name + " \"" + fields[c] + "\" is not a number")};
        column.numbers.push_back(value);
    }
    return {};
}

// A table in long form whose header already holds the plain names; `isText` tells the text columns.
template <class IsText>
Outcome<PlainTable> plainLongTable(std::string_view text, const std::string& fileName, IsText isText) {
    const std::vector<std::string> lines = splitLines(text);
    if (lines.empty()) return Failure{FailureKind::Input, "Table " + fileName + " is empty."};
    PlainTable table;
    for (const std::string& name : csvFields(lines.front()))
        table.columns.push_back(isText(name) ? textColumn(name) : numberColumn(name));
    for (std::size_t i = 1; i < lines.size(); ++i)
        if (Status added = addRow(table, csvFields(lines[i]), fileName, i + 1); !added) return added.failure();
    return table;
}

// A number as a field of an input file: the plain form when it reads back as the same value,
// otherwise the shortest form that reads back exactly.
std::string numberField(double value) {
    const std::string plain = formatPlain(value);
    double back = 0;
    return parseField(plain, back) && back == value ? plain : formatRoundTrip(value);
}

// The text of row `row` of a column that may hold numbers (identifiers given as numbers).
std::string fieldText(const PlainColumn& column, std::size_t row) {
    return column.isText ? column.texts[row] : numberField(column.numbers[row]);
}

// The named number column, or the reason it cannot serve; `optional` allows it to be absent.
std::string numbersOf(const PlainTable& table, std::string_view what, std::string_view name, const PlainColumn*& out,
                      bool optional = false) {
    out = table.column(name);
    if (out == nullptr)
        return optional ? std::string() : std::string(what) + " table has no column " + std::string(name);
    if (out->isText) return std::string(what) + " table: column " + std::string(name) + " holds text, not numbers";
    for (std::size_t r = 0; r < out->numbers.size(); ++r) {
        if (!std::isfinite(out->numbers[r]))
            return std::string(what) + " table: column " + std::string(name) + " has no number in row " +
                   std::to_string(r + 1);
    }
    return {};
}

std::string sameLength(const PlainTable& table, std::string_view what) {
    for (const PlainColumn& column : table.columns) {
        if (column.size() != table.rowCount())
            return std::string(what) + " table: column " + column.name + " has a different length";
    }
    return {};
}

// One study table, its factor columns as texts for now; `factors` gets their names from the
// header, which must be `condition`, the factors and `tail`.
Outcome<PlainTable> studyTable(std::string_view text, const std::string& fileName, const std::vector<std::string>& tail,
                               std::vector<std::string>& factors) {
    std::optional<std::vector<std::vector<std::string>>> records = quotedCsvRecords(text);
    if (!records)
        return Failure{FailureKind::Input,
                       "Table " + fileName + ": a quoted field is not closed, or text follows its closing quote"};
    const std::vector<std::string> header = records->empty() ? std::vector<std::string>() : records->front();
    const bool fits = header.size() >= tail.size() + 1 && header.front() == "condition" &&
                      std::equal(tail.begin(), tail.end(), header.end() - static_cast<std::ptrdiff_t>(tail.size()));
    if (!fits) {
        std::string expected;
        for (const std::string& name : tail) expected += "," + name;
        return Failure{FailureKind::Input, "Table " + fileName + " is not the study's table: its header is not " +
                                               "condition,<factors>" + expected};
    }
    factors.assign(header.begin() + 1, header.end() - static_cast<std::ptrdiff_t>(tail.size()));
    PlainTable table;
    for (std::size_t c = 0; c < header.size(); ++c) {
        const std::string& name = header[c];
        const bool text = (c >= 1 && c <= factors.size()) || name == "rule" || name == "outcome";
        table.columns.push_back(text ? textColumn(name) : numberColumn(name));
        if (name == "n" || name == "reference" || name.ends_with("_n")) table.columns.back().whole = true;
    }
    // The record's number is its line unless a field holds a line end.
    for (std::size_t r = 1; r < records->size(); ++r)
        if (Status added = addRow(table, std::move((*records)[r]), fileName, r + 1); !added) return added.failure();
    return table;
}

}  // namespace

PlainColumn numberColumn(std::string name) {
    const bool whole = isWholeColumn(name);
    return PlainColumn{std::move(name), false, {}, {}, whole};
}

PlainColumn textColumn(std::string name) { return PlainColumn{std::move(name), true, {}, {}, false}; }

bool isTraceText(const std::string& name) {
    return name == "examinee_id" || name == "item_id" || (startsWith(name, "best") && name.ends_with("_id"));
}

const PlainColumn* PlainTable::column(std::string_view name) const {
    for (const PlainColumn& c : columns) {
        if (c.name == name) return &c;
    }
    return nullptr;
}

PlainTableKind plainTableKind(std::string_view header) {
    if (startsWith(header, "Nitems,")) return PlainTableKind::Results;
    if (startsWith(header, "Item_ID,Collection,Freq,dropQQ")) return PlainTableKind::Exposure;
    if (startsWith(header, "rule,threshold,kind,")) return PlainTableKind::Stopping;
    if (startsWith(header, "length,rule,true_group,decided_group,")) return PlainTableKind::Confusion;
    if (startsWith(header, "examinee,examinee_id,true_group,test,map_group,")) return PlainTableKind::Examinees;
    if (startsWith(header, "examinee,examinee_id,")) return PlainTableKind::Trace;
    if (startsWith(header, "condition,")) return PlainTableKind::Study;
    return PlainTableKind::Unknown;
}

Outcome<PlainTable> plainTableText(std::string_view text, const std::string& fileName) {
    const std::string_view header = text.substr(0, text.find_first_of("\r\n"));
    switch (plainTableKind(header)) {
        case PlainTableKind::Results:
            return plainResults(text, fileName);
        case PlainTableKind::Exposure:
            return plainExposure(text, fileName);
        case PlainTableKind::Stopping:
            return plainLongTable(text, fileName, [](const std::string& n) { return n == "rule" || n == "kind"; });
        case PlainTableKind::Confusion:
            return plainLongTable(text, fileName, [](const std::string& n) { return n == "rule"; });
        case PlainTableKind::Trace:
            return plainLongTable(text, fileName, isTraceText);
        case PlainTableKind::Examinees:
            return plainLongTable(text, fileName, [](const std::string& n) { return n == "examinee_id"; });
        case PlainTableKind::Study:
            return Failure{FailureKind::Input, "Table " + fileName +
                                                   " is one of a study's tables: read them all from the study's "
                                                   "output folder with read_study (quillon_read_study in R)."};
        case PlainTableKind::Unknown:
            break;
    }
    return Failure{FailureKind::Input, "Table " + fileName + " is none of the tables Quillon writes."};
}

Outcome<PlainTable> readResults(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return Failure{FailureKind::Input, "Table " + path + " is not available."};
    return plainTableText(*text, path);
}

Outcome<PlainTable> plainCsvTable(std::string_view text, const std::string& fileName,
                                  const std::vector<std::string>& textColumns) {
    return plainLongTable(text, fileName, [&textColumns](const std::string& name) {
        return std::find(textColumns.begin(), textColumns.end(), name) != textColumns.end();
    });
}

Outcome<PlainStudyTables> readStudyTables(const std::string& folder) {
    const std::array<std::vector<std::string>, 4>& tails = studyTableColumns();
    PlainStudyTables read;
    PlainTable* tables[] = {&read.results, &read.outcomes, &read.summary, &read.conditions};
    std::vector<std::string> factors, firstFactors;
    for (std::size_t t = 0; t < 4; ++t) {
        const std::string path = (std::filesystem::path(folder) / studyOutputNames[t]).string();
        const std::optional<std::string> text = readWholeFile(path);
        if (!text) return Failure{FailureKind::Input, "Table " + path + " is not available."};
        Outcome<PlainTable> table = studyTable(*text, path, tails[t], factors);
        if (!table) return table.failure();
        if (t == 0) firstFactors = factors;
        if (factors != firstFactors)
            return Failure{FailureKind::Input, "Table " + path +
                                                   " is not the study's table: its factor columns are not " +
                                                   std::string(studyOutputNames[0]) + "'s"};
        *tables[t] = std::move(*table);
    }
    // A factor is a number column when every level in every table is a number.
    for (std::size_t f = 0; f < firstFactors.size(); ++f) {
        bool numeric = true, whole = true;
        for (const PlainTable* table : tables) {
            for (const std::string& level : table->columns[1 + f].texts) {
                double value = 0;
                numeric = numeric && !level.empty() && parseField(level, value) && std::isfinite(value);
                whole = whole && numeric && value == std::floor(value);
            }
        }
        if (!numeric) continue;
        for (PlainTable* table : tables) {
            PlainColumn& column = table->columns[1 + f];
            PlainColumn numbers = numberColumn(column.name);
            numbers.whole = whole;
            for (const std::string& level : column.texts) {
                double value = 0;
                parseField(level, value);
                numbers.numbers.push_back(value);
            }
            column = std::move(numbers);
        }
    }
    return read;
}

PlainTable plainFindings(const CheckReport& report) {
    PlainTable table;
    table.columns = {textColumn("file"), numberColumn("line"), numberColumn("column"),
                     textColumn("kind"), textColumn("what"),   textColumn("fix")};
    for (const Finding& f : report.findings) {
        table.columns[0].texts.push_back(f.file);
        table.columns[1].numbers.push_back(static_cast<double>(f.line));
        table.columns[2].numbers.push_back(static_cast<double>(f.column));
        table.columns[3].texts.push_back(f.kind == FindingKind::Error ? "error" : "warning");
        table.columns[4].texts.push_back(f.what);
        table.columns[5].texts.push_back(f.fix);
    }
    return table;
}

Outcome<std::string> poolFileText(const PlainTable& pool, const std::vector<double>& priors) {
    if (std::string problem = sameLength(pool, "Pool"); !problem.empty()) return Failure{FailureKind::Input, problem};
    const PlainColumn* item = pool.column("item");
    if (item == nullptr) return Failure{FailureKind::Input, "Pool table has no column item"};
    const PlainColumn *collection = nullptr, *drop = nullptr;
    if (std::string problem = numbersOf(pool, "Pool", "collection", collection); !problem.empty())
        return Failure{FailureKind::Input, problem};
    const PlainColumn* dropColumn = pool.column("drop");
    if (dropColumn != nullptr && !dropColumn->isText) {
        if (std::string problem = numbersOf(pool, "Pool", "drop", drop); !problem.empty())
            return Failure{FailureKind::Input, problem};
    }
    std::vector<const PlainColumn*> probabilities;
    for (std::size_t g = 1;; ++g) {
        const PlainColumn* p = nullptr;
        const std::string name = "p_group_" + std::to_string(g);
        if (pool.column(name) == nullptr) break;
        if (std::string problem = numbersOf(pool, "Pool", name, p); !problem.empty())
            return Failure{FailureKind::Input, problem};
        probabilities.push_back(p);
    }
    if (probabilities.empty()) return Failure{FailureKind::Input, "Pool table has no column p_group_1"};
    if (!priors.empty() && priors.size() != probabilities.size())
        return Failure{FailureKind::Input, "Pool table has " + std::to_string(probabilities.size()) + " groups but " +
                                               std::to_string(priors.size()) + " priors were given"};
    std::string text = "Item_ID,Collection,Freq,dropQQ";
    for (std::size_t g = 1; g <= probabilities.size(); ++g) text += ',' + std::to_string(g);
    text += "\r\nN,,,\r\nP_Grp, , , ";
    for (std::size_t g = 0; g < probabilities.size(); ++g) text += ',' + numberField(priors.empty() ? 0.0 : priors[g]);
    text += "\r\n";
    for (std::size_t r = 0; r < pool.rowCount(); ++r) {
        text += poolField(fieldText(*item, r)) + ',' + numberField(collection->numbers[r]) + ",,";
        if (drop != nullptr) text += drop->numbers[r] == 1.0 ? "1" : "";
        if (dropColumn != nullptr && dropColumn->isText) text += poolField(dropColumn->texts[r]);
        for (const PlainColumn* p : probabilities) text += ',' + numberField(p->numbers[r]);
        text += "\r\n";
    }
    return text;
}

Outcome<std::string> scriptFileText(const PlainTable& script) {
    if (std::string problem = sameLength(script, "Script"); !problem.empty())
        return Failure{FailureKind::Input, problem};
    const PlainColumn *collection = nullptr, *factor = nullptr;
    if (std::string problem = numbersOf(script, "Script", "collection", collection); !problem.empty())
        return Failure{FailureKind::Input, problem};
    if (std::string problem = numbersOf(script, "Script", "randomization", factor); !problem.empty())
        return Failure{FailureKind::Input, problem};
    std::string text = "Slot,Collection,Comment,Factor\r\n";
    for (std::size_t r = 0; r < script.rowCount(); ++r) {
        text += std::to_string(r + 1) + ',' + numberField(collection->numbers[r]) + ",," +
                numberField(factor->numbers[r]) + "\r\n";
    }
    return text;
}

Outcome<std::string> enemiesFileText(const PlainTable& enemies) {
    if (std::string problem = sameLength(enemies, "Enemies"); !problem.empty())
        return Failure{FailureKind::Input, problem};
    const PlainColumn* set = enemies.column("set");
    const PlainColumn* item = enemies.column("item");
    if (set == nullptr || item == nullptr)
        return Failure{FailureKind::Input, "Enemies table needs the columns set and item"};
    std::vector<std::string> labels;
    std::vector<std::vector<std::string>> members;
    for (std::size_t r = 0; r < enemies.rowCount(); ++r) {
        const std::string label = fieldText(*set, r);
        std::size_t s = 0;
        while (s < labels.size() && labels[s] != label) ++s;
        if (s == labels.size()) {
            labels.push_back(label);
            members.emplace_back();
        }
        members[s].push_back(fieldText(*item, r));
    }
    std::string text = "Set,N,Items\r\n";
    for (std::size_t s = 0; s < labels.size(); ++s) {
        text += poolField(labels[s]) + ',' + std::to_string(members[s].size());
        for (const std::string& id : members[s]) text += ',' + poolField(id);
        text += "\r\n";
    }
    return text;
}

}  // namespace quillon
