#pragma once

// What the checks of the separate inputs share: the findings so far and what the loads read.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "quillon/checker/input_checker.h"
#include "quillon/engine/input_files.h"

namespace quillon::checking {

/// Collects findings; rules that fire on line after line keep the first place and count the rest.
class Findings {
public:
    /// `ahead` lists the finding before those already at its place.
    Finding& add(CheckedInput input, const std::string& file, std::int64_t line, std::int64_t column, FindingKind kind,
                 std::string what, std::string fix, bool refusesLoad = false, bool ahead = false);

    /// A finding of a rule keyed by `rule`: the first place is kept and the rest only counted.
    void repeat(std::string_view rule, CheckedInput input, const std::string& file, std::int64_t line,
                std::int64_t column, FindingKind kind, std::string what, std::string fix);

    /// Adds the counts of repeated rules to their first findings.
    void closeRepeats();

    bool hasError(CheckedInput input) const;

    /// The findings by input, line and column, each place in the order they were found.
    std::vector<Finding> sorted();

private:
    struct Entry {
        Finding finding;
        bool ahead = false;
    };
    struct Repeat {
        std::size_t index = 0;
        std::int64_t more = 0;
    };
    std::vector<Entry> list_;
    std::map<std::string, Repeat, std::less<>> repeated_;
};

/// A parse's diagnostics, taken as findings about one input.
class InputDiagnostics : public LoadDiagnostics {
public:
    InputDiagnostics(Findings& findings, CheckedInput input) : findings_(findings), input_(input) {}
    void report(LoadDiagnostic diagnostic) override;

private:
    Findings& findings_;
    CheckedInput input_;
};

/// One kept pool item and where it came from.
struct KeptItem {
    std::string id;
    std::int32_t collection = 0;
    std::int64_t line = 0;
    std::int64_t collectionColumn = 1;
};

/// One enemy set as pool positions, and its line.
struct EnemyMembers {
    std::vector<std::int32_t> members;  // sorted pool positions, 0 left out
    std::int64_t line = 0;
};

/// Everything the checks of the separate inputs share.
struct CheckState {
    explicit CheckState(const RunSettings& runSettings) : settings(runSettings) {}

    const RunSettings& settings;
    Findings findings;
    CheckReport report;
    std::optional<std::string> refusal;  // the load's first refusal, in the order the load reads

    bool poolRead = false;
    ItemPool pool;  // the kept items' identifiers at least, even when the pool is refused
    std::vector<KeptItem> items;
    std::set<std::string> droppedIds;
    std::vector<std::int32_t> deck;
    std::map<std::int32_t, std::int64_t> firstLineOf;  // collection -> line of its first kept item
    std::vector<ScriptSlot> slots;                     // slot k on line k + 2; empty when refused
    std::vector<EnemyMembers> enemySets;

    void refuse(const std::string& message) {
        if (!refusal) refusal = message;
    }
    std::int64_t keptIn(std::int32_t collection) const;
    /// The lines of an input file, or nothing after a finding with the load's own message.
    std::optional<std::vector<std::string>> readLines(CheckedInput input, const std::string& file, const char* kind,
                                                      const char* fix);
};

void checkSettings(CheckState& state);
void checkPool(CheckState& state);
void checkEnemies(CheckState& state);
void checkScript(CheckState& state);
/// Collections a test asks for more often than they hold items, with or without enemy sets.
void checkCollectionsRunDry(CheckState& state);
void checkResponses(CheckState& state);

}  // namespace quillon::checking
