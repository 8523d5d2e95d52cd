// The pool: the load's own diagnostics, then identifiers used twice, collections the deck never
// gives, and the summary of what the pool holds.
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "checking.h"

namespace quillon::checking {

namespace {

// A collection above this number in the deck makes the run stop with "icol error".
constexpr std::int32_t highestDeckCollection = 8;

void poolFinding(CheckState& state, std::int64_t line, std::int64_t column, FindingKind kind, std::string what,
                 std::string fix, bool ahead = false) {
    state.findings.add(CheckedInput::Pool, state.settings.poolFile, line, column, kind, std::move(what), std::move(fix),
                       false, ahead);
}

// Enemy sets name an item by its identifier, and only ever find the first item that has it.
void checkDuplicates(CheckState& state, const std::vector<PoolRow>& rows) {
    std::unordered_map<std::string, std::int64_t> firstLineOfId;
    for (const PoolRow& row : rows) {
        if (row.dropped || row.blank || row.id.empty()) continue;
        const auto [first, fresh] = firstLineOfId.try_emplace(row.id, row.line);
        if (!fresh)
            poolFinding(state, row.line, row.idColumn, FindingKind::Warning,
                        "identifier " + inQuotes(row.id) + " is also on line " + std::to_string(first->second) +
                            "; enemy sets only ever name the first",
                        "give every item its own identifier", true);
    }
}

// Spread of |ln(p(b) / p(b + 1))| at each group boundary over the items with usable probabilities.
void summarizeDiscrimination(CheckState& state, const std::vector<PoolRow>& rows) {
    const std::size_t groups = static_cast<std::size_t>(std::max(state.settings.groupCount, 0));
    std::vector<std::vector<double>> discrimination(groups > 1 ? groups - 1 : 0);
    for (const PoolRow& row : rows) {
        if (row.probabilities.size() < 2) continue;
        const std::vector<double>& p = row.probabilities;
        for (std::size_t b = 0; b + 1 < groups; ++b) {
            const double ratio = p[b] / p[b + 1];
            const bool defined = ratio > 0.0 && std::isfinite(ratio);
            discrimination[b].push_back(defined ? std::fabs(std::log(ratio)) : 0.0);
        }
    }
    for (std::size_t b = 0; b < discrimination.size(); ++b) {
        std::vector<double>& values = discrimination[b];
        if (values.empty()) continue;
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
        state.report.summary.discrimination.push_back(
            {static_cast<std::int32_t>(b + 1), values.front(), median, values.back()});
    }
}

// Collections the deck draws but the run cannot give, and those it never draws.
void checkCollectionNumbers(CheckState& state) {
    const std::set<std::int32_t> inDeck(state.deck.begin(), state.deck.end());
    for (const auto& [collection, firstLine] : state.firstLineOf) {
        const std::int64_t line = firstLine;
        const KeptItem& first = *std::find_if(state.items.begin(), state.items.end(),
                                              [&](const KeptItem& item) { return item.line == line; });
        const std::int64_t kept = state.keptIn(collection);
        const std::string name = "collection " + std::to_string(collection);
        if (inDeck.count(collection) && collection > highestDeckCollection) {
            poolFinding(state, line, first.collectionColumn, FindingKind::Error,
                        name + " is above " + std::to_string(highestDeckCollection) +
                            ": whenever the deck draws it the run shows \"icol error\" and stops",
                        "number the collections 1 to 8");
        } else if (!state.settings.followScript && !inDeck.count(collection) &&
                   !(collection == 0 && state.deck.empty())) {
            const std::string why =
                collection < 1
                    ? "collection " + std::to_string(collection) + " never enters the deck"
                    : name + " has only " + plural(kept, "item", "items") + ", too few (6 or more) to enter the deck";
            poolFinding(state, line, first.collectionColumn, FindingKind::Warning,
                        why + ", so without Follow Script its items are never given",
                        "merge it into a larger collection or name it in a script");
        }
    }
}

}  // namespace

void checkPool(CheckState& state) {
    const RunSettings& settings = state.settings;
    const std::optional<std::vector<std::string>> lines =
        state.readLines(CheckedInput::Pool, settings.poolFile, "Pool", "check the file name and its permissions");
    if (!lines) return;
    state.poolRead = true;
    InputDiagnostics diagnostics(state.findings, CheckedInput::Pool);
    PoolReading reading;
    try {
        state.pool = parsePool(*lines, settings, settings.poolFile, &diagnostics, &reading);
    } catch (const InputError& refusal) {
        state.refuse(refusal.what());
        state.pool = ItemPool();
        for (const PoolRow& row : reading.rows)
            if (!row.dropped) state.pool.itemId.push_back(row.id);
        state.pool.itemCount = static_cast<std::int32_t>(state.pool.itemId.size());
    }
    CheckSummary& summary = state.report.summary;
    summary.hasPriorRow = reading.hasPriorRow;
    summary.priors = reading.priors;
    for (const PoolRow& row : reading.rows) {
        CollectionCount& count = summary.collections[row.collection];
        if (row.dropped) {
            ++count.dropped;
            state.droppedIds.insert(row.id);
            continue;
        }
        ++count.kept;
        state.firstLineOf.try_emplace(row.collection, row.line);
        state.items.push_back({row.id, row.collection, row.line, row.collectionColumn});
    }
    checkDuplicates(state, reading.rows);
    summarizeDiscrimination(state, reading.rows);
    if (state.items.empty()) return;
    state.deck = reading.deck;
    checkCollectionNumbers(state);
}

}  // namespace quillon::checking
