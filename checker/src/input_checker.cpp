#include "quillon/checker/input_checker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <unordered_map>

#include "quillon/engine/input_files.h"
#include "quillon/engine/item_selection.h"

namespace quillon {

namespace {

// The pool's item and prior rows keep their probabilities from column E on.
constexpr std::size_t firstProbabilityField = 5;
// A collection above this number in the deck makes the run stop with "icol error".
constexpr std::int32_t highestDeckCollection = 8;
// Where the answers of a response line start, and which character holds the true group.
constexpr std::size_t firstAnswerColumn = 14;
constexpr std::size_t groupColumn = 12;
constexpr std::size_t shownPerKind = 50;

std::string number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string inQuotes(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string plural(std::int64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// True when the whole text (blanks and tabs around it aside) is one number of the reading rule,
// so that nothing after it is silently thrown away.
bool isCleanNumber(std::string_view text) {
    std::size_t at = 0;
    std::size_t end = text.size();
    while (at < end && (text[at] == ' ' || text[at] == '\t')) ++at;
    while (end > at && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    if (at == end) return false;
    if (text[at] == '&') {
        if (at + 2 > end) return false;
        int base = 0;
        switch (text[at + 1]) {
            case 'H':
            case 'h':
                base = 16;
                break;
            case 'B':
            case 'b':
                base = 2;
                break;
            case 'O':
            case 'o':
            case 'Q':
            case 'q':
                base = 8;
                break;
            default:
                return false;
        }
        if (at + 2 == end) return false;
        for (std::size_t i = at + 2; i < end; ++i) {
            const char c = text[i];
            const int d = isDigit(c)               ? c - '0'
                          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : 99;
            if (d >= base) return false;
        }
        return true;
    }
    std::size_t i = at;
    if (text[i] == '+' || text[i] == '-') ++i;
    std::size_t digits = 0;
    while (i < end && isDigit(text[i])) ++i, ++digits;
    if (i < end && text[i] == '.') {
        ++i;
        while (i < end && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < end && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
        ++i;
        if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponentDigits = 0;
        while (i < end && isDigit(text[i])) ++i, ++exponentDigits;
        if (exponentDigits == 0) return false;
    }
    return i == end;
}

bool isWholeNumber(double value) { return std::isfinite(value) && value == std::nearbyint(value); }

const CsvField* fieldAt(const std::vector<CsvField>& fields, std::size_t n) {
    return (n >= 1 && n <= fields.size()) ? &fields[n - 1] : nullptr;
}

std::string textAt(const std::vector<CsvField>& fields, std::size_t n) {
    const CsvField* field = fieldAt(fields, n);
    return field ? field->text : std::string();
}

// Where a missing field would start: just past the end of the line.
std::int64_t columnAt(const std::vector<CsvField>& fields, std::size_t n, std::string_view line) {
    const CsvField* field = fieldAt(fields, n);
    return field ? static_cast<std::int64_t>(field->column) : static_cast<std::int64_t>(line.size()) + 1;
}

// Collects findings; rules that fire on line after line report the first place and how many more.
class Findings {
public:
    void add(CheckedInput input, const std::string& file, std::int64_t line, std::int64_t column, FindingKind kind,
             std::string what, std::string fix, bool refusesLoad = false) {
        Finding finding;
        finding.input = input;
        finding.file = input == CheckedInput::Settings ? std::string("settings") : file;
        finding.line = line;
        finding.column = column;
        finding.kind = kind;
        finding.what = std::move(what);
        finding.fix = std::move(fix);
        finding.refusesLoad = refusesLoad;
        list.push_back(std::move(finding));
    }

    // A repeated rule keyed by `rule`: the first place is kept and the rest only counted.
    void repeat(const std::string& rule, CheckedInput input, const std::string& file, std::int64_t line,
                std::int64_t column, FindingKind kind, std::string what, std::string fix) {
        auto [entry, fresh] = repeated_.try_emplace(rule);
        if (fresh) {
            entry->second.index = list.size();
            add(input, file, line, column, kind, std::move(what), std::move(fix));
        } else {
            ++entry->second.more;
        }
    }

    // Adds the counts of repeated rules to their first findings.
    void closeRepeats() {
        for (const auto& [rule, entry] : repeated_) {
            if (entry.more == 0) continue;
            list[entry.index].what += " (also on " + plural(entry.more, "more line", "more lines") + ")";
        }
        repeated_.clear();
    }

    bool hasError(CheckedInput input) const {
        return std::any_of(list.begin(), list.end(),
                           [&](const Finding& f) { return f.input == input && f.kind == FindingKind::Error; });
    }

    std::vector<Finding> list;

private:
    struct Repeat {
        std::size_t index = 0;
        std::int64_t more = 0;
    };
    std::map<std::string, Repeat> repeated_;
};

// One kept pool item and where it came from.
struct KeptItem {
    std::string id;
    std::int32_t collection = 0;
    std::int64_t line = 0;
    std::int64_t collectionColumn = 1;
};

// What the pool check leaves for the checks of the other files.
struct PoolFacts {
    bool readable = false;
    std::vector<KeptItem> items;
    std::set<std::string> droppedIds;
    std::vector<std::int32_t> deck;
    std::map<std::int32_t, std::int64_t> firstLineOf;  // collection -> line of its first kept item
};

std::int64_t keptIn(const PoolFacts& pool, std::int32_t collection) {
    return std::count_if(pool.items.begin(), pool.items.end(),
                         [&](const KeptItem& item) { return item.collection == collection; });
}

class Checker {
public:
    explicit Checker(const RunSettings& settings) : settings_(settings), groups_(std::max(settings.groupCount, 0)) {}

    CheckReport run() {
        checkSettings();
        checkPool();
        if (settings_.blockEnemies) checkEnemies();
        if (settings_.followScript) checkScript();
        checkCollectionsRunDry();
        checkResponses();
        findings_.closeRepeats();
        compareWithLoader();
        std::stable_sort(findings_.list.begin(), findings_.list.end(), [](const Finding& a, const Finding& b) {
            if (a.input != b.input) return a.input < b.input;
            if (a.line != b.line) return a.line < b.line;
            return a.column < b.column;
        });
        report_.findings = std::move(findings_.list);
        report_.summary.canComplete = report_.count(FindingKind::Error) == 0;
        return std::move(report_);
    }

private:
    void settingsFinding(FindingKind kind, std::string what, std::string fix) {
        findings_.add(CheckedInput::Settings, {}, 0, 0, kind, std::move(what), std::move(fix));
    }

    void checkSettings() {
        if (const std::string problem = checkRunSettings(settings_); !problem.empty())
            settingsFinding(FindingKind::Error, "the run refuses these settings: " + inQuotes(problem),
                            "change the setting the message names");
        const auto rate = [&](const char* name, double value) {
            if (!(value > 0.0 && value < 1.0))
                settingsFinding(
                    FindingKind::Error,
                    std::string(name) + " is " + number(value) + ", outside (0, 1), so the SPRT bounds are undefined",
                    std::string("set ") + name + " to an error rate such as .05");
        };
        rate("a", settings_.sprtAlpha);
        rate("B", settings_.sprtBeta);
        if (!settings_.followScript && settings_.randomizationFactor < 1)
            settingsFinding(
                FindingKind::Warning,
                "Randomization Factor is " + std::to_string(settings_.randomizationFactor) + " and counts as 1",
                "set it to 1 or more");
        if (settings_.maxTestLength == settings_.randomizationFactor)
            settingsFinding(FindingKind::Warning,
                            "Maximum test length equals Randomization Factor (" +
                                std::to_string(settings_.maxTestLength) +
                                "), so every item is put in collection 1 whatever column B of the pool says",
                            "change one of the two if the collections should count");
        if (settings_.selectionMethod == SelectionMethod::MinCost && settings_.groupCount != 2)
            settingsFinding(
                FindingKind::Warning,
                "MinCost weighs only groups 1 and 2, but N Categories is " + std::to_string(settings_.groupCount),
                "use Shannon or MaxDiscr with more than two groups");
    }

    void poolFinding(std::int64_t line, std::int64_t column, FindingKind kind, std::string what, std::string fix,
                     bool refusesLoad = false) {
        findings_.add(CheckedInput::Pool, settings_.poolFile, line, column, kind, std::move(what), std::move(fix),
                      refusesLoad);
    }

    void checkPool() {
        std::vector<std::string> lines;
        try {
            lines = readInputLines(settings_.poolFile, "Pool");
        } catch (const InputError& error) {
            // The loader's own words: not available, or a line too long to read.
            poolFinding(1, 1, FindingKind::Error, error.what(), "check the file name and its permissions", true);
            return;
        }
        pool_.readable = true;
        const bool everyItemInCollectionOne = settings_.maxTestLength == settings_.randomizationFactor;

        // The most probability columns any item row has (dropped rows included): the pool's columns.
        std::size_t poolColumns = 0;
        for (std::size_t row = 3; row < lines.size(); ++row) {
            const std::size_t fields = csvFieldsWithColumns(lines[row]).size();
            if (fields >= firstProbabilityField)
                poolColumns = std::max(poolColumns, fields - firstProbabilityField + 1);
        }
        if (lines.size() > 3 && poolColumns < groups_)
            poolFinding(
                1, 1, FindingKind::Error,
                "N Categories is " + std::to_string(groups_) + " but no item row has more than " +
                    plural(static_cast<std::int64_t>(poolColumns), "probability column", "probability columns") +
                    " (column E on), so the missing groups read as probability 0",
                "set N Categories to " + std::to_string(poolColumns) + " or add a column for every group");

        checkPriors(lines);

        std::unordered_map<std::string, std::int64_t> firstLineOfId;
        std::vector<std::vector<double>> discrimination(groups_ > 1 ? groups_ - 1 : 0);
        for (std::size_t row = 3; row < lines.size(); ++row) {
            const std::int64_t lineNo = static_cast<std::int64_t>(row) + 1;
            const std::string& line = lines[row];
            const std::vector<CsvField> fields = csvFieldsWithColumns(line);
            const std::string dropFlag = trimSpaces(textAt(fields, 4));
            const std::string id = trimSpaces(textAt(fields, 1));
            const std::int32_t collection = everyItemInCollectionOne ? 1 : readInteger(textAt(fields, 2));
            if (settings_.dropItems && dropFlag == "1") {
                ++report_.summary.collections[collection].dropped;
                pool_.droppedIds.insert(id);
                continue;
            }
            if (settings_.dropItems && !dropFlag.empty() && isCleanNumber(dropFlag) && readNumber(dropFlag) == 1.0)
                poolFinding(lineNo, columnAt(fields, 4, line), FindingKind::Warning,
                            "drop flag " + inQuotes(dropFlag) + " is not exactly \"1\", so the item is kept",
                            "write 1 to drop it");
            KeptItem item{id, collection, lineNo, columnAt(fields, 2, line)};
            ++report_.summary.collections[collection].kept;
            pool_.firstLineOf.try_emplace(collection, lineNo);
            pool_.items.push_back(item);
            if (trimSpaces(line).empty()) {
                poolFinding(
                    lineNo, 1, FindingKind::Error,
                    "an empty line is read as an item with no identifier and every probability 0, at pool position " +
                        std::to_string(pool_.items.size()),
                    "remove the line, so that the answers of later items keep their positions");
                continue;
            }
            checkItemText(fields, line, lineNo, id, firstLineOfId, everyItemInCollectionOne);
            checkProbabilities(fields, line, lineNo, id, poolColumns, discrimination);
        }
        findings_.closeRepeats();
        for (std::size_t b = 0; b < discrimination.size(); ++b) {
            std::vector<double>& values = discrimination[b];
            if (values.empty()) continue;
            std::sort(values.begin(), values.end());
            const std::size_t n = values.size();
            const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
            report_.summary.discrimination.push_back(
                {static_cast<std::int32_t>(b + 1), values.front(), median, values.back()});
        }
        if (pool_.items.empty()) {
            const bool allDropped = lines.size() > 3;
            poolFinding(allDropped ? 4 : 1, 1, FindingKind::Error,
                        allDropped ? "every item row is dropped by Drop items, so no item is left"
                                   : "the pool has no item rows (items start at line 4)",
                        allDropped ? "turn off Drop items or clear some drop flags" : "add the items from line 4 on",
                        true);
            return;
        }
        // The deck by the loader's own rule.
        RunSettings priorsFree = settings_;
        priorsFree.uniformPriors = true;
        try {
            pool_.deck = parsePool(lines, priorsFree, settings_.poolFile).collectionDeck;
        } catch (const InputError&) {
        }
        checkCollectionNumbers();
    }

    void checkPriors(const std::vector<std::string>& lines) {
        CheckSummary& summary = report_.summary;
        const bool used = !settings_.uniformPriors;
        const std::vector<CsvField> fields =
            lines.size() >= 3 ? csvFieldsWithColumns(lines[2]) : std::vector<CsvField>{};
        summary.hasPriorRow = textAt(fields, 1) == "P_Grp";
        if (!summary.hasPriorRow) {
            summary.priors.assign(groups_, 0.0);
            const std::string first = trimSpaces(textAt(fields, 1));
            // An item has its collection in column B; a mistyped "P_Grp" row usually has none.
            if (!first.empty() && isCleanNumber(textAt(fields, 2)))
                poolFinding(3, 1, FindingKind::Warning,
                            "line 3 is the priors row, so the item " + inQuotes(first) + " written there is not loaded",
                            "insert a P_Grp row as line 3");
            if (used)
                poolFinding(3, 1, FindingKind::Error,
                            lines.size() < 3 ? std::string("the pool has no line 3 with the group priors")
                                             : "line 3 starts with " + inQuotes(textAt(fields, 1)) +
                                                   ", not \"P_Grp\", so every group prior is 0",
                            "add a P_Grp row with the priors in columns E on, or turn on Uniform Priors", true);
            return;
        }
        double sum = 0.0;
        bool clean = true;
        for (std::size_t g = 0; g < groups_; ++g) {
            const std::size_t n = firstProbabilityField + g;
            const std::string text = textAt(fields, n);
            const double prior = readNumber(text);
            summary.priors.push_back(prior);
            sum += prior;
            if (!used) continue;
            const std::int64_t column = columnAt(fields, n, lines[2]);
            if (!isCleanNumber(text)) {
                clean = false;
                poolFinding(3, column, FindingKind::Error,
                            "the prior of group " + std::to_string(g + 1) + " " +
                                (fieldAt(fields, n) ? inQuotes(text) + " is not a number" : std::string("is missing")) +
                                "; it reads as " + number(prior),
                            "write the prior as a number from 0 to 1");
            } else if (prior < 0.0) {
                clean = false;
                poolFinding(3, column, FindingKind::Error,
                            "the prior of group " + std::to_string(g + 1) + " is negative (" + number(prior) + ")",
                            "write the prior as a number from 0 to 1");
            }
        }
        if (!used) return;
        // Summed in group order, as the loader sums them.
        if (sum <= 0.0) {
            poolFinding(3, 1, FindingKind::Error, "the group priors sum to " + number(sum) + ", so no group can start",
                        "write priors that sum to 1, or turn on Uniform Priors", true);
        } else if (clean && std::fabs(sum - 1.0) > 1e-9) {
            poolFinding(3, 1, FindingKind::Warning, "the group priors sum to " + number(sum) + ", not 1",
                        "scale them to sum to 1 (the run uses them as they stand)");
        }
    }

    void checkItemText(const std::vector<CsvField>& fields, const std::string& line, std::int64_t lineNo,
                       const std::string& id, std::unordered_map<std::string, std::int64_t>& firstLineOfId,
                       bool everyItemInCollectionOne) {
        if (id.empty()) {
            poolFinding(lineNo, 1, FindingKind::Warning, "the item has no identifier",
                        "give it an identifier, so that enemy sets and the exposure table can name it");
        } else {
            const auto [first, fresh] = firstLineOfId.try_emplace(id, lineNo);
            if (!fresh)
                poolFinding(lineNo, columnAt(fields, 1, line), FindingKind::Warning,
                            "identifier " + inQuotes(id) + " is also on line " + std::to_string(first->second) +
                                "; enemy sets only ever name the first",
                            "give every item its own identifier");
        }
        if (id.find(',') != std::string::npos)
            poolFinding(lineNo, columnAt(fields, 1, line), FindingKind::Warning,
                        "identifier " + inQuotes(id) + " holds a comma; the exposure table must quote it",
                        "use an identifier without commas");
        if (everyItemInCollectionOne) return;
        const std::string collection = textAt(fields, 2);
        const double value = readNumber(collection);
        if (!isCleanNumber(collection) || !isWholeNumber(value))
            poolFinding(lineNo, columnAt(fields, 2, line), FindingKind::Warning,
                        "collection " + inQuotes(collection) + " is not a whole number; it reads as " +
                            std::to_string(readInteger(collection)),
                        "write the collection as a whole number");
    }

    void checkProbabilities(const std::vector<CsvField>& fields, const std::string& line, std::int64_t lineNo,
                            const std::string& id, std::size_t poolColumns,
                            std::vector<std::vector<double>>& discrimination) {
        const std::size_t present =
            fields.size() >= firstProbabilityField ? fields.size() - firstProbabilityField + 1 : 0;
        const std::string name = id.empty() ? std::string("the item") : "item " + inQuotes(id);
        if (present < groups_ && poolColumns >= groups_)
            poolFinding(lineNo, static_cast<std::int64_t>(line.size()) + 1, FindingKind::Error,
                        name + " has " +
                            plural(static_cast<std::int64_t>(present), "probability column", "probability columns") +
                            " for " + std::to_string(groups_) + " groups; the missing ones read as 0",
                        "add the probability of every group, one column each from column E");
        if (present > groups_)
            findings_.repeat("pool-extra-columns", CheckedInput::Pool, settings_.poolFile, lineNo,
                             columnAt(fields, firstProbabilityField + groups_, line), FindingKind::Warning,
                             name + " has " + std::to_string(present) + " probability columns for " +
                                 std::to_string(groups_) + " groups; the extra ones are ignored",
                             "check N Categories, or remove the extra columns");
        std::vector<double> p(groups_, 0.0);
        bool usable = present >= groups_;
        for (std::size_t g = 0; g < groups_ && g < present; ++g) {
            const std::size_t n = firstProbabilityField + g;
            const std::string& text = fields[n - 1].text;
            p[g] = readNumber(text);
            const std::string group = "group " + std::to_string(g + 1);
            if (!isCleanNumber(text)) {
                usable = false;
                poolFinding(lineNo, static_cast<std::int64_t>(fields[n - 1].column), FindingKind::Error,
                            "the probability of " + group + " " + inQuotes(text) + " is not a number; it reads as " +
                                number(p[g]),
                            "write a probability from 0 to 1");
            } else if (!(p[g] >= 0.0 && p[g] <= 1.0)) {
                usable = false;
                poolFinding(lineNo, static_cast<std::int64_t>(fields[n - 1].column), FindingKind::Error,
                            "the probability of " + group + " is " + number(p[g]) + ", outside 0 to 1",
                            "write a probability from 0 to 1");
            }
        }
        if (!usable || groups_ < 2) return;
        bool allEqual = true;
        for (std::size_t g = 1; g < groups_; ++g) allEqual = allEqual && p[g] == p[0];
        for (std::size_t b = 0; b + 1 < groups_; ++b) {
            const double ratio = p[b] / p[b + 1];
            const bool defined = ratio > 0.0 && std::isfinite(ratio);
            discrimination[b].push_back(defined ? std::fabs(std::log(ratio)) : 0.0);
        }
        if (allEqual) {
            poolFinding(lineNo, columnAt(fields, firstProbabilityField, line), FindingKind::Warning,
                        name +
                            " has the same probability in every group, so it never tells the groups apart "
                            "(MaxDiscr scores it last)",
                        "correct its probabilities, or drop the item");
            return;
        }
        for (std::size_t b = 0; b + 1 < groups_; ++b) {
            if (p[b] > 0.0 && p[b + 1] > 0.0) continue;
            poolFinding(lineNo, columnAt(fields, firstProbabilityField + (p[b] > 0.0 ? b + 1 : b), line),
                        FindingKind::Warning,
                        name + " has probability 0 in group " + std::to_string(p[b] > 0.0 ? b + 2 : b + 1) +
                            ", so its ratio between groups " + std::to_string(b + 1) + " and " + std::to_string(b + 2) +
                            " is 0 or infinite (MaxDiscr scores it last, and one answer rules a group out)",
                        "use a small probability such as .01 instead of 0");
            return;
        }
    }

    void checkCollectionNumbers() {
        const std::set<std::int32_t> inDeck(pool_.deck.begin(), pool_.deck.end());
        for (const auto& [collection, firstLine] : pool_.firstLineOf) {
            const std::int64_t line = firstLine;
            const KeptItem& first = *std::find_if(pool_.items.begin(), pool_.items.end(),
                                                  [&](const KeptItem& item) { return item.line == line; });
            const std::int64_t kept = keptIn(pool_, collection);
            const std::string name = "collection " + std::to_string(collection);
            if (inDeck.count(collection) && collection > highestDeckCollection) {
                poolFinding(line, first.collectionColumn, FindingKind::Error,
                            name + " is above " + std::to_string(highestDeckCollection) +
                                ": whenever the deck draws it the run shows \"icol error\" and stops",
                            "number the collections 1 to 8");
            } else if (!settings_.followScript && !inDeck.count(collection) &&
                       !(collection == 0 && pool_.deck.empty())) {
                const std::string why = collection < 1
                                            ? "collection " + std::to_string(collection) + " never enters the deck"
                                            : name + " has only " + plural(kept, "item", "items") +
                                                  ", too few (6 or more) to enter the deck";
                poolFinding(line, first.collectionColumn, FindingKind::Warning,
                            why + ", so without Follow Script its items are never given",
                            "merge it into a larger collection or name it in a script");
            }
        }
    }

    void scriptFinding(std::int64_t line, std::int64_t column, FindingKind kind, std::string what, std::string fix,
                       bool refusesLoad = false) {
        findings_.add(CheckedInput::Script, settings_.scriptFile, line, column, kind, std::move(what), std::move(fix),
                      refusesLoad);
    }

    void checkScript() {
        std::vector<std::string> lines;
        try {
            lines = readInputLines(settings_.scriptFile, "Script");
        } catch (const InputError& error) {
            // The loader's own words: not available, or a line too long to read.
            scriptFinding(1, 1, FindingKind::Error, error.what(), "check the file name and its permissions, or turn off Follow Script", true);
            return;
        }
        for (std::size_t row = 1; row < lines.size(); ++row) {
            const std::int64_t lineNo = static_cast<std::int64_t>(row) + 1;
            const std::vector<CsvField> fields = csvFieldsWithColumns(lines[row]);
            const std::string collection = textAt(fields, 2);
            const std::string factor = textAt(fields, 4);
            ScriptSlot slot{readInteger(collection), readInteger(factor)};
            slots_.push_back({slot, lineNo});
            const bool used = static_cast<std::int64_t>(row) <= settings_.maxTestLength;
            if (!used) continue;
            if (!isCleanNumber(collection) || !isWholeNumber(readNumber(collection)))
                scriptFinding(lineNo, columnAt(fields, 2, lines[row]), FindingKind::Warning,
                              "the collection " + inQuotes(collection) + " is not a whole number; it reads as " +
                                  std::to_string(slot.slotCollection),
                              "write the collection as a whole number in column B");
            if (!isCleanNumber(factor) || !isWholeNumber(readNumber(factor)))
                scriptFinding(lineNo, columnAt(fields, 4, lines[row]), FindingKind::Warning,
                              "the factor " + inQuotes(factor) + " is not a whole number; it reads as " +
                                  std::to_string(slot.slotFactor),
                              "write the randomization factor as a whole number in column D");
            else if (slot.slotFactor < 1)
                scriptFinding(lineNo, columnAt(fields, 4, lines[row]), FindingKind::Warning,
                              "the factor " + std::to_string(slot.slotFactor) + " is below 1 and counts as 1",
                              "write a factor of 1 or more");
        }
        if (slots_.empty()) {
            scriptFinding(lines.empty() ? 1 : 2, 1, FindingKind::Error, "the script has no slots after its header",
                          "add one line per test position from line 2 on", true);
        } else if (static_cast<std::int64_t>(slots_.size()) < settings_.maxTestLength) {
            scriptFinding(static_cast<std::int64_t>(lines.size()), 1, FindingKind::Error,
                          "the script has " + plural(static_cast<std::int64_t>(slots_.size()), "slot", "slots") +
                              " but Maximum test length is " + std::to_string(settings_.maxTestLength),
                          "add slots up to the test length, or shorten the test", true);
        }
    }

    void enemiesFinding(std::int64_t line, std::int64_t column, FindingKind kind, std::string what, std::string fix,
                        bool refusesLoad = false) {
        findings_.add(CheckedInput::Enemies, settings_.enemiesFile, line, column, kind, std::move(what), std::move(fix),
                      refusesLoad);
    }

    void checkEnemies() {
        std::vector<std::string> lines;
        try {
            lines = readInputLines(settings_.enemiesFile, "Enemies");
        } catch (const InputError& error) {
            // The loader's own words: not available, or a line too long to read.
            enemiesFinding(1, 1, FindingKind::Error, error.what(), "check the file name and its permissions, or turn off Block enemies", true);
            return;
        }
        std::unordered_map<std::string, std::int32_t> positionOf;
        for (std::size_t i = pool_.items.size(); i >= 1; --i)
            positionOf[pool_.items[i - 1].id] = static_cast<std::int32_t>(i);
        for (std::size_t row = 1; row < lines.size(); ++row) {
            const std::int64_t lineNo = static_cast<std::int64_t>(row) + 1;
            const std::string& line = lines[row];
            const std::vector<CsvField> fields = csvFieldsWithColumns(line);
            const std::string countText = textAt(fields, 2);
            const std::int32_t named = readInteger(countText);
            if (!isCleanNumber(countText) || !isWholeNumber(readNumber(countText)))
                enemiesFinding(
                    lineNo, columnAt(fields, 2, line), FindingKind::Warning,
                    "the count " + inQuotes(countText) + " is not a whole number; it reads as " + std::to_string(named),
                    "write in column B how many identifiers the set lists");
            const std::size_t last = std::max<std::int64_t>(named, 1) + 2 > static_cast<std::int64_t>(fields.size())
                                         ? std::max<std::size_t>(fields.size(), 3)
                                         : static_cast<std::size_t>(std::max<std::int64_t>(named, 1) + 2);
            if (named >= 1 && static_cast<std::int64_t>(named) + 2 > static_cast<std::int64_t>(fields.size()))
                enemiesFinding(lineNo, columnAt(fields, 2, line), FindingKind::Warning,
                               "the set says it lists " + std::to_string(named) + " identifiers but the row has " +
                                   std::to_string(fields.size() >= 3 ? fields.size() - 2 : 0),
                               "correct the count in column B");
            std::size_t ignored = 0;
            for (std::size_t n = last + 1; n <= fields.size(); ++n)
                if (!trimSpaces(fields[n - 1].text).empty()) ++ignored;
            if (ignored > 0)
                enemiesFinding(lineNo, static_cast<std::int64_t>(fields[last].column), FindingKind::Warning,
                               plural(static_cast<std::int64_t>(ignored), "identifier", "identifiers") + " after the " +
                                   std::to_string(last - 2) + " that column B counts " + (ignored == 1 ? "is" : "are") +
                                   " ignored",
                               "raise the count in column B to " + std::to_string(last - 2 + ignored));
            std::set<std::int32_t> members;
            for (std::size_t n = 3; n <= last; ++n) {
                const std::string id = trimSpaces(textAt(fields, n));
                const std::int64_t column = columnAt(fields, n, line);
                const auto found = positionOf.find(id);
                if (found != positionOf.end()) {
                    members.insert(found->second);
                } else if (n <= fields.size() || n == 3) {
                    const bool dropped = pool_.droppedIds.count(id) > 0;
                    enemiesFinding(
                        lineNo, column, FindingKind::Warning,
                        id.empty()
                            ? std::string("an empty identifier names no item")
                            : "identifier " + inQuotes(id) +
                                  (dropped ? " is dropped by Drop items and names no item" : " is not in the pool"),
                        dropped ? "remove it from the set, or keep the item" : "correct the identifier or remove it");
                }
            }
            if (members.size() == 1)
                enemiesFinding(lineNo, columnAt(fields, 3, line), FindingKind::Warning,
                               "the set names only one item of the pool, so it blocks nothing else",
                               "list at least two items that must not share a test");
            enemySets_.push_back({std::vector<std::int32_t>(members.begin(), members.end()), lineNo});
        }
        if (enemySets_.empty())
            enemiesFinding(lines.empty() ? 1 : 2, 1, FindingKind::Error,
                           "the enemies file has no sets after its header",
                           "add one set per line from line 2 on, or turn off Block enemies", true);
    }

    // How many items of a collection one test can surely use when every item given blocks as many
    // others of the collection as it can: the worst order the selection might take.
    std::int64_t worstUsable(std::int32_t collection) const {
        std::vector<std::int32_t> open;
        for (std::size_t i = 0; i < pool_.items.size(); ++i)
            if (pool_.items[i].collection == collection) open.push_back(static_cast<std::int32_t>(i + 1));
        std::set<std::int32_t> available(open.begin(), open.end());
        const auto blockedBy = [&](std::int32_t item) {
            std::set<std::int32_t> blocked;
            for (const EnemyRow& set : enemySets_)
                if (std::binary_search(set.members.begin(), set.members.end(), item))
                    for (std::int32_t other : set.members)
                        if (available.count(other)) blocked.insert(other);
            blocked.insert(item);
            return blocked;
        };
        std::int64_t used = 0;
        while (!available.empty()) {
            std::set<std::int32_t> worst;
            for (std::int32_t item : available) {
                std::set<std::int32_t> blocked = blockedBy(item);
                if (blocked.size() > worst.size()) worst = std::move(blocked);
            }
            for (std::int32_t item : worst) available.erase(item);
            ++used;
        }
        return used;
    }

    // Where a collection's shortage is best shown: the script slot, else its first pool item.
    void reportRunsDry(std::int32_t collection, std::int64_t need, std::int64_t test, std::int64_t scriptLine,
                       FindingKind kind, const std::string& how) {
        const std::int64_t kept = keptIn(pool_, collection);
        const std::string what = how + ", but it holds " + plural(kept, "item", "items") +
                                 (kind == FindingKind::Error ? "; the run stops" : "; the run may stop") + " with \"" +
                                 notEnoughItemsMessage(collection) + "\"" +
                                 (test > 0 ? " in test " + std::to_string(test) : std::string());
        const std::string fix = "add items to collection " + std::to_string(collection) +
                                ", or ask for it less often (" + std::to_string(need) + " needed)";
        if (scriptLine > 0) {
            scriptFinding(scriptLine, 1, kind, what, fix);
        } else {
            const auto first = pool_.firstLineOf.find(collection);
            poolFinding(first == pool_.firstLineOf.end() ? 1 : first->second, first == pool_.firstLineOf.end() ? 1 : 2,
                        kind, what, fix);
        }
    }

    void checkCollectionsRunDry() {
        if (!pool_.readable || pool_.items.empty()) return;
        const std::int64_t length = std::max(settings_.maxTestLength, 0);
        const std::int64_t tests = std::clamp(settings_.testsPerPerson, 1, 5);
        std::map<std::int32_t, std::int64_t> perTest;  // the most a single test asks of each collection
        if (settings_.followScript) {
            if (static_cast<std::int64_t>(slots_.size()) < length) return;  // the script itself is refused
            std::map<std::int32_t, std::int64_t> asked;
            for (std::int64_t k = 0; k < length; ++k) ++asked[slots_[static_cast<std::size_t>(k)].slot.slotCollection];
            for (const auto& [collection, firstLine] : pool_.firstLineOf) {
                if (asked.count(collection)) continue;
                const std::int64_t line = firstLine;
                const KeptItem& first = *std::find_if(pool_.items.begin(), pool_.items.end(),
                                                      [&](const KeptItem& item) { return item.line == line; });
                poolFinding(line, first.collectionColumn, FindingKind::Warning,
                            "no slot of the script asks for collection " + std::to_string(collection) +
                                ", so its items are never given",
                            "name the collection in the script, or merge its items into one it names");
            }
            for (const auto& [collection, n] : asked) {
                perTest[collection] = n;
                const std::int64_t kept = keptIn(pool_, collection);
                if (n * tests <= kept) continue;
                // The first test and slot at which the collection is empty.
                const std::int64_t test = kept / n + 1;
                const std::int64_t occurrence = kept - (test - 1) * n + 1;
                std::int64_t seen = 0;
                std::int64_t line = 0;
                for (std::int64_t k = 0; k < length && line == 0; ++k)
                    if (slots_[static_cast<std::size_t>(k)].slot.slotCollection == collection && ++seen == occurrence)
                        line = slots_[static_cast<std::size_t>(k)].line;
                reportRunsDry(collection, n * tests, test, line, FindingKind::Error,
                              "the script asks for collection " + std::to_string(collection) + " " +
                                  plural(n, "time", "times") + " per test over " + plural(tests, "test", "tests"));
            }
        } else {
            // Draws without replacement from the deck, refilled when used up, over all of an
            // examinee's positions: a collection with e entries in a deck of d is drawn between
            // these bounds.
            const std::vector<std::int32_t> deck = pool_.deck.empty() ? std::vector<std::int32_t>{0} : pool_.deck;
            std::map<std::int32_t, std::int64_t> entries;
            for (std::int32_t c : deck) ++entries[c];
            const std::int64_t d = static_cast<std::int64_t>(deck.size());
            const auto draws = [&](std::int64_t positions, std::int64_t e, bool most) {
                const std::int64_t full = positions / d * e;
                const std::int64_t rest = positions % d;
                return full + (most ? std::min(rest, e) : std::max<std::int64_t>(0, rest - (d - e)));
            };
            for (const auto& [collection, e] : entries) {
                perTest[collection] = draws(length, e, true);
                const std::int64_t kept = keptIn(pool_, collection);
                const std::int64_t least = draws(length * tests, e, false);
                const std::int64_t most = draws(length * tests, e, true);
                if (most <= kept) continue;
                const std::string how =
                    pool_.deck.empty()
                        ? "no collection has the 6 items it needs to enter the deck, so every one of " +
                              std::to_string(length * tests) + " positions per examinee draws collection 0"
                        : "the deck draws collection " + std::to_string(collection) + " " +
                              (least == most ? std::to_string(most) : "up to " + std::to_string(most)) +
                              " times per examinee";
                reportRunsDry(collection, least < kept ? most : least, 0, 0,
                              least > kept ? FindingKind::Error : FindingKind::Warning, how);
            }
        }
        if (!settings_.blockEnemies || enemySets_.empty()) return;
        for (const auto& [collection, need] : perTest) {
            const std::int64_t kept = keptIn(pool_, collection);
            if (need * tests > kept) continue;  // already reported
            const std::int64_t usable = worstUsable(collection) - std::min<std::int64_t>(kept, need * (tests - 1));
            if (usable >= need) continue;
            std::int64_t line = 0;
            for (const EnemyRow& set : enemySets_) {
                const bool touches =
                    std::any_of(set.members.begin(), set.members.end(), [&, c = collection](std::int32_t item) {
                        return pool_.items[static_cast<std::size_t>(item - 1)].collection == c;
                    });
                if (touches && set.members.size() > 1) {
                    line = set.line;
                    break;
                }
            }
            if (line == 0) continue;
            enemiesFinding(line, 1, FindingKind::Warning,
                           "the enemy sets can block collection " + std::to_string(collection) + " down to " +
                               plural(std::max<std::int64_t>(usable, 0), "usable item", "usable items") +
                               " in a test that needs " + std::to_string(need) + "; the run may stop with \"" +
                               notEnoughItemsMessage(collection) + "\"",
                           "split the large sets, or add items to the collection");
        }
    }

    void responseRepeat(const std::string& rule, std::int64_t line, std::int64_t column, FindingKind kind,
                        std::string what, std::string fix) {
        findings_.repeat(rule, CheckedInput::Responses, settings_.responseFile, line, column, kind, std::move(what),
                         std::move(fix));
    }

    void checkResponses() {
        const std::string& file = settings_.responseFile;
        LineReader reader(file);
        if (!reader.isOpen()) {
            findings_.add(CheckedInput::Responses, file, 1, 1, FindingKind::Error, "the response file cannot be read",
                          "check the file name and its permissions");
            return;
        }
        const std::size_t items = pool_.items.size();
        std::vector<std::int64_t> blanks(items, 0);
        CheckSummary& summary = report_.summary;
        std::string line;
        std::int64_t lineNo = 0;
        while (reader.nextLine(line)) {
            ++lineNo;
            const ResponseRecord record = parseResponseLine(line);
            ++summary.examineesPerGroup[record.trueGroup];
            if (line.size() < groupColumn) {
                responseRepeat("short", lineNo, static_cast<std::int64_t>(line.size()) + 1, FindingKind::Warning,
                               "the line has " + std::to_string(line.size()) +
                                   " characters: group 1 and no answers (the true group is character 12)",
                               "remove the line, or complete it");
                continue;
            }
            if (!isDigit(line[groupColumn - 1]))
                responseRepeat("group-digit", lineNo, static_cast<std::int64_t>(groupColumn), FindingKind::Warning,
                               "character 12 " + inQuotes(std::string(1, line[groupColumn - 1])) +
                                   " is not a digit and reads as group 1",
                               "write the true group minus 1 as a digit in character 12");
            else if (record.trueGroup > settings_.groupCount)
                responseRepeat("group-range", lineNo, static_cast<std::int64_t>(groupColumn), FindingKind::Error,
                               "true group " + std::to_string(record.trueGroup) + " is above N Categories (" +
                                   std::to_string(settings_.groupCount) +
                                   "), so every decision on it is a false negative",
                               "check the digit (0 is group 1) or raise N Categories");
            const std::string& answers = record.answers;
            if (answers.size() < items)
                responseRepeat(
                    "answers-short", lineNo, static_cast<std::int64_t>(line.size()) + 1, FindingKind::Warning,
                    "the line has " + plural(static_cast<std::int64_t>(answers.size()), "answer", "answers") + " for " +
                        plural(static_cast<std::int64_t>(items), "pool item", "pool items") +
                        "; the missing ones count as wrong",
                    "give one answer per kept item from character 14 (check Drop items)");
            else if (answers.size() > items && pool_.readable)
                responseRepeat(
                    "answers-long", lineNo, static_cast<std::int64_t>(firstAnswerColumn + items), FindingKind::Warning,
                    "the line has " + plural(static_cast<std::int64_t>(answers.size()), "answer", "answers") + " for " +
                        plural(static_cast<std::int64_t>(items), "pool item", "pool items") +
                        "; the extra ones are ignored",
                    "give one answer per kept item from character 14 (check Drop items)");
            const std::size_t scored = std::min(answers.size(), items);
            for (std::size_t k = 0; k < scored; ++k) {
                const char c = answers[k];
                if (c == '0' || c == '1') continue;
                if (c == ' ') {
                    ++blanks[k];
                    continue;
                }
                const std::int64_t column = static_cast<std::int64_t>(firstAnswerColumn + k);
                if (isDigit(c))
                    responseRepeat("answer-digit", lineNo, column, FindingKind::Error,
                                   "answer " + inQuotes(std::string(1, c)) +
                                       " is neither right (1) nor wrong (0); it enters the update as the value " +
                                       std::string(1, c),
                                   "write 1, 0 or a blank");
                else
                    responseRepeat(
                        "answer-other", lineNo, column, FindingKind::Warning,
                        "answer " + inQuotes(std::string(1, c)) + " is not 0, 1 or a blank and counts as wrong",
                        "write 1, 0 or a blank");
            }
        }
        summary.examinees = lineNo;
        if (lineNo == 0) {
            findings_.add(CheckedInput::Responses, file, 1, 1, FindingKind::Warning,
                          "the response file has no examinees", "add one line per examinee");
            return;
        }
        for (std::size_t k = 0; k < items; ++k) {
            const double share = static_cast<double>(blanks[k]) / static_cast<double>(lineNo);
            if (share <= blankShareWarning) continue;
            findings_.add(CheckedInput::Responses, file, 1, static_cast<std::int64_t>(firstAnswerColumn + k),
                          FindingKind::Warning,
                          "item " + inQuotes(pool_.items[k].id) + " (pool position " + std::to_string(k + 1) +
                              ") is blank on " + number(std::round(share * 1000.0) / 10.0) +
                              "% of the lines, and blanks count as wrong",
                          "check its answer column, or drop the item");
        }
        for (std::int32_t g = 1; g <= settings_.groupCount && g <= 10; ++g)
            if (!summary.examineesPerGroup.count(g))
                findings_.add(CheckedInput::Responses, file, 1, static_cast<std::int64_t>(groupColumn),
                              FindingKind::Warning, "no examinee belongs to group " + std::to_string(g),
                              "check character 12 of the lines");
    }

    // The loader has the last word on whether the files load; a refusal the rules above do not
    // explain is still reported, with the loader's own message.
    void compareWithLoader() {
        CheckSummary& summary = report_.summary;
        std::error_code error;
        const bool resultsExisted = std::filesystem::exists(settings_.resultsFile, error);
        try {
            loadInputFiles(settings_);
            summary.loaderAccepts = true;
        } catch (const InputError& refusal) {
            summary.loaderMessage = refusal.what();
        }
        // Proving the results file writable may have created it; a check leaves nothing behind.
        if (!resultsExisted && std::filesystem::exists(settings_.resultsFile, error) &&
            std::filesystem::is_regular_file(settings_.resultsFile, error) &&
            std::filesystem::file_size(settings_.resultsFile, error) == 0)
            std::filesystem::remove(settings_.resultsFile, error);
        if (summary.loaderAccepts) return;
        const std::string& message = summary.loaderMessage;
        const auto startsWith = [&](std::string_view prefix) { return message.rfind(prefix, 0) == 0; };
        CheckedInput input = CheckedInput::Settings;
        std::string file;
        if (startsWith("Pool file")) {
            input = CheckedInput::Pool;
            file = settings_.poolFile;
        } else if (startsWith("Enemies file")) {
            input = CheckedInput::Enemies;
            file = settings_.enemiesFile;
        } else if (startsWith("Script file")) {
            input = CheckedInput::Script;
            file = settings_.scriptFile;
        } else if (startsWith("Output file")) {
            input = CheckedInput::Results;
            file = settings_.resultsFile;
        }
        if (findings_.hasError(input)) return;
        const bool whole = input == CheckedInput::Settings;
        findings_.add(input, file, whole ? 0 : 1, whole ? 0 : 1, FindingKind::Error,
                      "the run stops with " + inQuotes(message), "correct what the message names");
        findings_.list.back().refusesLoad = true;
        findings_.list.back().fromLoader = true;
    }

    struct SlotRow {
        ScriptSlot slot;
        std::int64_t line = 0;
    };
    struct EnemyRow {
        std::vector<std::int32_t> members;  // sorted pool positions, 0 left out
        std::int64_t line = 0;
    };

    const RunSettings& settings_;
    const std::size_t groups_;
    Findings findings_;
    CheckReport report_;
    PoolFacts pool_;
    std::vector<SlotRow> slots_;
    std::vector<EnemyRow> enemySets_;
};

const char* kindName(FindingKind kind) { return kind == FindingKind::Error ? "error" : "warning"; }

}  // namespace

std::int64_t CheckReport::count(FindingKind kind) const {
    return std::count_if(findings.begin(), findings.end(), [&](const Finding& f) { return f.kind == kind; });
}

CheckReport checkInputs(const RunSettings& settings) { return Checker(settings).run(); }

std::string findingText(const Finding& finding) {
    std::string text = finding.file;
    if (finding.input != CheckedInput::Settings)
        text += ":" + std::to_string(finding.line) + ":" + std::to_string(finding.column);
    return text + ": " + kindName(finding.kind) + ": " + finding.what + "; " + finding.fix;
}

std::string checkReportText(const CheckReport& report) {
    std::string text;
    std::size_t shownErrors = 0;
    std::size_t shownWarnings = 0;
    for (const Finding& finding : report.findings) {
        std::size_t& shown = finding.kind == FindingKind::Error ? shownErrors : shownWarnings;
        if (shown++ >= shownPerKind) continue;
        text += findingText(finding) + "\n";
    }
    if (shownErrors > shownPerKind) text += "... and " + std::to_string(shownErrors - shownPerKind) + " more errors\n";
    if (shownWarnings > shownPerKind)
        text += "... and " + std::to_string(shownWarnings - shownPerKind) + " more warnings\n";
    if (!report.findings.empty()) text += "\n";

    const CheckSummary& summary = report.summary;
    text += "Summary\n  Collections (kept/dropped):";
    for (const auto& [collection, count] : summary.collections)
        text += " " + std::to_string(collection) + ": " + std::to_string(count.kept) + "/" +
                std::to_string(count.dropped) + ";";
    if (summary.collections.empty()) text += " none";
    text += "\n";
    for (const BoundarySpread& spread : summary.discrimination)
        text += "  Discrimination, groups " + std::to_string(spread.lowerGroup) + "|" +
                std::to_string(spread.lowerGroup + 1) + ": min " + number(spread.min) + ", median " +
                number(spread.median) + ", max " + number(spread.max) + "\n";
    text += "  Priors:";
    if (!summary.hasPriorRow) {
        text += " no P_Grp row";
    } else {
        for (double prior : summary.priors) text += " " + number(prior);
    }
    text += "\n  Examinees: " + std::to_string(summary.examinees);
    for (const auto& [group, count] : summary.examineesPerGroup)
        text += "; group " + std::to_string(group) + ": " + std::to_string(count);
    text += "\n  ";
    const std::int64_t errors = report.count(FindingKind::Error);
    const std::int64_t warnings = report.count(FindingKind::Warning);
    text += plural(errors, "error", "errors") + ", " + plural(warnings, "warning", "warnings") + ". ";
    text += summary.canComplete ? "The run can complete with these settings.\n"
                                : "The run cannot complete with these settings.\n";
    return text;
}

int checkExitCode(const CheckReport& report) {
    if (report.count(FindingKind::Error) > 0) return 1;
    if (report.count(FindingKind::Warning) > 0) return 3;
    return 0;
}

}  // namespace quillon
