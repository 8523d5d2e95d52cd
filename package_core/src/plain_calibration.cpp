// Calibration and scoring as the packages ask for them: answers as files, lines or a matrix, the
// options by name, and the pool, calibration, fit and score tables handed back as plain tables.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "plain_internal.h"
#include "quillon/calibration/calibration.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/scoring/scoring.h"
#include "quillon/text/csv_fields.h"

namespace quillon {

namespace {

// Past this a group number is surely a mistake, and would make a table of that many columns.
constexpr double maxPlainGroup = 1000;

std::string wholeText(double x) { return std::to_string(static_cast<std::int64_t>(x)); }

bool isWhole(double x, double low, double high) { return x == std::floor(x) && x >= low && x <= high; }

// A number a caller gave, as a message shows it.
std::string numberText(double x) { return formatRoundTrip(x); }

// The items a package named, or none: then the reader names them.
Outcome<std::vector<ObservedItem>> plainItems(const PlainAnswers& data) {
    const std::size_t count = std::max(data.itemIds.size(), data.collections.size());
    if (!data.itemIds.empty() && !data.collections.empty() && data.itemIds.size() != data.collections.size())
        return Failure{FailureKind::Input, std::to_string(data.itemIds.size()) + " item identifiers but " +
                                               std::to_string(data.collections.size()) + " collections"};
    if (data.form == PlainAnswers::Form::Matrix && count != 0 && count != data.columns)
        return Failure{FailureKind::Input, "The data have " + std::to_string(data.columns) + " items but " +
                                               std::to_string(count) + " are named"};
    std::vector<ObservedItem> items(count);
    for (std::size_t i = 0; i < count; ++i) {
        items[i].id = data.itemIds.empty() ? defaultItemId(i) : data.itemIds[i];
        if (data.collections.empty()) continue;
        const double c = data.collections[i];
        if (!isWhole(c, 1, std::numeric_limits<std::int32_t>::max()))
            return Failure{FailureKind::Input, "Item " + items[i].id + ": collection " + numberText(c) +
                                                   " is not a whole number of at least 1"};
        items[i].collection = static_cast<std::int32_t>(c);
    }
    return items;
}

// A matrix taken cell by cell: anything but 1, 0 and a missing value is refused, as a response
// file refuses any other character.
Outcome<ObservedAnswers> matrixAnswers(const PlainAnswers& data, std::vector<ObservedItem> items) {
    if (data.cells.size() != data.rows * data.columns)
        return Failure{FailureKind::Input,
                       "The data matrix has " + std::to_string(data.cells.size()) + " cells, not rows times columns"};
    if (!data.examineeIds.empty() && data.examineeIds.size() != data.rows)
        return Failure{FailureKind::Input, "The data have " + std::to_string(data.rows) + " examinees but " +
                                               std::to_string(data.examineeIds.size()) + " identifiers"};
    ObservedAnswers answers;
    answers.items = std::move(items);
    if (answers.items.empty()) {
        for (std::size_t i = 0; i < data.columns; ++i) answers.items.push_back({defaultItemId(i), 1});
    }
    for (std::size_t r = 0; r < data.rows; ++r) {
        const std::string origin = "data row " + std::to_string(r + 1);
        answers.addExaminee(data.examineeIds.empty() ? std::to_string(r + 1) : data.examineeIds[r], 0, origin);
        for (std::size_t c = 0; c < data.columns; ++c) {
            const double x = data.cells[r * data.columns + c];
            Answer& answer = answers.answers[r * data.columns + c];
            if (std::isnan(x))
                answer = Answer::NotAdministered;
            else if (x == 1)
                answer = Answer::Right;
            else if (x == 0)
                answer = Answer::Wrong;
            else
                return Failure{FailureKind::Input,
                               "Data row " + std::to_string(r + 1) + ", column " + std::to_string(c + 1) + ": " +
                                   numberText(x) + " is neither 1 (right), 0 (wrong) nor missing (not administered)"};
        }
    }
    return answers;
}

// Parses the whole of `value` as a number of type T.
template <class T>
bool parsed(std::string_view value, T& out) {
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), out);
    return !value.empty() && error == std::errc() && end == value.data() + value.size();
}

