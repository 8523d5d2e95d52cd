#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"

namespace quillon {

/// The three selection criteria; a lower score is better for each.
enum class SelectionMethod { Shannon, MaxDiscr, MinCost };

/// The method named by the settings' literal, or nothing for any other text.
std::optional<SelectionMethod> selectionMethodFromName(const std::string& name);

/// Per examinee, per item: blocked as an enemy in this test, and administered in tests 1 to 5.
class ExclusionMarks {
public:
    void resize(std::int32_t itemCount) {
        flags_.assign(static_cast<std::size_t>(itemCount), 0);
        blocked_.clear();
    }
    void clearAll();
    /// Clears the enemy blocks at the start of a test after the first.
    void clearBlocked();
    void block(std::int32_t position);
    void markAdministered(std::int32_t position, std::int32_t test) {
        flags_[static_cast<std::size_t>(position - 1)] |= static_cast<std::uint8_t>(1u << test);
    }
    bool eligible(std::int32_t position) const { return flags_[static_cast<std::size_t>(position - 1)] == 0; }

private:
    std::vector<std::uint8_t> flags_;
    std::vector<std::int32_t> blocked_;
};

/// Expected posterior entropy in bits after the item; normalises the posterior first.
double shannonScore(const double* p, GroupPosterior& posterior);

/// 1 / |ln(p(b) / p(b + 1))| at the boundary b next to the most probable group.
double discriminationScore(const double* p, const GroupPosterior& posterior);

/// Expected two-group Bayes cost after the item; normalises the posterior first.
double expectedCostScore(const double* p, GroupPosterior& posterior, const RunSettings& settings);

/// One candidate of a selection: a pool position and its score.
struct Candidate {
    std::int32_t position;
    double score;
};

/// Orders candidates by ascending score with the in-place quicksort whose tie order the tables
/// depend on (two equal scores A, B come out B, A).
void sortCandidates(std::vector<Candidate>& list);

/// How one selection went, for a trace: the eligible candidates, the rank drawn among the best
/// k, the chosen item's score and, when asked for, the best candidates in the selection's order.
struct SelectionDetail {
    std::int64_t eligible = 0;
    std::int64_t rank = 0;
    double score = 0.0;
    std::vector<Candidate> best;
};

/// Chooses items for one run's pool, script, enemy sets and settings. One instance per thread:
/// it keeps its candidate buffer between calls. Its shortcuts (per-collection lists, two-group
/// scores, settled normalisation, precomputed discrimination, sorting only on ties, bounded
/// cheap scores with exact ones only where the order needs them) must give
/// the literal rules' items and posteriors bit for bit: the differential test against the
/// reference engine in tests/ guards every one of them, and every new speed-up must pass it.
class ItemSelector {
public:
    ItemSelector(const InputFiles& inputs, const RunSettings& settings);

    /// The pool position of the next item for this test position (1-based), or 0 when the
    /// collection has no eligible item; `collection` is replaced by the script's when it is
    /// followed. Draws one random value whenever there is a candidate, and blocks enemies.
    std::int32_t selectItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                            ExclusionMarks& marks, RandomGenerator& random);

    /// How many candidates the selections so far have scored.
    std::int64_t candidatesScored() const { return candidatesScored_; }

    /// How many of them needed their exact score computed one by one (two groups, Shannon or
    /// MinCost, no detail kept): the rest were placed by cheap bounds or scored several at a time.
    std::int64_t exactScores() const { return exactScores_; }

    /// Keeps the detail of every selection from now on, with the best `bestCount` candidates in
    /// ranked order (which costs a full sort per selection); off by default.
    void keepDetail(std::int32_t bestCount) {
        keepDetail_ = true;
        detailBestCount_ = bestCount;
    }

    /// The detail of the last selection that found a candidate, when kept.
    const SelectionDetail& lastDetail() const { return detail_; }

private:
    void scoreCandidates(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                         const ExclusionMarks& marks);
    Candidate candidateAtRank(std::int64_t rank);
    void recordDetail(std::int64_t rank);
    // Two groups, Shannon or MinCost: bounds for every candidate, exact scores where needed.
    void boundTwoGroupScores(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                             const ExclusionMarks& marks);
    double exactScore(std::size_t c);
    bool scoreBelow(std::int32_t x, std::int32_t y);
    double rankedBound(const std::vector<double>& bounds, std::size_t r);
    Candidate boundedCandidateAtRank(std::int64_t rank);

    const InputFiles& inputs_;
    const RunSettings& settings_;
    SelectionMethod method_;
    std::int32_t groupCount_;
    std::unordered_map<std::int32_t, std::vector<std::int32_t>> collectionItems_;
    std::vector<std::vector<std::int32_t>> enemySetsOfItem_;  // [position - 1]: sets naming it
    // Two groups: p(1), p(2), 1 - p(1), 1 - p(2) per item, the operands of every score.
    std::vector<double> twoGroupRows_;
    // Discrimination depends on the item and the boundary b only: [(b - 1) * itemCount + position - 1].
    std::vector<double> discrimination_;
    std::vector<Candidate> candidates_;
    std::vector<double> scratch_;
    std::int64_t candidatesScored_ = 0;
    // The bounded selection: a candidate's score is NaN until computed; [lower_, upper_] holds it.
    static constexpr double unknownScore = __builtin_nan("");
    bool bounded_ = false;
    std::vector<double> lower_;
    std::vector<double> upper_;
    std::vector<std::size_t> open_;
    std::vector<std::int32_t> order_;
    double lowestLower_ = 0.0;
    double lowestUpper_ = 0.0;
    double settledQ0_ = 0.0;
    double settledQ1_ = 0.0;
    std::int64_t exactScores_ = 0;
    bool keepDetail_ = false;
    std::int32_t detailBestCount_ = 0;
    SelectionDetail detail_;
};

/// The message shown when a collection has no eligible item left.
std::string notEnoughItemsMessage(std::int32_t collection);

}  // namespace quillon
