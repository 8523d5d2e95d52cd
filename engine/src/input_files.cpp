#include "quillon/engine/input_files.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "quillon/engine/output_tables.h"

namespace quillon {

namespace {

// The pool's item and prior rows keep their probabilities from column E on.
constexpr std::size_t firstProbabilityField = 5;

bool isRegularReadable(const std::string& path) {
    if (path.empty()) return false;
    std::error_code error;
    return !std::filesystem::is_directory(path, error);
}

}  // namespace

std::string readProblemMessage(std::string_view kind, const std::string& name, const LineReader& reader) {
    const std::string file = std::string(kind) + " file " + upperName(name);
    switch (reader.problem()) {
        case ReadProblem::LineTooLong:
            return file + " has a problem: line " + std::to_string(reader.problemLine()) + " is longer than " +
                   std::to_string(maxLineLength >> 20) + " MB.";
        case ReadProblem::CopyFailed:
            return file + " has a problem: it can be read only once, and no temporary copy of it could be made.";
        case ReadProblem::ReadFailed:
        case ReadProblem::None:
            break;
    }
    return file + " is not available.";
}

namespace {

const CsvField* fieldAt(const std::vector<CsvField>& fields, std::size_t n) {
    return (n >= 1 && n <= fields.size()) ? &fields[n - 1] : nullptr;
}

const std::string& textAt(const std::vector<CsvField>& fields, std::size_t n) {
    static const std::string empty;
    const CsvField* field = fieldAt(fields, n);
    return field ? field->text : empty;
}

// Where a missing field would start: just past the end of the line.
std::int64_t columnAt(const std::vector<CsvField>& fields, std::size_t n, std::string_view line) {
    const CsvField* field = fieldAt(fields, n);
    return field ? static_cast<std::int64_t>(field->column) : static_cast<std::int64_t>(line.size()) + 1;
}

// Takes the diagnostics of a parse that has a reading to fill but no one to tell.
class DiscardedDiagnostics : public LoadDiagnostics {
public:
    void report(LoadDiagnostic) override {}
};

// Reports the diagnostics of one input file under its name.
class Reporter {
public:
    Reporter(LoadDiagnostics& to, const std::string& file) : to_(to), file_(file) {}