PlainProblem notA(const std::string& shown, const std::string& value, const char* what) {
    return {PlainProblemKind::SettingValue, "setting " + shown + ": \"" + value + "\" is not " + what};
}

constexpr const char* calibrationSettingNames[] = {"prior",  "min-answers", "drop-thin", "group-count",   "latent",
                                                   "starts", "seed",        "tolerance", "max-iterations"};

// The calibration options the request names; a problem names the setting as given.
PlainProblem calibrationOptions(const PlainCalibrationRequest& request, CalibrationOptions& options) {
    for (const auto& [shown, value] : request.settings) {
        const std::string name = runnerName(shown);
        std::int64_t whole = 0;
        PlainProblem problem;
        if (name == "prior") {
            if (!readPriorText(value, options)) return notA(shown, value, "two numbers A,B");
        } else if (name == "min-answers") {
            problem = wholeSetting(shown, value, 0, std::numeric_limits<std::int64_t>::max(), options.minAnswers);
        } else if (name == "drop-thin") {
            if (value != "true" && value != "false") return notA(shown, value, "true or false");
            options.dropThin = value == "true";
        } else if (name == "group-count") {
            // The pool's groups, beyond the highest the data hold.
            problem = wholeSetting(shown, value, 1, std::numeric_limits<std::int32_t>::max(), whole);
            options.groups = static_cast<std::int32_t>(whole);
        } else if (name == "latent") {
            // G, or G..H to fit every class count between and let BIC choose.
            if (!readLatentText(value, options)) return notA(shown, value, "a class count G or a range G..H");
        } else if (name == "starts") {
            problem = wholeSetting(shown, value, 1, std::numeric_limits<std::int32_t>::max(), whole);
            options.starts = static_cast<std::int32_t>(whole);
        } else if (name == "seed") {
            if (!parsed(value, options.seed))
                return notA(shown, value, "a whole number from 0 to 18446744073709551615");
        } else if (name == "tolerance") {
            if (!parsed(value, options.tolerance)) return notA(shown, value, "a number");
        } else if (name == "max-iterations") {
            problem = wholeSetting(shown, value, 1, std::numeric_limits<std::int32_t>::max(), whole);
            options.maxIterations = static_cast<std::int32_t>(whole);
        } else {
            std::vector<std::string> names(std::begin(calibrationSettingNames), std::end(calibrationSettingNames));
            return unknownName("setting", shown, names, request.argumentNames);
        }
        if (problem) return problem;
    }
    return {};
}

PlainTable poolTable(const CalibratedPool& pool) {
    PlainTable table;
    table.columns = {textColumn("item"), numberColumn("collection"), numberColumn("drop")};
    for (std::int32_t g = 1; g <= pool.groupCount; ++g)
        table.columns.push_back(numberColumn("p_group_" + std::to_string(g)));
    for (std::size_t i = 0; i < pool.items.size(); ++i) {
        table.columns[0].texts.push_back(pool.items[i].id);
        table.columns[1].numbers.push_back(pool.items[i].collection);
        table.columns[2].numbers.push_back(i < pool.dropped.size() && pool.dropped[i] ? 1.0 : 0.0);
        for (std::int32_t g = 1; g <= pool.groupCount; ++g)
            table.columns[2 + static_cast<std::size_t>(g)].numbers.push_back(pool.at(i, g).estimate);
    }
    return table;
}

