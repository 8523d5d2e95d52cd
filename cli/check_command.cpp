#include "check_command.h"

#include <ostream>
#include <string_view>

#include "quillon/checker/input_checker.h"

namespace quillon::cli {

namespace {

// Quotes an argument for a POSIX shell when it holds anything but plain characters.
std::string shellWord(const std::string& word) {
    const bool plain = !word.empty() && word.find_first_not_of(
                                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                            "0123456789-_./=:,+@%") == std::string::npos;
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

int runCheckCommand(const RunSettings& settings, bool json, std::ostream& out) {
    const CheckReport report = checkInputs(settings);
    out << (json ? checkReportJson(report) : checkReportText(report));
    return checkExitCode(report);
}

std::string checkHint(int argc, const char* const* argv, const std::vector<std::string>* mergeParts) {
    std::string command = argc > 0 ? shellWord(argv[0]) : std::string("quillon-sim");
    command += " check";
    bool mergeWordLeft = mergeParts == nullptr;
    std::size_t partsLeft = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (!mergeWordLeft && word == "merge") {
            mergeWordLeft = true;
            continue;
        }
        if (mergeWordLeft && mergeParts && partsLeft < mergeParts->size() && word == (*mergeParts)[partsLeft]) {
            ++partsLeft;
            continue;
        }
        command += " " + shellWord(argv[i]);
    }
    return "To see where and why, run: " + command;
}

}  // namespace quillon::cli