    void operator()(std::int64_t line, std::int64_t column, DiagnosticKind kind, std::string what, std::string fix,
                    bool refusesLoad = false, std::string_view repeatRule = {}) const {
        to_.report({file_, line, column, kind, std::move(what), std::move(fix), refusesLoad, repeatRule});
    }

private:
    LoadDiagnostics& to_;
    const std::string& file_;
};

constexpr DiagnosticKind error = DiagnosticKind::Error;
constexpr DiagnosticKind warning = DiagnosticKind::Warning;

void diagnosePriors(const std::vector<std::string>& lines, std::size_t groups, const RunSettings& settings,
                    const Reporter& report, PoolReading& reading) {
    const bool used = !settings.uniformPriors;
    const std::vector<CsvField> fields = lines.size() >= 3 ? csvFieldsWithColumns(lines[2]) : std::vector<CsvField>{};
    reading.hasPriorRow = textAt(fields, 1) == "P_Grp";
    if (!reading.hasPriorRow) {
        reading.priors.assign(groups, 0.0);
        const std::string first = trimSpaces(textAt(fields, 1));
        // An item has its collection in column B; a mistyped "P_Grp" row usually has none.
        if (!first.empty() && isCleanNumber(textAt(fields, 2)))
            report(3, 1, warning,
                   "line 3 is the priors row, so the item " + inQuotes(first) + " written there is not loaded",
                   "insert a P_Grp row as line 3");
        if (used)
            report(3, 1, error,
                   lines.size() < 3 ? std::string("the pool has no line 3 with the group priors")
                                    : "line 3 starts with " + inQuotes(textAt(fields, 1)) +
                                          ", not \"P_Grp\", so every group prior is 0",
                   "add a P_Grp row with the priors in columns E on, or turn on Uniform Priors", true);
        return;
    }
    double sum = 0.0;
    bool clean = true;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::size_t n = firstProbabilityField + g;
        const std::string& text = textAt(fields, n);
        const double prior = readNumber(text);
        reading.priors.push_back(prior);
        sum += prior;
        if (!used) continue;
        const std::int64_t column = columnAt(fields, n, lines[2]);
        if (!isCleanNumber(text)) {
            clean = false;
            report(3, column, error,
                   "the prior of group " + std::to_string(g + 1) + " " +
                       (fieldAt(fields, n) ? inQuotes(text) + " is not a number" : std::string("is missing")) +
                       "; it reads as " + diagnosticNumber(prior),
                   "write the prior as a number from 0 to 1");
        } else if (prior < 0.0) {
            clean = false;
            report(3, column, error,
                   "the prior of group " + std::to_string(g + 1) + " is negative (" + diagnosticNumber(prior) + ")",
                   "write the prior as a number from 0 to 1");
        }
    }
    if (!used) return;
    // Summed in group order, as the pool's priors are.
    if (sum <= 0.0) {
        report(3, 1, error, "the group priors sum to " + diagnosticNumber(sum) + ", so no group can start",
               "write priors that sum to 1, or turn on Uniform Priors", true);
    } else if (clean && std::fabs(sum - 1.0) > 1e-9) {
        report(3, 1, warning, "the group priors sum to " + diagnosticNumber(sum) + ", not 1",
               "scale them to sum to 1 (the run uses them as they stand)");
    }
}

void diagnoseItemText(const std::vector<CsvField>& fields, const std::string& line, std::int64_t lineNo,
                      const std::string& id, bool everyItemInCollectionOne, const Reporter& report) {
    if (id.empty())
        report(lineNo, 1, warning, "the item has no identifier",
               "give it an identifier, so that enemy sets and the exposure table can name it");
    if (id.find(',') != std::string::npos)
        report(lineNo, columnAt(fields, 1, line), warning,
               "identifier " + inQuotes(id) + " holds a comma; the exposure table must quote it",
               "use an identifier without commas");
    if (everyItemInCollectionOne) return;
    const std::string& collection = textAt(fields, 2);
    if (!isCleanWholeNumber(collection))
        report(lineNo, columnAt(fields, 2, line), warning,
               "collection " + inQuotes(collection) + " is not a whole number; it reads as " +
                   std::to_string(readInteger(collection)),
               "write the collection as a whole number");
}

// The item's probabilities when each one is a probability, else nothing.
std::vector<double> diagnoseProbabilities(const std::vector<CsvField>& fields, const std::string& line,
                                          std::int64_t lineNo, const std::string& id, std::size_t groups,
                                          std::size_t poolColumns, const Reporter& report) {
    const std::size_t present = fields.size() >= firstProbabilityField ? fields.size() - firstProbabilityField + 1 : 0;
    const std::string name = id.empty() ? std::string("the item") : "item " + inQuotes(id);
    if (present < groups && poolColumns >= groups)
        report(lineNo, static_cast<std::int64_t>(line.size()) + 1, error,
               name + " has " +
                   plural(static_cast<std::int64_t>(present), "probability column", "probability columns") + " for " +
                   std::to_string(groups) + " groups; the missing ones read as 0",
               "add the probability of every group, one column each from column E");
    if (present > groups)
        report(lineNo, columnAt(fields, firstProbabilityField + groups, line), warning,
               name + " has " + std::to_string(present) + " probability columns for " + std::to_string(groups) +
                   " groups; the extra ones are ignored",
               "check N Categories, or remove the extra columns", false, "pool-extra-columns");
    std::vector<double> p(groups, 0.0);
    bool usable = present >= groups;
    for (std::size_t g = 0; g < groups && g < present; ++g) {
        const CsvField& field = fields[firstProbabilityField + g - 1];
        p[g] = readNumber(field.text);
        const std::string group = "group " + std::to_string(g + 1);
        if (!isCleanNumber(field.text)) {
            usable = false;
            report(lineNo, static_cast<std::int64_t>(field.column), error,
                   "the probability of " + group + " " + inQuotes(field.text) + " is not a number; it reads as " +
                       diagnosticNumber(p[g]),
                   "write a probability from 0 to 1");
        } else if (!(p[g] >= 0.0 && p[g] <= 1.0)) {
            usable = false;
            report(lineNo, static_cast<std::int64_t>(field.column), error,
                   "the probability of " + group + " is " + diagnosticNumber(p[g]) + ", outside 0 to 1",
                   "write a probability from 0 to 1");
        }
    }
    if (!usable) return {};
    if (groups < 2) return p;
    bool allEqual = true;
    for (std::size_t g = 1; g < groups; ++g) allEqual = allEqual && p[g] == p[0];
    if (allEqual) {
        report(lineNo, columnAt(fields, firstProbabilityField, line), warning,
               name +
                   " has the same probability in every group, so it never tells the groups apart "
                   "(MaxDiscr scores it last)",
               "correct its probabilities, or drop the item");
        return p;
    }
    for (std::size_t b = 0; b + 1 < groups; ++b) {
        if (p[b] > 0.0 && p[b + 1] > 0.0) continue;
        report(lineNo, columnAt(fields, firstProbabilityField + (p[b] > 0.0 ? b + 1 : b), line), warning,
               name + " has probability 0 in group " + std::to_string(p[b] > 0.0 ? b + 2 : b + 1) +
                   ", so its ratio between groups " + std::to_string(b + 1) + " and " + std::to_string(b + 2) +
                   " is 0 or infinite (MaxDiscr scores it last, and one answer rules a group out)",
               "use a small probability such as .01 instead of 0");
        break;
    }
    return p;
}

// The problems of every line of a pool file; `rows` are its item lines (line 4 on), parsed.
void diagnosePool(const std::vector<std::string>& lines, const std::vector<std::vector<CsvField>>& rows,
                  std::size_t widest, const RunSettings& settings, const Reporter& report, PoolReading& reading) {
    const std::size_t groups = static_cast<std::size_t>(std::max(settings.groupCount, 0));
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    if (lines.size() > 3 && widest < groups)
        report(1, 1, error,
               "N Categories is " + std::to_string(groups) + " but no item row has more than " +
                   plural(static_cast<std::int64_t>(widest), "probability column", "probability columns") +
                   " (column E on), so the missing groups read as probability 0",
               "set N Categories to " + std::to_string(widest) + " or add a column for every group");
    diagnosePriors(lines, groups, settings, report, reading);
    std::int64_t kept = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const std::vector<CsvField>& fields = rows[r];
        const std::string& line = lines[r + 3];
        const std::int64_t lineNo = static_cast<std::int64_t>(r) + 4;
        const std::string dropFlag = trimSpaces(textAt(fields, 4));
        PoolRow row;
        row.line = lineNo;
        row.id = trimSpaces(textAt(fields, 1));
        row.idColumn = columnAt(fields, 1, line);
        row.collection = everyItemInCollectionOne ? 1 : readInteger(textAt(fields, 2));
        row.collectionColumn = columnAt(fields, 2, line);
        row.dropped = settings.dropItems && dropFlag == "1";
        row.blank = !row.dropped && trimSpaces(line).empty();
        if (!row.dropped) {
            ++kept;
            if (settings.dropItems && !dropFlag.empty() && isCleanNumber(dropFlag) && readNumber(dropFlag) == 1.0)
                report(lineNo, columnAt(fields, 4, line), warning,
                       "drop flag " + inQuotes(dropFlag) + " is not exactly \"1\", so the item is kept",
                       "write 1 to drop it");
            if (row.blank) {
                report(
                    lineNo, 1, error,
                    "an empty line is read as an item with no identifier and every probability 0, at pool position " +
                        std::to_string(kept),
                    "remove the line, so that the answers of later items keep their positions");
            } else {
                diagnoseItemText(fields, line, lineNo, row.id, everyItemInCollectionOne, report);
                row.probabilities = diagnoseProbabilities(fields, line, lineNo, row.id, groups, widest, report);
            }
        }
        reading.rows.push_back(std::move(row));
    }
    if (kept == 0) {
        const bool allDropped = lines.size() > 3;
        report(allDropped ? 4 : 1, 1, error,
               allDropped ? "every item row is dropped by Drop items, so no item is left"
                          : "the pool has no item rows (items start at line 4)",
               allDropped ? "turn off Drop items or clear some drop flags" : "add the items from line 4 on", true);
    }
}

}  // namespace