// One of the tables the runner's calibrate and score write, read back as a plain table, so that
// the packages' columns are the file's; its numbers are written to read back as the same doubles.
// `texts` names the text columns, `wholes` the whole-number ones the plain names do not make whole.
PlainTable writtenTable(const std::string& text, const std::vector<std::string>& texts,
                        const std::vector<std::string>& wholes) {
    const std::optional<std::vector<std::vector<std::string>>> records = quotedCsvRecords(text);
    PlainTable table;
    if (!records || records->empty()) throw FailureError(FailureKind::Output, "A table could not be read back");
    const auto named = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (const std::string& name : records->front()) {
        table.columns.push_back(named(texts, name) ? textColumn(name) : numberColumn(name));
        if (named(wholes, name)) table.columns.back().whole = true;
    }
    for (std::size_t r = 1; r < records->size(); ++r) {
        const std::vector<std::string>& row = (*records)[r];
        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            PlainColumn& column = table.columns[c];
            const std::string field = c < row.size() ? row[c] : std::string();
            double x = std::numeric_limits<double>::quiet_NaN();
            if (column.isText)
                column.texts.push_back(field);
            else if (field.empty() || parsed(field, x))
                column.numbers.push_back(x);
            else
                throw FailureError(FailureKind::Output, "Table field \"" + field + "\" is not a number");
        }
    }
    return table;
}

template <class Result>
Result& failed(Result& result, PlainProblemKind kind, std::string text) {
    result.errorKind = kind;
    result.error = std::move(text);
    return result;
}

template <class Result>
Result& failed(Result& result, const Failure& failure) {
    return failed(result, plainProblemKind(failure.kind), withLineFeeds(failure.message));
}

}  // namespace

Outcome<ObservedAnswers> plainObservedAnswers(const PlainAnswers& data) {
    Outcome<std::vector<ObservedItem>> items = plainItems(data);
    if (!items) return items.failure();
    Outcome<ObservedAnswers> answers = Failure{FailureKind::Input, "No data were given"};
    switch (data.form) {
        case PlainAnswers::Form::Paths:
            if (data.paths.empty()) return Failure{FailureKind::Input, "No data file was given"};
            answers = readObservedAnswerFiles(data.paths, std::move(*items));
            break;
        case PlainAnswers::Form::Text:
            answers = readObservedAnswers({AnswerSource{"data.csv", data.text}}, std::move(*items));
            break;
        case PlainAnswers::Form::Matrix:
            answers = matrixAnswers(data, std::move(*items));
            break;
    }
    if (!answers || data.groups.empty()) return answers;
    // Groups given beside the answers are the examinees' own, instead of any digit in the lines.
    if (data.groups.size() != answers->examineeCount())
        return Failure{FailureKind::Input, "The data have " + std::to_string(answers->examineeCount()) +
                                               " examinees but " + std::to_string(data.groups.size()) + " groups"};
    for (std::size_t e = 0; e < data.groups.size(); ++e) {
        const double g = data.groups[e];
        if (!std::isnan(g) && !isWhole(g, 1, maxPlainGroup))
            return Failure{FailureKind::Input, "Examinee " + std::to_string(e + 1) + ": group " + numberText(g) +
                                                   " is not a whole number from 1 to " + wholeText(maxPlainGroup)};
        answers->groups[e] = std::isnan(g) ? 0 : static_cast<std::int32_t>(g);
    }
    return answers;
}

Outcome<std::string> answerLines(const PlainAnswers& data, std::int32_t groupCount) {
    if (data.form != PlainAnswers::Form::Matrix)
        return Failure{FailureKind::Input, "A run takes its data as a path, response lines or a matrix"};
    if (data.groups.empty())
        return Failure{FailureKind::Input, "A data matrix needs each examinee's true group (groups)"};
    const Outcome<ObservedAnswers> answers = plainObservedAnswers(data);
    if (!answers) return answers.failure();
    // One digit in the line holds the group, 0 for group 1.
    const std::int32_t highest = std::min(groupCount, 10);
    std::string text;
    text.reserve(answers->examineeCount() * (answers->itemCount() + 15));
    for (std::size_t e = 0; e < answers->examineeCount(); ++e) {
        const std::string& id = answers->examineeIds[e];
        const std::int32_t group = answers->groups[e];
        if (group < 1 || group > highest)
            return Failure{FailureKind::Input,
                           "Examinee " + std::to_string(e + 1) + ": " +
                               (group == 0 ? std::string("no true group") : "group " + std::to_string(group)) +
                               "; a run takes groups from 1 to " + std::to_string(highest) +
                               (groupCount > 10 ? " (one digit in a response line)" : " (categories)")};
        // Characters 1 to 11 hold the identifier; a line end inside it would split the line.
        if (id.size() > 11 || id.find_first_of("\r\n") != std::string::npos)
            return Failure{FailureKind::Input, "Examinee " + std::to_string(e + 1) + ": identifier \"" + id +
                                                   "\" is not at most 11 characters on one line"};
        text += id;
        text.append(11 - id.size(), ' ');
        text += static_cast<char>('0' + group - 1);
        text += ' ';
        for (std::size_t i = 0; i < answers->itemCount(); ++i) {
            const Answer answer = answers->answer(e, i);
            text += answer == Answer::Right ? '1' : answer == Answer::Wrong ? '0' : ' ';
        }
        text += "\r\n";
    }
    return text;
}

