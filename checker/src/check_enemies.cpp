// Enemy sets: the load's own diagnostics, then identifiers that name no kept item and sets that
// block nothing.
#include <set>

#include "checking.h"

namespace quillon::checking {

void checkEnemies(CheckState& state) {
    const std::string& file = state.settings.enemiesFile;
    const std::optional<std::vector<std::string>> lines = state.readLines(
        CheckedInput::Enemies, file, "Enemies", "check the file name and its permissions, or turn off Block enemies");
    if (!lines) return;
    InputDiagnostics diagnostics(state.findings, CheckedInput::Enemies);
    std::vector<EnemyRow> rows;
    try {
        parseEnemies(*lines, state.pool, file, &diagnostics, &rows);
    } catch (const InputError& refusal) {
        state.refuse(refusal.what());
    }
    const auto warn = [&](std::int64_t line, std::int64_t column, std::string what, std::string fix) {
        state.findings.add(CheckedInput::Enemies, file, line, column, FindingKind::Warning, std::move(what),
                           std::move(fix));
    };
    for (const EnemyRow& row : rows) {
        std::set<std::int32_t> members;
        for (const EnemyName& name : row.names) {
            if (name.position > 0) {
                members.insert(name.position);
                continue;
            }
            const bool dropped = state.droppedIds.count(name.id) > 0;
            warn(row.line, name.column,
                 name.id.empty()
                     ? std::string("an empty identifier names no item")
                     : "identifier " + inQuotes(name.id) +
                           (dropped ? " is dropped by Drop items and names no item" : " is not in the pool"),
                 dropped ? "remove it from the set, or keep the item" : "correct the identifier or remove it");
        }
        if (members.size() == 1)
            warn(row.line, row.names.front().column,
                 "the set names only one item of the pool, so it blocks nothing else",
                 "list at least two items that must not share a test");
        state.enemySets.push_back({std::vector<std::int32_t>(members.begin(), members.end()), row.line});
    }
}

}  // namespace quillon::checking