ItemPool parsePool(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics, PoolReading* reading) {
    // Read the item lines first: nothing may be sized by the group count before the file has
    // shown that it holds a probability column for every group.
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    std::vector<std::vector<CsvField>> rows;
    std::vector<std::size_t> kept;  // indexes into rows
    std::size_t widest = 0;         // probability columns of the widest item line
    for (std::size_t row = 3; row < lines.size(); ++row) {
        std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        widest = std::max(widest, fields.size() - std::min<std::size_t>(fields.size(), firstProbabilityField - 1));
        if (!(settings.dropItems && trimSpaces(textAt(fields, 4)) == "1")) kept.push_back(rows.size());
        rows.push_back(std::move(fields));
    }
    if (diagnostics || reading) {
        DiscardedDiagnostics discarded;
        PoolReading unused;
        diagnosePool(lines, rows, widest, settings, Reporter(diagnostics ? *diagnostics : discarded, name),
                     reading ? *reading : unused);
    }
    if (kept.empty()) throw InputError("Pool file " + upperName(name) + " has no items.");
    if (static_cast<std::int64_t>(widest) < settings.groupCount)
        throw InputError("Pool file " + upperName(name) + " has " + std::to_string(widest) + " probability column" +
                         (widest == 1 ? "" : "s") + " (from column E on), fewer than N Categories (" +
                         std::to_string(settings.groupCount) + ").");

    ItemPool pool;
    pool.groupCount = settings.groupCount;
    const std::size_t groups = static_cast<std::size_t>(std::max(settings.groupCount, 0));
    pool.groupPrior.assign(groups, 0.0);
    if (lines.size() >= 2) pool.calibrationRow = lines[1];
    if (lines.size() >= 3) {
        const std::vector<std::string> fields = csvFields(lines[2]);
        if (!fields.empty() && fields[0] == "P_Grp") {
            for (std::size_t g = 0; g < groups; ++g)
                pool.groupPrior[g] =
                    readNumber(g + firstProbabilityField <= fields.size() ? fields[g + firstProbabilityField - 1] : "");
        }
    }
    std::unordered_map<std::int32_t, std::int64_t> collectionSize;
    pool.itemId.reserve(kept.size());
    pool.itemCollection.reserve(kept.size());
    pool.pCorrect.reserve(kept.size() * groups);
    for (const std::size_t row : kept) {
        const std::vector<CsvField>& fields = rows[row];
        pool.itemId.push_back(trimSpaces(textAt(fields, 1)));
        const std::int32_t collection = everyItemInCollectionOne ? 1 : readInteger(textAt(fields, 2));
        pool.itemCollection.push_back(collection);
        for (std::size_t g = 0; g < groups; ++g)
            pool.pCorrect.push_back(readNumber(textAt(fields, firstProbabilityField + g)));
        ++collectionSize[collection];
    }
    pool.itemCount = static_cast<std::int32_t>(pool.itemId.size());
    // Collections 1 up to the highest, in increasing order; 0 and below never enter the deck.
    std::map<std::int32_t, std::int64_t> ordered(collectionSize.begin(), collectionSize.end());
    for (const auto& [collection, size] : ordered) {
        if (collection < 1) continue;
        const double entries = std::nearbyint(static_cast<double>(size) / 10.0);
        for (double k = 0; k < entries; ++k) pool.collectionDeck.push_back(collection);
    }
    if (reading) reading->deck = pool.collectionDeck;
    if (!settings.uniformPriors) {
        double sum = 0.0;
        for (double prior : pool.groupPrior) sum += prior;
        if (sum <= 0.0)
            throw InputError("Pool file " + upperName(name) +
                             " has no group priors; turn on Uniform Priors or add a P_Grp row.");
    }
    return pool;
}

