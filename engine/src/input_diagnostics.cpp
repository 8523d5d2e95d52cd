#include "input_diagnostics.h"

#include <algorithm>
#include <cmath>

#include "quillon/engine/run_settings.h"

namespace quillon::input_rules {

namespace {

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

}  // namespace

void diagnosePool(const std::vector<std::string>& lines, const std::vector<std::vector<CsvField>>& rows,
                  std::size_t widest, bool hasItems, const RunSettings& settings, const Reporter& report,
                  PoolReading& reading) {
    const std::size_t groups = static_cast<std::size_t>(std::max(settings.groupCount, 0));
    const bool everyItemInCollectionOne = settings.maxTestLength == settings.randomizationFactor;
    if (lines.size() > 3 && widest < groups)
        report(1, 1, error,
               "N Categories is " + std::to_string(groups) + " but no item row has more than " +
                   plural(static_cast<std::int64_t>(widest), "probability column", "probability columns") +
                   " (column E on), so the missing groups read as probability 0",
               "set N Categories to " + std::to_string(widest) + " or add a column for every group", hasItems);
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
    // Held in locals: the loop runs over every answer of millions of lines.
    const char* const answer = answers.data();
    std::int64_t* const blanks = check.blanks ? check.blanks->data() : nullptr;
    for (std::size_t k = 0; k < scored; ++k) {
        const char c = answer[k];
        if (c == '0' || c == '1') continue;
        if (c == ' ') {
            if (blanks) ++blanks[k];
            continue;
        }
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

}  // namespace quillon::input_rules
