// Collections that a test asks for more often than they hold items, by the script or by the deck,
// and enemy sets that can block a collection below what a test needs.
#include <algorithm>
#include <set>

#include "checking.h"
#include "quillon/engine/item_selection.h"

namespace quillon::checking {

namespace {

void poolFinding(CheckState& state, std::int64_t line, std::int64_t column, FindingKind kind, std::string what,
                 std::string fix) {
    state.findings.add(CheckedInput::Pool, state.settings.poolFile, line, column, kind, std::move(what),
                       std::move(fix));
}

// How many items of a collection one test can surely use when every item given blocks as many
// others of the collection as it can: the worst order the selection might take.
std::int64_t worstUsable(const CheckState& state, std::int32_t collection) {
    std::vector<std::int32_t> open;
    for (std::size_t i = 0; i < state.items.size(); ++i)
        if (state.items[i].collection == collection) open.push_back(static_cast<std::int32_t>(i + 1));
    std::set<std::int32_t> available(open.begin(), open.end());
    const auto blockedBy = [&](std::int32_t item) {
        std::set<std::int32_t> blocked;
        for (const EnemyMembers& set : state.enemySets)
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
void reportRunsDry(CheckState& state, std::int32_t collection, std::int64_t need, std::int64_t test,
                   std::int64_t scriptLine, FindingKind kind, const std::string& how) {
    const std::int64_t kept = state.keptIn(collection);
    const std::string what = how + ", but it holds " + plural(kept, "item", "items") +
                             (kind == FindingKind::Error ? "; the run stops" : "; the run may stop") + " with \"" +
                             notEnoughItemsMessage(collection) + "\"" +
                             (test > 0 ? " in test " + std::to_string(test) : std::string());
    const std::string fix = "add items to collection " + std::to_string(collection) + ", or ask for it less often (" +
                            std::to_string(need) + " needed)";
    if (scriptLine > 0) {
        state.findings.add(CheckedInput::Script, state.settings.scriptFile, scriptLine, 1, kind, what, fix);
    } else {
        const auto first = state.firstLineOf.find(collection);
        poolFinding(state, first == state.firstLineOf.end() ? 1 : first->second,
                    first == state.firstLineOf.end() ? 1 : 2, kind, what, fix);
    }
}

}  // namespace

void checkCollectionsRunDry(CheckState& state) {
    if (!state.poolRead || state.items.empty()) return;
    const std::int64_t length = std::max(state.settings.maxTestLength, 0);
    const std::int64_t tests = std::clamp(state.settings.testsPerPerson, 1, 5);
    std::map<std::int32_t, std::int64_t> perTest;  // the most a single test asks of each collection
    if (state.settings.followScript) {
        if (static_cast<std::int64_t>(state.slots.size()) < length) return;  // the script itself is refused
        std::map<std::int32_t, std::int64_t> asked;
        for (std::int64_t k = 0; k < length; ++k) ++asked[state.slots[static_cast<std::size_t>(k)].slotCollection];
        for (const auto& [collection, firstLine] : state.firstLineOf) {
            if (asked.count(collection)) continue;
            const std::int64_t line = firstLine;
            const KeptItem& first = *std::find_if(state.items.begin(), state.items.end(),
                                                  [&](const KeptItem& item) { return item.line == line; });
            poolFinding(state, line, first.collectionColumn, FindingKind::Warning,
                        "no slot of the script asks for collection " + std::to_string(collection) +
                            ", so its items are never given",
                        "name the collection in the script, or merge its items into one it names");
        }
        for (const auto& [collection, n] : asked) {
            perTest[collection] = n;
            const std::int64_t kept = state.keptIn(collection);
            if (n * tests <= kept) continue;
            // The first test and slot at which the collection is empty.
            const std::int64_t test = kept / n + 1;
            const std::int64_t occurrence = kept - (test - 1) * n + 1;
            std::int64_t seen = 0;
            std::int64_t line = 0;
            for (std::int64_t k = 0; k < length && line == 0; ++k)
                if (state.slots[static_cast<std::size_t>(k)].slotCollection == collection && ++seen == occurrence)
                    line = k + 2;
            reportRunsDry(state, collection, n * tests, test, line, FindingKind::Error,
                          "the script asks for collection " + std::to_string(collection) + " " +
                              plural(n, "time", "times") + " per test over " + plural(tests, "test", "tests"));
        }
    } else {
        // Draws without replacement from the deck, refilled when used up, over all of an
        // examinee's positions: a collection with e entries in a deck of d is drawn between
        // these bounds.
        const std::vector<std::int32_t> deck = state.deck.empty() ? std::vector<std::int32_t>{0} : state.deck;
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
            const std::int64_t kept = state.keptIn(collection);
            const std::int64_t least = draws(length * tests, e, false);
            const std::int64_t most = draws(length * tests, e, true);
            if (most <= kept) continue;
            const std::string how =
                state.deck.empty() ? "no collection has the 6 items it needs to enter the deck, so every one of " +
                                         std::to_string(length * tests) + " positions per examinee draws collection 0"
                                   : "the deck draws collection " + std::to_string(collection) + " " +
                                         (least == most ? std::to_string(most) : "up to " + std::to_string(most)) +
                                         " times per examinee";
            reportRunsDry(state, collection, least < kept ? most : least, 0, 0,
                          least > kept ? FindingKind::Error : FindingKind::Warning, how);
        }
    }
    if (!state.settings.blockEnemies || state.enemySets.empty()) return;
    for (const auto& [collection, need] : perTest) {
        const std::int64_t kept = state.keptIn(collection);
        if (need * tests > kept) continue;  // already reported
        const std::int64_t usable = worstUsable(state, collection) - std::min<std::int64_t>(kept, need * (tests - 1));
        if (usable >= need) continue;
        std::int64_t line = 0;
        for (const EnemyMembers& set : state.enemySets) {
            const bool touches =
                std::any_of(set.members.begin(), set.members.end(), [&, c = collection](std::int32_t item) {
                    return state.items[static_cast<std::size_t>(item - 1)].collection == c;
                });
            if (touches && set.members.size() > 1) {
                line = set.line;
                break;
            }
        }
        if (line == 0) continue;
        state.findings.add(CheckedInput::Enemies, state.settings.enemiesFile, line, 1, FindingKind::Warning,
                           "the enemy sets can block collection " + std::to_string(collection) + " down to " +
                               plural(std::max<std::int64_t>(usable, 0), "usable item", "usable items") +
                               " in a test that needs " + std::to_string(need) + "; the run may stop with \"" +
                               notEnoughItemsMessage(collection) + "\"",
                           "split the large sets, or add items to the collection");
    }
}

}  // namespace quillon::checking