ItemPool parsePool(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    return parsePool(splitLines(bytes), settings, name);
}

namespace {

// The problems of one enemy set's line, and the identifiers its count covers.
EnemyRow diagnoseEnemyRow(const std::vector<CsvField>& fields, const std::string& line, std::int64_t lineNo,
                          std::int32_t named, const std::function<std::int32_t(const std::string&)>& positionOf,
                          const Reporter& report) {
    const std::string& countText = textAt(fields, 2);
    if (!isCleanWholeNumber(countText))
        report(lineNo, columnAt(fields, 2, line), warning,
               "the count " + inQuotes(countText) + " is not a whole number; it reads as " + std::to_string(named),
               "write in column B how many identifiers the set lists");
    const std::int64_t counted = std::max<std::int64_t>(named, 1) + 2;  // the last field the count covers
    const std::size_t last = counted > static_cast<std::int64_t>(fields.size())
                                 ? std::max<std::size_t>(fields.size(), 3)
                                 : static_cast<std::size_t>(counted);
    if (named >= 1 && static_cast<std::int64_t>(named) + 2 > static_cast<std::int64_t>(fields.size()))
        report(lineNo, columnAt(fields, 2, line), warning,
               "the set says it lists " + std::to_string(named) + " identifiers but the row has " +
                   std::to_string(fields.size() >= 3 ? fields.size() - 2 : 0),
               "correct the count in column B");
    std::size_t ignored = 0;
    for (std::size_t n = last + 1; n <= fields.size(); ++n)
        if (!trimSpaces(fields[n - 1].text).empty()) ++ignored;
    if (ignored > 0)
        report(lineNo, static_cast<std::int64_t>(fields[last].column), warning,
               plural(static_cast<std::int64_t>(ignored), "identifier", "identifiers") + " after the " +
                   std::to_string(last - 2) + " that column B counts " + (ignored == 1 ? "is" : "are") + " ignored",
               "raise the count in column B to " + std::to_string(last - 2 + ignored));
    EnemyRow row;
    row.line = lineNo;
    for (std::size_t n = 3; n <= last; ++n) {
        std::string id = trimSpaces(textAt(fields, n));
        const std::int32_t position = positionOf(id);
        row.names.push_back({std::move(id), columnAt(fields, n, line), position});
    }
    return row;
}

}  // namespace

