#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/invariant.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_limits.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

/// Per examinee, per item: blocked as an enemy in this test, and administered in tests 1 to 5.
class ExclusionMarks {
public:
    void resize(std::int32_t itemCount) {
        flags_.assign(static_cast<std::size_t>(itemCount), 0);
        blocked_.clear();
        setAside_.clear();
    }
    /// Clears every mark, at the start of an examinee.
    void clearAll();
    /// Clears the enemy blocks at the start of a test after the first.
    void clearBlocked();
    void block(std::int32_t position);
    void markAdministered(std::int32_t position, std::int32_t test) {
        QUILLON_ASSERT(test >= minTestsPerPerson && test <= maxTestsPerPerson);
        flags_[static_cast<std::size_t>(position - 1)] |= static_cast<Flags>(1u << test);
    }
    bool eligible(std::int32_t position) const { return flags_[static_cast<std::size_t>(position - 1)] == 0; }
    /// The marks by pool position - 1, 0 where the item is eligible: for counting scans.
    const std::uint8_t* data() const { return flags_.data(); }

    /// Sets an item aside for this test on behalf of an exposure control: it is not eligible, yet
    /// comes back when its collection has nothing else (see `liftSetAside`).
    void setAside(std::int32_t position);
    bool anySetAside() const { return !setAside_.empty(); }
    bool isSetAside(std::int32_t position) const {
        return (flags_[static_cast<std::size_t>(position - 1)] & setAsideBit) != 0;
    }
    /// Makes the items set aside eligible again for one selection; `restoreSetAside` undoes it.
    void liftSetAside();
    void restoreSetAside();
    /// Ends every set-aside, at the start of each test.
    void clearSetAside();

private:
    // One byte per item: bit 0 is the enemy block, bit t the administration in test t, the top
    // bit an exposure control's set-aside.
    using Flags = std::uint8_t;
    static constexpr Flags blockedBit = 1u;
    static constexpr Flags setAsideBit = 0x80u;
    static_assert(minTestsPerPerson >= 1 && maxTestsPerPerson < std::numeric_limits<Flags>::digits - 1,
                  "every test of an examinee needs its own bit between the block and the set-aside bits");

    std::vector<Flags> flags_;
    std::vector<std::int32_t> blocked_;
    std::vector<std::int32_t> setAside_;
};

/// One candidate of a selection: a pool position and its score.
struct Candidate {
    std::int32_t position;
    double score;
};

/// How one selection went, for a trace: the eligible candidates, the rank drawn among the best
/// k, the chosen item's score and, when asked for, the best candidates in the selection's order.
struct SelectionDetail {
    std::int64_t eligible = 0;
    std::int64_t rank = 0;
    double score = 0.0;
    std::vector<Candidate> best;
};

/// Chooses items for one run's pool, script, enemy sets and settings, exactly as the literal
/// rules do (the differential test against the reference engine in tests/ holds it to them).
/// One instance per thread: it keeps its working memory between calls.
class ItemSelector {
public:
    ItemSelector(const InputFiles& inputs, const RunSettings& settings);
    ~ItemSelector();
    /// A selector for another thread of the same run: it shares this one's tables (scores that
    /// depend on the item alone, item trees, orders), built once, and has working memory of its own.
    ItemSelector twin() const;
    ItemSelector(ItemSelector&&) noexcept;
    ItemSelector& operator=(ItemSelector&&) noexcept;

    /// The pool position of the next item for this test position (1-based), or 0 when the
    /// collection has no eligible item; `collection` is replaced by the script's when it is
    /// followed. Draws one random value whenever there is a candidate, and blocks enemies.
    std::int32_t selectItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                            ExclusionMarks& marks, RandomGenerator& random);

    /// `selectItem` without the enemy blocks, which wait for `blockEnemiesOf` once an exposure
    /// control has kept the item. With `merit`, the selection is progressive: each candidate's
    /// score is mixed with a uniform merit drawn from `merit`, the score weighing (position - 1) /
    /// maximum length.
    std::int32_t chooseItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                            const ExclusionMarks& marks, RandomGenerator& random, RandomGenerator* merit = nullptr);

    /// Blocks, for the rest of the test, the enemies of an item about to be given.
    void blockEnemiesOf(std::int32_t item, ExclusionMarks& marks) const;

    /// How many candidates the selections so far have scored.
    std::int64_t candidatesScored() const;

    /// How many of them needed their exact score computed one by one (two groups, Shannon or
    /// MinCost, no detail kept): the rest were placed by cheap bounds or scored several at a time.
    std::int64_t exactScores() const;

    /// How many candidates the selections so far have looked at one by one (bounded or scored):
    /// all of them, except where a search over a large collection ruled groups out unseen.
    std::int64_t candidatesExamined() const;

    /// Keeps the detail of every selection from now on, with the best `bestCount` candidates in
    /// ranked order (which costs a full sort per selection); off by default.
    void keepDetail(std::int32_t bestCount);

    /// The detail of the last selection that found a candidate, when kept.
    const SelectionDetail& lastDetail() const;

private:
    class State;
    struct Tables;
    ItemSelector(const InputFiles& inputs, const RunSettings& settings, std::shared_ptr<const Tables> tables);
    std::unique_ptr<State> state_;
};

/// The message shown when a collection has no eligible item left.
std::string notEnoughItemsMessage(std::int32_t collection);

}  // namespace quillon