PlainCalibrationResult calibratePlain(const PlainCalibrationRequest& request) {
    PlainCalibrationResult result;
    try {
        CalibrationOptions options;
        if (const PlainProblem problem = calibrationOptions(request, options))
            return failed(result, problem.kind, problem.text);
        const Outcome<ObservedAnswers> data = plainObservedAnswers(request.data);
        if (!data) return failed(result, data.failure());
        const Outcome<Calibration> calibration = calibratePool(*data, options);
        if (!calibration) return failed(result, calibration.failure());
        const CalibratedPool& pool = calibration->pool;
        result.warnings = calibration->warnings;
        result.pool = poolTable(pool);
        result.calibration = writtenTable(calibrationTableText(pool), {"item", "flags"}, {"group"});
        result.hasFit = options.latentMax > 0;
        if (result.hasFit)
            result.fit = writtenTable(latentFitTableText(*calibration), {},
                                      {"classes", "parameters", "iterations", "converged", "starts_at_best", "chosen"});
        result.priors = pool.groupShares;
        result.groupSizes = pool.groupSizes;
    } catch (const FailureError& error) {
        failed(result, plainProblemKind(error.kind()), error.what());
    } catch (const std::exception& error) {
        failed(result, PlainProblemKind::Message, error.what());
    }
    return result;
}

PlainScoreResult scorePlain(const PlainScoreRequest& request) {
    PlainScoreResult result;
    try {
        ScoreOptions options;
        if (const PlainProblem problem = plainRunSettings(request.settings, request.argumentNames, options.settings))
            return failed(result, problem.kind, problem.text);
        options.sequential = request.sequential;
        for (std::size_t e = 0; e < request.itemOrders.size(); ++e) {
            std::vector<std::int32_t>& order = options.itemOrders.emplace_back();
            for (const double position : request.itemOrders[e]) {
                if (std::isnan(position)) continue;  // the padding of a shorter order
                if (!isWhole(position, 1, std::numeric_limits<std::int32_t>::max()))
                    return failed(result, PlainProblemKind::Input,
                                  "Item order of examinee " + std::to_string(e + 1) + ": " + numberText(position) +
                                      " is not a pool position (a whole number from 1)");
                order.push_back(static_cast<std::int32_t>(position) - 1);
            }
        }
        const Outcome<ItemPool> pool = loadPlainPool(request.pool, request.priors, options.settings);
        if (!pool) return failed(result, pool.failure());
        const Outcome<ObservedAnswers> data = plainObservedAnswers(request.data);
        if (!data) return failed(result, data.failure());
        const Outcome<std::vector<ExamineeScore>> scores = scoreExaminees(*pool, *data, options);
        if (!scores) return failed(result, scores.failure());
        result.scores = writtenTable(scoreTableText(*scores, options), {"examinee", "line"},
                                     {"answered", "right", "bayes_decision", "sprt_decision"});
        for (PlainColumn& column : result.scores.columns) {
            if (column.name.starts_with("stop_length_")) column.whole = true;
        }
    } catch (const FailureError& error) {
        failed(result, plainProblemKind(error.kind()), error.what());
    } catch (const std::exception& error) {
        failed(result, PlainProblemKind::Message, error.what());
    }
    return result;
}

}  // namespace quillon