std::vector<EnemySet> parseEnemies(const std::vector<std::string>& lines, const ItemPool& pool, const std::string& name,
                                   LoadDiagnostics* diagnostics, std::vector<EnemyRow>* rows) {
    std::unordered_map<std::string, std::int32_t> firstPosition;
    for (std::int32_t i = pool.itemCount; i >= 1; --i) firstPosition[pool.itemId[static_cast<std::size_t>(i - 1)]] = i;
    const std::function<std::int32_t(const std::string&)> positionOf = [&](const std::string& field) {
        const auto found = firstPosition.find(trimSpaces(field));
        return found == firstPosition.end() ? 0 : found->second;
    };
    DiscardedDiagnostics discarded;
    const Reporter report(diagnostics ? *diagnostics : discarded, name);
    std::vector<EnemySet> sets;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        const std::int32_t named = readInteger(textAt(fields, 2));
        EnemySet set;
        set.positions.push_back(positionOf(textAt(fields, 3)));
        const std::int64_t lastField = static_cast<std::int64_t>(named) + 2;
        const std::int64_t present = std::min<std::int64_t>(lastField, static_cast<std::int64_t>(fields.size()));
        for (std::int64_t n = 4; n <= present; ++n)
            set.positions.push_back(positionOf(fields[static_cast<std::size_t>(n - 1)].text));
        // Named fields past the end of the row are empty and all name the same item (none, unless
        // an item has an empty identifier), so one entry blocks exactly what all of them would.
        if (lastField > present && lastField >= 4) set.positions.push_back(positionOf(std::string()));
        sets.push_back(std::move(set));
        if (diagnostics || rows) {
            EnemyRow read =
                diagnoseEnemyRow(fields, lines[row], static_cast<std::int64_t>(row) + 1, named, positionOf, report);
            if (rows) rows->push_back(std::move(read));
        }
    }
    if (sets.empty()) {
        if (diagnostics)
            report(lines.empty() ? 1 : 2, 1, error, "the enemies file has no sets after its header",
                   "add one set per line from line 2 on, or turn off Block enemies", true);
        throw InputError("Enemies file " + upperName(name) + " has no enemy sets.");
    }
    return sets;
}

