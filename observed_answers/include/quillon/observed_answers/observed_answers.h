#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "quillon/outcome/outcome.h"

namespace quillon {

/// One observed answer. Real examinees (a pilot, or those being scored) are rarely given every
/// item, so a blank means the item was not administered; the simulation, which replays a
/// complete record, scores the same blank as wrong.
enum class Answer : std::int8_t { NotAdministered = -1, Wrong = 0, Right = 1 };

/// An item as observed data name it: its identifier and content collection.
struct ObservedItem {
    std::string id;
    std::int32_t collection = 1;
};

/// Real examinees' answers, one row per examinee and one column per item, in the order read.
struct ObservedAnswers {
    std::vector<ObservedItem> items;
    std::vector<std::string> examineeIds;  // characters 1 to 11 of the line, without blanks around
    std::vector<std::int32_t> groups;      // 1 + the digit in character 12; 0 when it is no digit
    std::vector<std::string> origins;      // where each examinee's line stands, "FILE line N"
    std::vector<Answer> answers;           // [examinee * itemCount() + item]

    std::size_t itemCount() const { return items.size(); }
    std::size_t examineeCount() const { return groups.size(); }

    /// The answer of a 0-based examinee to a 0-based item.
    Answer answer(std::size_t examinee, std::size_t item) const { return answers[examinee * items.size() + item]; }

    /// Appends one examinee with no answer yet given (every item not administered).
    void addExaminee(std::string id, std::int32_t group, std::string origin);
};

/// The identifier an item gets when no item file names it: I0001, I0002, ... (0-based index).
std::string defaultItemId(std::size_t index);

/// Reads an item file: a header line, then one item per line, its identifier in column A and its
/// collection in column B (1 when empty); an Input failure names the file and line of a fault.
Outcome<std::vector<ObservedItem>> readItemFile(const std::string& path);

/// Response lines under a name for messages: a file's contents, or lines a package built.
struct AnswerSource {
    std::string name;
    std::string text;
};

/// Reads response lines in the usual layout (identifier in characters 1 to 11, the group digit in
/// 12, answers from 14 on): "1" right, "0" wrong, a blank or a position past the line's end not
/// administered. With `items` given, a line answering more items is refused; without, the longest
/// line sets the items, named by `defaultItemId`. Any other answer character is refused with the
/// source, line and column, since guessing what it meant would bias the estimates.
Outcome<ObservedAnswers> readObservedAnswers(const std::vector<AnswerSource>& sources,
                                             std::vector<ObservedItem> items = {});

/// `readObservedAnswers` over files, each named by its path; an Input failure when one cannot be
/// read, a Usage failure when one is given twice.
Outcome<ObservedAnswers> readObservedAnswerFiles(const std::vector<std::string>& paths,
                                                 std::vector<ObservedItem> items = {});

}  // namespace quillon
