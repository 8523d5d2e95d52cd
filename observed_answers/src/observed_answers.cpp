#include "quillon/observed_answers/observed_answers.h"

#include <cstdio>
#include <utility>

#include "quillon/engine/input_files.h"
#include "quillon/engine/run_settings.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {
namespace {

constexpr std::size_t groupColumn = 12;
constexpr std::size_t firstAnswerColumn = 14;

Failure inputFailure(std::string message) { return Failure{FailureKind::Input, std::move(message)}; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void ObservedAnswers::addExaminee(std::string id, std::int32_t group, std::string origin) {
    examineeIds.push_back(std::move(id));
    groups.push_back(group);
    origins.push_back(std::move(origin));
    answers.resize(answers.size() + items.size(), Answer::NotAdministered);
}

std::string defaultItemId(std::size_t index) {
    char text[32];
    std::snprintf(text, sizeof text, "I%04zu", index + 1);
    return text;
}

Outcome<std::vector<ObservedItem>> readItemFile(const std::string& path) {
    const std::optional<std::string> text = readWholeFile(path);
    if (!text) return inputFailure("Item file " + path + " cannot be read.");
    const std::vector<std::string> lines = splitLines(*text);
    std::vector<ObservedItem> items;
    for (std::size_t n = 1; n < lines.size(); ++n) {
        const std::vector<std::string> fields = csvFields(lines[n]);
        const std::string where = "Item file " + path + ", line " + std::to_string(n + 1) + ": ";
        ObservedItem item;
        item.id = fields.empty() ? std::string() : trimSpaces(fields[0]);
        if (item.id.empty()) return inputFailure(where + "the item has no identifier in column A.");
        const std::string collection = fields.size() > 1 ? trimSpaces(fields[1]) : std::string();
        if (!collection.empty()) {
            item.collection = readInteger(collection);
            if (item.collection < 1 || item.collection > 20 || std::to_string(item.collection) != collection)
                return inputFailure(where + "the collection \"" + collection +
                                    "\" is not a whole number from 1 to 20.");
        }
        items.push_back(std::move(item));
    }
    if (items.empty()) return inputFailure("Item file " + path + " names no item after its header line.");
    return items;
}

Outcome<ObservedAnswers> readObservedAnswers(const std::vector<AnswerSource>& sources,
                                             std::vector<ObservedItem> items) {
    const bool itemsGiven = !items.empty();
    std::size_t itemCount = items.size();
    // Without an item list the widest line sets the columns, so the lines are split first.
    std::vector<std::vector<std::string>> linesOf;
    linesOf.reserve(sources.size());
    for (const AnswerSource& source : sources) {
        linesOf.push_back(splitLines(source.text));
        for (std::size_t n = 0; n < linesOf.back().size(); ++n) {
            const std::string& line = linesOf.back()[n];
            const std::size_t answered = line.size() >= firstAnswerColumn ? line.size() - firstAnswerColumn + 1 : 0;
            if (itemsGiven && answered > itemCount)
                return inputFailure(source.name + ", line " + std::to_string(n + 1) + ": the line answers " +
                                    std::to_string(answered) + " items, but the item file names " +
                                    std::to_string(itemCount) + ".");
            if (!itemsGiven && answered > itemCount) itemCount = answered;
        }
    }
    if (!itemsGiven)
        for (std::size_t i = 0; i < itemCount; ++i) items.push_back({defaultItemId(i), 1});

    ObservedAnswers data;
    data.items = std::move(items);
    for (std::size_t s = 0; s < sources.size(); ++s) {
        for (std::size_t n = 0; n < linesOf[s].size(); ++n) {
            const std::string& line = linesOf[s][n];
            const std::string origin = sources[s].name + " line " + std::to_string(n + 1);
            const std::int32_t group =
                line.size() >= groupColumn && isDigit(line[groupColumn - 1]) ? 1 + (line[groupColumn - 1] - '0') : 0;
            data.addExaminee(responseLineId(line), group, origin);
            Answer* row = data.answers.data() + (data.examineeCount() - 1) * data.itemCount();
            for (std::size_t k = firstAnswerColumn - 1; k < line.size(); ++k) {
                const char c = line[k];
                if (c == ' ') continue;
                if (c != '0' && c != '1')
                    return inputFailure(sources[s].name + ", line " + std::to_string(n + 1) + ", column " +
                                        std::to_string(k + 1) + ": the answer \"" + std::string(1, c) +
                                        "\" is not 1 (right), 0 (wrong) or a blank (not administered).");
                row[k - (firstAnswerColumn - 1)] = c == '1' ? Answer::Right : Answer::Wrong;
            }
        }
    }
    return data;
}

Outcome<ObservedAnswers> readObservedAnswerFiles(const std::vector<std::string>& paths,
                                                 std::vector<ObservedItem> items) {
    std::vector<AnswerSource> sources;
    for (std::size_t a = 0; a < paths.size(); ++a) {
        const std::string& path = paths[a];
        // The same answers read twice would count each examinee twice and halve every standard error.
        for (std::size_t b = 0; b < a; ++b)
            if (namesOneFile(path, paths[b]))
                return Failure{FailureKind::Usage, "Data file " + path + " is given twice (as " + paths[b] + ")."};
        std::optional<std::string> text = readWholeFile(path);
        if (!text) return inputFailure("Data file " + path + " cannot be read.");
        sources.push_back({path, std::move(*text)});
    }
    return readObservedAnswers(sources, std::move(items));
}

}  // namespace quillon