std::vector<EnemySet> parseEnemies(std::string_view bytes, const ItemPool& pool, const std::string& name) {
    return parseEnemies(splitLines(bytes), pool, name);
}

Script parseScript(const std::vector<std::string>& lines, const RunSettings& settings, const std::string& name,
                   LoadDiagnostics* diagnostics) {
    DiscardedDiagnostics discarded;
    const Reporter report(diagnostics ? *diagnostics : discarded, name);
    Script script;
    for (std::size_t row = 1; row < lines.size(); ++row) {
        const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
        const std::string& collection = textAt(fields, 2);
        const std::string& factor = textAt(fields, 4);
        const ScriptSlot slot{readInteger(collection), readInteger(factor)};
        script.slots.push_back(slot);
        // Slots past the test length are never used, so what they hold does not matter.
        if (!diagnostics || static_cast<std::int64_t>(row) > settings.maxTestLength) continue;
        const std::int64_t lineNo = static_cast<std::int64_t>(row) + 1;
        if (!isCleanWholeNumber(collection))
            report(lineNo, columnAt(fields, 2, lines[row]), warning,
                   "the collection " + inQuotes(collection) + " is not a whole number; it reads as " +
                       std::to_string(slot.slotCollection),
                   "write the collection as a whole number in column B");
        if (!isCleanWholeNumber(factor))
            report(lineNo, columnAt(fields, 4, lines[row]), warning,
                   "the factor " + inQuotes(factor) + " is not a whole number; it reads as " +
                       std::to_string(slot.slotFactor),
                   "write the randomization factor as a whole number in column D");
        else if (slot.slotFactor < 1)
            report(lineNo, columnAt(fields, 4, lines[row]), warning,
                   "the factor " + std::to_string(slot.slotFactor) + " is below 1 and counts as 1",
                   "write a factor of 1 or more");
    }
    if (script.slots.empty()) {
        if (diagnostics)
            report(lines.empty() ? 1 : 2, 1, error, "the script has no slots after its header",
                   "add one line per test position from line 2 on", true);
        throw InputError("Script file " + upperName(name) + " has no slots.");
    }
    if (static_cast<std::int64_t>(script.slots.size()) < settings.maxTestLength) {
        if (diagnostics)
            report(static_cast<std::int64_t>(lines.size()), 1, error,
                   "the script has " + plural(static_cast<std::int64_t>(script.slots.size()), "slot", "slots") +
                       " but Maximum test length is " + std::to_string(settings.maxTestLength),
                   "add slots up to the test length, or shorten the test", true);
        throw InputError("Script file " + upperName(name) + " has only " + std::to_string(script.slots.size()) +
                         " slots for a test length of " + std::to_string(settings.maxTestLength) + ".");
    }
    return script;
}

Script parseScript(std::string_view bytes, const RunSettings& settings, const std::string& name) {
    return parseScript(splitLines(bytes), settings, name);
}

std::string responseLineId(std::string_view line) {
    return trimSpaces(line.substr(0, std::min<std::size_t>(11, line.size())));
}

namespace {

// Where the answers of a response line start, and which character holds the true group.
constexpr std::size_t firstAnswerColumn = 14;
constexpr std::size_t groupColumn = 12;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The problems of one response line; rules that fire line after line are reported as repeats.
void diagnoseResponseLine(std::string_view line, const ResponseRecord& record, const ResponseLineCheck& check) {
    const Reporter report(*check.diagnostics, check.file);
    const std::int64_t lineNo = check.line;
    if (line.size() < groupColumn) {
        report(lineNo, static_cast<std::int64_t>(line.size()) + 1, warning,
               "the line has " + std::to_string(line.size()) +
                   " characters: group 1 and no answers (the true group is character 12)",
               "remove the line, or complete it", false, "short");
        return;
    }
    if (!isDigit(line[groupColumn - 1]))
        report(
            lineNo, static_cast<std::int64_t>(groupColumn), warning,
            "character 12 " + inQuotes(std::string(1, line[groupColumn - 1])) + " is not a digit and reads as group 1",
            "write the true group minus 1 as a digit in character 12", false, "group-digit");
    else if (record.trueGroup > check.groupCount)
        report(lineNo, static_cast<std::int64_t>(groupColumn), error,
               "true group " + std::to_string(record.trueGroup) + " is above N Categories (" +
                   std::to_string(check.groupCount) + "), so every decision on it is a false negative",
               "check the digit (0 is group 1) or raise N Categories", false, "group-range");
    const std::string& answers = record.answers;
    const std::size_t items = check.items;
    if (answers.size() < items)
        report(lineNo, static_cast<std::int64_t>(line.size()) + 1, warning,
               "the line has " + plural(static_cast<std::int64_t>(answers.size()), "answer", "answers") + " for " +
                   plural(static_cast<std::int64_t>(items), "pool item", "pool items") +
                   "; the missing ones count as wrong",
               "give one answer per kept item from character 14 (check Drop items)", false, "answers-short");
    else if (answers.size() > items && check.poolRead)
        report(lineNo, static_cast<std::int64_t>(firstAnswerColumn + items), warning,
               "the line has " + plural(static_cast<std::int64_t>(answers.size()), "answer", "answers") + " for " +
                   plural(static_cast<std::int64_t>(items), "pool item", "pool items") + "; the extra ones are ignored",
               "give one answer per kept item from character 14 (check Drop items)", false, "answers-long");
    const std::size_t scored = std::min(answers.size(), items);
    for (std::size_t k = 0; k < scored; ++k) {
        const char c = answers[k];
        if (c == '0' || c == '1' || c == ' ') continue;
        const std::int64_t column = static_cast<std::int64_t>(firstAnswerColumn + k);
        if (isDigit(c))
            report(lineNo, column, error,
                   "answer " + inQuotes(std::string(1, c)) +
                       " is neither right (1) nor wrong (0); it enters the update as the value " + std::string(1, c),
                   "write 1, 0 or a blank", false, "answer-digit");
        else
            report(lineNo, column, warning,
                   "answer " + inQuotes(std::string(1, c)) + " is not 0, 1 or a blank and counts as wrong",
                   "write 1, 0 or a blank", false, "answer-other");
    }
}

}  // namespace

ResponseRecord parseResponseLine(std::string_view line, const ResponseLineCheck* check) {
    ResponseRecord record;
    record.trueGroup = 1;
    if (line.size() >= groupColumn && isDigit(line[groupColumn - 1]))
        record.trueGroup = 1 + (line[groupColumn - 1] - '0');
    if (line.size() >= firstAnswerColumn) record.answers.assign(line.substr(firstAnswerColumn - 1));
    if (check && check->diagnostics) [[unlikely]]
        diagnoseResponseLine(line, record, *check);
    return record;
}

std::optional<std::string> readWholeFile(const std::string& path, std::size_t maxBytes) {
    if (!isRegularReadable(path)) return std::nullopt;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::string bytes;
    char chunk[1 << 16];
    std::size_t got;
    bool tooLarge = false;
    while (!tooLarge && (got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
        tooLarge = bytes.size() > maxBytes;
    }
    const bool failed = std::ferror(file) != 0 || tooLarge;
    std::fclose(file);
    if (failed) return std::nullopt;
    return bytes;
}

std::vector<std::string> readInputLines(const std::string& path, const char* kind) {
    LineReader reader(path);
    if (!reader.isOpen()) throw InputError(std::string(kind) + " file " + upperName(path) + " is not available.");
    std::vector<std::string> lines;
    for (std::string line; reader.nextLine(line);) lines.push_back(std::move(line));
    if (reader.problem() != ReadProblem::None) throw InputError(readProblemMessage(kind, path, reader));
    return lines;
}

namespace {

// Where a write to a name leads, whether or not its file exists yet: absolute, with every link
// followed (a last one to a file not made yet too), and "." and ".." resolved. A relative name
// counts from the working folder, as the file is opened, whatever part of it exists.
std::optional<std::filesystem::path> placeOf(const std::string& name) {
    const std::optional<std::string> target = resolveLinks(name);
    if (!target) return std::nullopt;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(*target, error);
    if (error) return std::nullopt;
    const std::filesystem::path place = std::filesystem::weakly_canonical(absolute, error);
    if (error) return std::nullopt;
    return place.lexically_normal();
}

}  // namespace

// Writing a table over one of the run's inputs (or over the other table) would destroy it.
void refuseTablesOverInputs(const RunSettings& settings) {
    const std::vector<RoleFile> inputs = runInputFiles(settings);
    const std::string exposure = trimSpaces(settings.exposureFile);  // the name it is written under
    std::vector<RoleFile> others = inputs;
    // The two tables clash even when neither exists yet: the exposure table would replace the results.
    if (settings.saveExposure) others.push_back({"exposure", exposure});
    if (std::string refusal = sameFileRefusal("Output", settings.resultsFile, "results", others); !refusal.empty())
        throw InputError(refusal);
    if (!settings.saveExposure) return;
    if (std::string refusal = sameFileRefusal("Exposure", exposure, "exposure table", inputs); !refusal.empty())
        throw InputError(refusal);
}

bool namesOneFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    // Two existing names are one file when they share device and inode, however they are spelled
    // or linked (hard links included).
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error) && !error) return true;
    const std::optional<std::filesystem::path> placeA = placeOf(a), placeB = placeOf(b);
    return placeA && placeB && *placeA == *placeB;
}

std::vector<RoleFile> runInputFiles(const RunSettings& settings) {
    std::vector<RoleFile> inputs = {{"pool", settings.poolFile}, {"data", settings.responseFile}};
    if (settings.followScript) inputs.push_back({"script", settings.scriptFile});
    if (settings.blockEnemies) inputs.push_back({"enemies", settings.enemiesFile});
    return inputs;
}

std::string sameFileRefusal(std::string_view kind, const std::string& path, std::string_view what,
                            const std::vector<RoleFile>& others) {
    for (const RoleFile& other : others) {
        if (!namesOneFile(path, other.path)) continue;
        return std::string(kind) + " file " + upperName(path) + " is also the " + other.role +
               " file; choose another name for the " + std::string(what) + ".";
    }
    return {};
}

InputFiles loadInputFiles(const RunSettings& settings) {
    InputFiles inputs;
    inputs.pool = parsePool(readInputLines(settings.poolFile, "Pool"), settings, settings.poolFile);
    if (settings.blockEnemies)
        inputs.enemySets =
            parseEnemies(readInputLines(settings.enemiesFile, "Enemies"), inputs.pool, settings.enemiesFile);
    if (settings.followScript)
        inputs.script = parseScript(readInputLines(settings.scriptFile, "Script"), settings, settings.scriptFile);
    refuseTablesOverInputs(settings);
    proveResultsWritable(settings);
    return inputs;
}

void proveResultsWritable(const RunSettings& settings) {
    // Opening for appending proves the file can be written without losing what it holds.
    std::FILE* results =
        isRegularReadable(settings.resultsFile) ? std::fopen(settings.resultsFile.c_str(), "ab") : nullptr;
    if (!results) throw InputError("Output file " + upperName(settings.resultsFile) + " has a problem.");
    std::fclose(results);
}

}  // namespace quillon
