#include "quillon/engine/item_selection.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>

#include "group_scratch.h"
#include "item_scores.h"
#include "score_bounds.h"
#include "score_tree.h"

namespace quillon {

namespace {

// A logarithm of 0, a negative, an infinite or an undefined argument counts as 0.
double guardedLog(double x) { return (x > 0.0 && std::isfinite(x)) ? std::log(x) : 0.0; }

double entropy(const double* t, std::size_t n) {
    double sum = 0.0;
    for (std::size_t g = 0; g < n; ++g) sum += t[g] * guardedLog2(t[g]);
    return -sum;
}

// Where one partition step left its two sides: [lo, last] and [first, hi] remain to be sorted.
struct PartitionEnds {
    std::int64_t last;
    std::int64_t first;
};

// One partition step of the quicksort whose tie order the tables depend on, around the middle
// element, with `below` as the strict order. The full sort and the one that follows rank r alone
// share it, so the two cannot come to differ in how they order ties.
template <class T, class Below>
PartitionEnds partition(T* a, std::int64_t lo, std::int64_t hi, Below&& below) {
    const T pivot = a[(lo + hi) / 2];
    std::int64_t i = lo;
    std::int64_t j = hi;
    while (i <= j) {
        while (i < hi && below(a[i], pivot)) ++i;
        while (j > lo && below(pivot, a[j])) --j;
        if (i <= j) {
            if (i != j) std::swap(a[i], a[j]);
            ++i;
            --j;
        }
    }
    return {j, i};
}

void quicksort(Candidate* a, std::int64_t lo, std::int64_t hi) {
    const PartitionEnds ends =
        partition(a, lo, hi, [](const Candidate& x, const Candidate& y) { return x.score < y.score; });
    if (lo < ends.last) quicksort(a, lo, ends.last);
    if (ends.first < hi) quicksort(a, ends.first, hi);
}

}  // namespace

void ExclusionMarks::clearAll() {
    std::fill(flags_.begin(), flags_.end(), 0);
    blocked_.clear();
    setAside_.clear();
}

void ExclusionMarks::clearBlocked() {
    for (std::int32_t position : blocked_)
        flags_[static_cast<std::size_t>(position - 1)] &= static_cast<Flags>(~blockedBit);
    blocked_.clear();
}

void ExclusionMarks::setAside(std::int32_t position) {
    Flags& flag = flags_[static_cast<std::size_t>(position - 1)];
    if ((flag & setAsideBit) == 0) {
        flag |= setAsideBit;
        setAside_.push_back(position);
    }
}

void ExclusionMarks::liftSetAside() {
    for (std::int32_t position : setAside_) flags_[static_cast<std::size_t>(position - 1)] &= ~setAsideBit;
}

void ExclusionMarks::restoreSetAside() {
    for (std::int32_t position : setAside_) flags_[static_cast<std::size_t>(position - 1)] |= setAsideBit;
}

void ExclusionMarks::clearSetAside() {
    liftSetAside();
    setAside_.clear();
}

void ExclusionMarks::block(std::int32_t position) {
    Flags& flag = flags_[static_cast<std::size_t>(position - 1)];
    if ((flag & blockedBit) == 0) {
        flag |= blockedBit;
        blocked_.push_back(position);
    }
}

namespace {

// The scores proper, on a posterior the caller has just normalised: each candidate's score
// normalises exactly once, so a caller that has normalised must not let the score do it again.
double shannonOfNormalised(const double* p, const GroupPosterior& posterior) {
    const double pc = posterior.probabilityCorrect(p);
    const std::size_t n = static_cast<std::size_t>(posterior.groupCount());
    GroupScratch right(n);
    GroupScratch wrong(n);
    posterior.lookAheadPosterior(p, true, right.data());
    const double hr = entropy(right.data(), n);
    posterior.lookAheadPosterior(p, false, wrong.data());
    const double hw = entropy(wrong.data(), n);
    return pc * hr + (1.0 - pc) * hw;
}

double costOfNormalised(const double* p, const GroupPosterior& posterior, const RunSettings& settings) {
    const double pc = posterior.probabilityCorrect(p);
    const std::size_t n = static_cast<std::size_t>(posterior.groupCount());
    GroupScratch right(n);
    GroupScratch wrong(n);
    posterior.lookAheadPosterior(p, true, right.data());
    posterior.lookAheadPosterior(p, false, wrong.data());
    return pc * bayesCostOf(right.data(), settings) + (1.0 - pc) * bayesCostOf(wrong.data(), settings);
}

}  // namespace

double shannonScore(const double* p, GroupPosterior& posterior) {
    posterior.normalisePosterior();
    return shannonOfNormalised(p, posterior);
}

double expectedCostScore(const double* p, GroupPosterior& posterior, const RunSettings& settings) {
    posterior.normalisePosterior();
    return costOfNormalised(p, posterior, settings);
}

void sortCandidates(std::vector<Candidate>& list) {
    if (list.size() > 1) quicksort(list.data(), 0, static_cast<std::int64_t>(list.size()) - 1);
}

std::string notEnoughItemsMessage(std::int32_t collection) {
    return "Not enought items, content area " + std::to_string(collection);
}

namespace {

// The boundary b (between groups b and b + 1) next to the most probable group.
std::int32_t discriminationBoundary(const GroupPosterior& posterior) {
    const std::int32_t n = posterior.groupCount();
    if (n <= 2) return 1;
    const std::int32_t m = posterior.largestGroup();
    if (m <= 1) return 1;  // also when no group holds probability: the lowest boundary
    if (m == n) return n - 1;
    return posterior(m + 1) >= posterior(m - 1) ? m : m - 1;
}

double discriminationAt(const double* p, std::int32_t b) { return 1.0 / std::fabs(guardedLog(p[b - 1] / p[b])); }

// Normalises and tells whether that changed nothing; from then on every further
// normalisation is a no-op and can be skipped.
bool normaliseReachesFixedPoint(GroupPosterior& posterior) {
    const std::vector<double>& values = posterior.values();
    const std::size_t n = values.size();
    GroupScratch before(n);
    for (std::size_t g = 0; g < n; ++g) before[g] = values[g];
    posterior.normalisePosterior();
    for (std::size_t g = 0; g < n; ++g) {
        if (!(before[g] == values[g])) return false;
    }
    return true;
}

// The rank drawn among the best `factor` of `count` eligible candidates (count >= 1). A factor
// below 1 leaves nothing to draw from; it counts as 1.
std::int64_t drawRank(std::int64_t count, std::int64_t factor, RandomGenerator& random) {
    return random.nextIndex(std::min(count, std::max<std::int64_t>(factor, 1)));
}

}  // namespace

double discriminationScore(const double* p, const GroupPosterior& posterior) {
    return discriminationAt(p, discriminationBoundary(posterior));
}

// What the selections of one run need and never change: built once, shared by every thread's
// selector (docs/performance.md counts its memory once per run).
struct ItemSelector::Tables {
    Tables(const InputFiles& inputs, const RunSettings& settings);

    std::unordered_map<std::int32_t, std::vector<std::int32_t>> collectionItems;
    std::vector<std::vector<std::int32_t>> enemySetsOfItem;  // [position - 1]: sets naming it
    // Two groups: p(1), p(2), 1 - p(1), 1 - p(2) per item, the operands of every score.
    std::vector<double> twoGroupRows;
    // Two groups, Shannon or MinCost with concave costs: a tree per collection large enough.
    std::unordered_map<std::int32_t, PointTree> trees;
    // Per pool position - 1, the number (1 to 255) of its collection when large enough for a
    // search, else 0: eligible items are counted by one scan of bytes.
    std::vector<std::uint8_t> spanNumber;
    struct Span {
        std::size_t first, end;  // the positions - 1 the collection's items span
        std::uint8_t number;
    };
    std::unordered_map<std::int32_t, Span> spans;
    // Discrimination depends on the item and the boundary b only: [(b - 1) * itemCount + position - 1].
    std::vector<double> discrimination;
    // MaxDiscr: per large collection, its items in increasing order of score at boundary 1,
    // then at boundary 2, and so on; the drawn rank is found by a walk past the ineligible ones.
    std::unordered_map<std::int32_t, std::vector<std::int32_t>> discriminationOrder;

private:
    bool addSpan(std::int32_t collection, std::int32_t itemCount);
};

// The selector's working state; its shortcuts (per-collection lists, two-group scores, settled
// normalisation, precomputed discrimination, sorting only on ties, bounded cheap scores with exact
// ones only where the order needs them) must give the literal rules' items and posteriors bit for
// bit: the differential test against the reference engine in tests/ guards every one of them, and
// every new speed-up must pass it.
class ItemSelector::State {
public:
    State(const InputFiles& inputs, const RunSettings& settings, std::shared_ptr<const Tables> tables);
    std::int32_t chooseItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                            const ExclusionMarks& marks, RandomGenerator& random, RandomGenerator* merit);
    void blockEnemiesOf(std::int32_t item, ExclusionMarks& marks) const;
    const InputFiles& inputs() const { return inputs_; }
    const RunSettings& settings() const { return settings_; }
    const std::shared_ptr<const Tables>& tables() const { return tables_; }

    std::int64_t candidatesScored = 0;
    std::int64_t exactScores = 0;
    std::int64_t candidatesExamined = 0;
    bool keepDetail = false;
    std::int32_t detailBestCount = 0;
    SelectionDetail detail;

private:
    // An entry of the search's heap.
    struct Entry {
        double key;          // at most the score of every candidate it stands for, or the exact score
        double upper;        // a bounded item's: at least its score
        std::int32_t node;   // a node of the tree, or one of the kinds below
        std::int32_t begin;  // the node's range, or the item's position
        std::int32_t end;
    };
    static constexpr std::int32_t boundedItem = -1;
    static constexpr std::int32_t exactItem = -2;
    static Entry exactEntry(double score, std::int32_t position) { return {score, score, exactItem, position, 0}; }

    void scoreCandidates(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                         const ExclusionMarks& marks);
    void mixProgressive(std::int32_t position, RandomGenerator& merit);
    Candidate candidateAtRank(std::int64_t rank);
    void recordDetail(std::int64_t rank);
    // Two groups, Shannon or MinCost: bounds for every candidate, exact scores where needed.
    void boundTwoGroupScores(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                             const ExclusionMarks& marks);
    void boundSettled(std::size_t first);
    // Two groups, Shannon or MinCost, large collections: a best-first search over the
    // collection's tree, and the full path where the search cannot settle the drawn rank alone.
    std::int32_t searchTree(std::int32_t collection, const PointTree& tree, const std::vector<std::int32_t>& items,
                            GroupPosterior& posterior, const ExclusionMarks& marks, RandomGenerator& random,
                            std::int64_t factor);
    // The candidate at `rank` when the search settles it alone; 0 when its score is shared.
    std::int32_t bestFirst(const PointTree& tree, const ExclusionMarks& marks, std::int64_t rank);
    void pushItems(const std::int32_t* positions, std::size_t count, const ExclusionMarks& marks, Operands operands);
    // A node's children with their bounds, or a leaf's eligible items.
    void expand(const PointTree& tree, const Entry& e, const ExclusionMarks& marks);
    void pushEntry(const Entry& entry) {
        if (entry.key <= cutoff_) pushOnHeap(entry);
    }
    void pushOnHeap(const Entry& entry);
    // After an entry is taken the heap's first slot stays free until a push fills it (one
    // sift-down for a take and a push) or settleTop removes it.
    bool topFree_ = false;
    void siftDown(std::size_t at);
    void settleTop();
    double exactScore(std::size_t c);
    bool scoreBelow(std::int32_t x, std::int32_t y);
    double rankedBound(const std::vector<double>& bounds, std::size_t r);
    Candidate boundedCandidateAtRank(std::int64_t rank);

    const InputFiles& inputs_;
    const RunSettings& settings_;
    SelectionMethod method_;
    std::int32_t groupCount_;
    std::shared_ptr<const Tables> tables_;
    const std::unordered_map<std::int32_t, std::vector<std::int32_t>>& collectionItems_ = tables_->collectionItems;
    const std::vector<std::vector<std::int32_t>>& enemySetsOfItem_ = tables_->enemySetsOfItem;
    const std::vector<double>& twoGroupRows_ = tables_->twoGroupRows;
    const std::unordered_map<std::int32_t, PointTree>& trees_ = tables_->trees;
    const std::vector<std::uint8_t>& spanNumber_ = tables_->spanNumber;
    using Span = Tables::Span;
    const std::unordered_map<std::int32_t, Span>& spans_ = tables_->spans;
    const std::vector<double>& discrimination_ = tables_->discrimination;
    const std::unordered_map<std::int32_t, std::vector<std::int32_t>>& discriminationOrder_ =
        tables_->discriminationOrder;
    // The search's heap and its marks of candidates scored before the normalisation settled.
    std::vector<Entry> heap_;
    // The smallest r upper bounds met (a max-heap): no candidate with a lower bound above the
    // largest of them can rank r or before, nor tie with the one that does.
    std::vector<double> uppers_;
    std::size_t upperCount_ = 0;
    double cutoff_ = HUGE_VAL;
    void noteUpper(double upper) {
        if (upperCount_ == 1) {  // the usual draw of the best: the smallest upper bound
            if (upper < cutoff_) cutoff_ = upper;
        } else {
            noteUpperOfMany(upper);
        }
    }
    void noteUpperOfMany(double upper);
    std::vector<std::uint8_t> early_;
    std::int64_t countEligible(const Span& span, const ExclusionMarks& marks) const;
    std::int32_t walkOrder(std::int32_t collection, const std::vector<std::int32_t>& order,
                           const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                           const ExclusionMarks& marks, RandomGenerator& random, std::int64_t factor);
    std::vector<Candidate> earlyCandidates_;
    std::vector<Candidate> candidates_;
    std::vector<double> scratch_;
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
};

ItemSelector::Tables::Tables(const InputFiles& inputs, const RunSettings& settings) {
    const SelectionMethod method = settings.selectionMethod;
    const std::int32_t groupCount = inputs.pool.groupCount;
    const ItemPool& pool = inputs.pool;
    // Per-collection lists in pool order give the same candidates, in the same order, as a scan
    // of the whole pool.
    for (std::int32_t i = 1; i <= pool.itemCount; ++i)
        collectionItems[pool.itemCollection[static_cast<std::size_t>(i - 1)]].push_back(i);
    if (settings.blockEnemies) {
        enemySetsOfItem.resize(static_cast<std::size_t>(pool.itemCount));
        for (std::size_t s = 0; s < inputs.enemySets.size(); ++s) {
            for (std::int32_t position : inputs.enemySets[s].positions) {
                if (position < 1) continue;
                auto& sets = enemySetsOfItem[static_cast<std::size_t>(position - 1)];
                if (sets.empty() || sets.back() != static_cast<std::int32_t>(s))
                    sets.push_back(static_cast<std::int32_t>(s));
            }
        }
    }
    if (groupCount == 2) {
        twoGroupRows.reserve(4 * static_cast<std::size_t>(pool.itemCount));
        for (std::int32_t i = 1; i <= pool.itemCount; ++i) {
            const double* p = pool.itemRow(i);
            twoGroupRows.insert(twoGroupRows.end(), {p[0], p[1], 1.0 - p[0], 1.0 - p[1]});
        }
    }
    if (groupCount == 2 &&
        (method == SelectionMethod::Shannon || (method == SelectionMethod::MinCost && costBoundHolds(settings)))) {
        for (const auto& [collection, items] : collectionItems) {
            if (items.size() >= searchThreshold(method) && addSpan(collection, pool.itemCount))
                trees.emplace(collection, buildPointTree(items, twoGroupRows.data()));
        }
    }
    if (method == SelectionMethod::MaxDiscr && groupCount >= 2) {
        discrimination.reserve(static_cast<std::size_t>(groupCount - 1) * static_cast<std::size_t>(pool.itemCount));
        for (std::int32_t b = 1; b < groupCount; ++b) {
            for (std::int32_t i = 1; i <= pool.itemCount; ++i)
                discrimination.push_back(discriminationAt(pool.itemRow(i), b));
        }
        for (const auto& [collection, items] : collectionItems) {
            if (items.size() < searchThreshold(method) || !addSpan(collection, pool.itemCount)) continue;
            std::vector<std::int32_t>& order = discriminationOrder[collection];
            for (std::int32_t b = 1; b < groupCount; ++b) {
                const double* scores =
                    discrimination.data() + static_cast<std::size_t>(b - 1) * static_cast<std::size_t>(pool.itemCount);
                const auto start = static_cast<std::ptrdiff_t>(order.size());
                order.insert(order.end(), items.begin(), items.end());
                std::stable_sort(order.begin() + start, order.end(), [scores](std::int32_t x, std::int32_t y) {
                    return orderable(scores[x - 1]) < orderable(scores[y - 1]);
                });
            }
        }
    }
}

ItemSelector::State::State(const InputFiles& inputs, const RunSettings& settings, std::shared_ptr<const Tables> tables)
    : inputs_(inputs),
      settings_(settings),
      method_(settings.selectionMethod),
      groupCount_(inputs.pool.groupCount),
      tables_(tables ? std::move(tables) : std::make_shared<const Tables>(inputs, settings)) {
    if (!trees_.empty()) early_.assign(static_cast<std::size_t>(inputs.pool.itemCount), 0);
}

void ItemSelector::State::scoreCandidates(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                                          const ExclusionMarks& marks) {
    bounded_ = false;
    if (method_ == SelectionMethod::MaxDiscr) {
        const std::int32_t b = discriminationBoundary(posterior);
        const double* scores =
            discrimination_.data() + static_cast<std::size_t>(b - 1) * static_cast<std::size_t>(inputs_.pool.itemCount);
        for (std::int32_t i : items) {
            if (marks.eligible(i)) candidates_.push_back({i, orderable(scores[i - 1])});
        }
        return;
    }
    if (groupCount_ == 2 && !keepDetail) {
        boundTwoGroupScores(items, posterior, marks);
        return;
    }
    // Each candidate's score normalises the posterior once, which may move its last bits until
    // it settles; the normalisation is done here, once per candidate until it changes nothing,
    // and the scores below must not normalise again.
    bool settled = false;
    for (std::int32_t i : items) {
        if (!marks.eligible(i)) continue;
        if (!settled) settled = normaliseReachesFixedPoint(posterior);
        double value;
        if (groupCount_ == 2) {
            const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(i - 1);
            const double q0 = posterior(1);
            const double q1 = posterior(2);
            value = method_ == SelectionMethod::Shannon ? shannonTwoGroups(row, q0, q1)
                                                        : costTwoGroups(row, q0, q1, settings_);
        } else {
            const double* p = inputs_.pool.itemRow(i);
            value = method_ == SelectionMethod::Shannon ? shannonOfNormalised(p, posterior)
                                                        : costOfNormalised(p, posterior, settings_);
        }
        candidates_.push_back({i, orderable(value)});
    }
}

void ItemSelector::State::boundTwoGroupScores(const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                                              const ExclusionMarks& marks) {
    // Candidates met before the normalisation settles see a posterior that is still moving:
    // they are scored exactly, with it, at once. The others share the settled posterior.
    bool settled = false;
    auto item = items.begin();
    for (; item != items.end() && !settled; ++item) {
        const std::int32_t i = *item;
        if (!marks.eligible(i)) continue;
        settled = normaliseReachesFixedPoint(posterior);
        if (settled) {
            candidates_.push_back({i, unknownScore});
            break;
        }
        const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(i - 1);
        candidates_.push_back({i, orderable(method_ == SelectionMethod::Shannon
                                                ? shannonTwoGroups(row, posterior(1), posterior(2))
                                                : costTwoGroups(row, posterior(1), posterior(2), settings_))});
        ++exactScores;
    }
    const std::size_t first = settled ? candidates_.size() - 1 : candidates_.size();
    if (settled) {
        // The rest only need listing: room for all of them first, then plain stores.
        const std::size_t listed = candidates_.size();
        candidates_.resize(listed + static_cast<std::size_t>(items.end() - item));
        Candidate* out = candidates_.data() + listed;
        for (++item; item != items.end(); ++item) {
            if (marks.eligible(*item)) *out++ = {*item, unknownScore};
        }
        candidates_.resize(static_cast<std::size_t>(out - candidates_.data()));
    }
    if (candidates_.size() == first) return;
    settledQ0_ = posterior(1);
    settledQ1_ = posterior(2);
    boundSettled(first);
}

void ItemSelector::State::boundSettled(std::size_t first) {
    const std::size_t n = candidates_.size();
    const std::size_t count = n - first;
    if (method_ == SelectionMethod::MinCost) {
        // Without logarithms the exact scores themselves come cheaply, several at a time, and
        // the plain selection takes it from there.
        costScores(twoGroupRows_.data(), candidates_.data() + first, count, settledQ0_, settledQ1_, settings_);
        return;
    }
    bounded_ = true;
    if (lower_.size() < n) {
        lower_.resize(n);
        upper_.resize(n);
    }
    lowestLower_ = lowestUpper_ = HUGE_VAL;
    for (std::size_t c = 0; c < first; ++c) {
        lower_[c] = upper_[c] = candidates_[c].score;
        lowestLower_ = lowestUpper_ = std::min(lowestLower_, candidates_[c].score);
    }
    const BoundSummary summary = shannonBounds(twoGroupRows_.data(), candidates_.data() + first, count, settledQ0_,
                                               settledQ1_, lower_.data() + first, upper_.data() + first);
    lowestLower_ = std::min(lowestLower_, summary.lowestLower);
    lowestUpper_ = std::min(lowestUpper_, summary.lowestUpper);
    if (summary.allBounded) return;
    for (std::size_t c = first; c < n; ++c) {
        if (!std::isnan(lower_[c])) continue;
        const double value = exactScore(c);
        lowestLower_ = std::min(lowestLower_, value);
        lowestUpper_ = std::min(lowestUpper_, value);
    }
}

std::int32_t ItemSelector::State::searchTree(std::int32_t collection, const PointTree& tree,
                                             const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                                             const ExclusionMarks& marks, RandomGenerator& random,
                                             std::int64_t factor) {
    // As in boundTwoGroupScores: the candidates met before the normalisation settles are scored
    // at once with the posterior they see; the count of every eligible candidate sizes the draw.
    const bool shannon = method_ == SelectionMethod::Shannon;
    earlyCandidates_.clear();
    bool settled = false;
    std::int64_t count = 0;
    std::size_t settledAt = items.size();
    std::size_t k = 0;
    for (; k < items.size() && !settled; ++k) {
        const std::int32_t i = items[k];
        if (!marks.eligible(i)) continue;
        ++count;
        settled = normaliseReachesFixedPoint(posterior);
        if (settled) {
            settledAt = k;
            break;
        }
        const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(i - 1);
        earlyCandidates_.push_back({i, orderable(shannon ? shannonTwoGroups(row, posterior(1), posterior(2))
                                                         : costTwoGroups(row, posterior(1), posterior(2), settings_))});
        ++exactScores;
    }
    if (k < items.size()) count = countEligible(spans_.at(collection), marks);  // all of them, at once
    candidatesScored += count;
    if (count == 0) return 0;
    const std::int64_t rank = drawRank(count, factor, random);
    settledQ0_ = posterior(1);
    settledQ1_ = posterior(2);
    if (settled && PointTree::fitsPosterior(settledQ0_, settledQ1_)) {
        const std::int32_t chosen = bestFirst(tree, marks, rank);
        if (chosen != 0) return chosen;
    }
    // The full path, with the scores already computed for the first candidates.
    candidates_ = earlyCandidates_;
    bounded_ = false;
    const std::size_t first = candidates_.size();
    for (k = settledAt; k < items.size(); ++k) {
        if (marks.eligible(items[k])) candidates_.push_back({items[k], unknownScore});
    }
    candidatesExamined += static_cast<std::int64_t>(candidates_.size());
    if (candidates_.size() > first) boundSettled(first);
    return candidateAtRank(rank).position;
}

void ItemSelector::State::noteUpperOfMany(double upper) {
    if (uppers_.size() < upperCount_) {
        uppers_.push_back(upper);
        std::push_heap(uppers_.begin(), uppers_.end());
    } else if (upper < uppers_.front()) {
        std::pop_heap(uppers_.begin(), uppers_.end());
        uppers_.back() = upper;
        std::push_heap(uppers_.begin(), uppers_.end());
    } else {
        return;
    }
    if (uppers_.size() == upperCount_) cutoff_ = uppers_.front();
}

bool ItemSelector::Tables::addSpan(std::int32_t collection, std::int32_t itemCount) {
    if (spans.size() == 255) return false;
    const std::vector<std::int32_t>& items = collectionItems.at(collection);
    const auto number = static_cast<std::uint8_t>(spans.size() + 1);
    spans[collection] = {static_cast<std::size_t>(items.front() - 1), static_cast<std::size_t>(items.back()), number};
    if (spanNumber.empty()) spanNumber.assign(static_cast<std::size_t>(itemCount), 0);
    for (std::int32_t i : items) spanNumber[static_cast<std::size_t>(i - 1)] = number;
    return true;
}

namespace {

// The eligible items of one collection among positions - 1 in [first, end), by `Width` bytes at a
// time: a lane counts 1 (as -1) where the item is eligible and in the collection; the byte
// counters are emptied every 255 blocks, before they can wrap.
typedef std::uint8_t Bytes16 __attribute__((vector_size(16)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));

template <class Bytes>
[[gnu::always_inline]] inline std::int64_t countMatching(const std::uint8_t* flags, const std::uint8_t* numbers,
                                                         std::size_t first, std::size_t end, std::uint8_t number) {
    constexpr std::size_t Width = sizeof(Bytes);
    std::int64_t count = 0;
    std::size_t j = first;
    while (j + Width <= end) {
        Bytes counters{};
        for (int block = 0; block < 255 && j + Width <= end; ++block, j += Width) {
            Bytes f, n;
            std::memcpy(&f, flags + j, sizeof f);
            std::memcpy(&n, numbers + j, sizeof n);
            counters -= (Bytes)((f == 0) & (n == number));
        }
        for (std::size_t l = 0; l < Width; ++l) count += counters[l];
    }
    for (; j < end; ++j) count += (flags[j] == 0) & (numbers[j] == number);
    return count;
}

__attribute__((target("avx2"))) std::int64_t countMatchingWide(const std::uint8_t* flags, const std::uint8_t* numbers,
                                                               std::size_t first, std::size_t end,
                                                               std::uint8_t number) {
    return countMatching<Bytes32>(flags, numbers, first, end, number);
}

}  // namespace

std::int64_t ItemSelector::State::countEligible(const Span& span, const ExclusionMarks& marks) const {
    return hasAvx2() ? countMatchingWide(marks.data(), spanNumber_.data(), span.first, span.end, span.number)
                     : countMatching<Bytes16>(marks.data(), spanNumber_.data(), span.first, span.end, span.number);
}

std::int32_t ItemSelector::State::walkOrder(std::int32_t collection, const std::vector<std::int32_t>& order,
                                            const std::vector<std::int32_t>& items, GroupPosterior& posterior,
                                            const ExclusionMarks& marks, RandomGenerator& random, std::int64_t factor) {
    const std::int64_t count = countEligible(spans_.at(collection), marks);
    candidatesScored += count;
    if (count == 0) return 0;
    const std::int64_t rank = drawRank(count, factor, random);
    const std::int32_t b = discriminationBoundary(posterior);
    const std::size_t n = items.size();
    const std::int32_t* sorted = order.data() + static_cast<std::size_t>(b - 1) * n;
    const double* scores =
        discrimination_.data() + static_cast<std::size_t>(b - 1) * static_cast<std::size_t>(inputs_.pool.itemCount);
    // The rank-th eligible item in score order is the one at that rank when no other eligible
    // item has its score: then its neighbours in the order (eligible ones) have other scores.
    std::int64_t seen = 0;
    double previous = 0.0;
    std::size_t k = 0;
    for (; k < n; ++k) {
        const std::int32_t i = sorted[k];
        if (!marks.eligible(i)) continue;
        const double value = orderable(scores[i - 1]);
        if (++seen < rank) {
            previous = value;
            continue;
        }
        bool shared = seen > 1 && previous == value;
        for (std::size_t next = k + 1; next < n && !shared; ++next) {
            if (!marks.eligible(sorted[next])) continue;
            shared = orderable(scores[sorted[next] - 1]) == value;
            break;
        }
        if (shared) break;
        candidatesExamined += static_cast<std::int64_t>(k + 2);
        return i;
    }
    // A shared score: the quicksort's tie order decides, over every candidate.
    scoreCandidates(items, posterior, marks);
    candidatesExamined += static_cast<std::int64_t>(candidates_.size());
    return candidateAtRank(rank).position;
}

void ItemSelector::State::pushOnHeap(const Entry& entry) {
    if (topFree_) {
        topFree_ = false;
        heap_.front() = entry;
        siftDown(0);
        return;
    }
    heap_.push_back(entry);
    std::push_heap(heap_.begin(), heap_.end(), [](const Entry& x, const Entry& y) { return x.key > y.key; });
}

void ItemSelector::State::siftDown(std::size_t at) {
    // The same order as std::push_heap's above: no key below its parent's.
    const std::size_t n = heap_.size();
    const Entry moving = heap_[at];
    for (std::size_t child = 2 * at + 1; child < n; child = 2 * at + 1) {
        if (child + 1 < n && heap_[child + 1].key < heap_[child].key) ++child;
        if (!(heap_[child].key < moving.key)) break;
        heap_[at] = heap_[child];
        at = child;
    }
    heap_[at] = moving;
}

void ItemSelector::State::settleTop() {
    if (!topFree_) return;
    topFree_ = false;
    heap_.front() = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) siftDown(0);
}

void ItemSelector::State::pushItems(const std::int32_t* positions, std::size_t count, const ExclusionMarks& marks,
                                    Operands operands) {
    constexpr std::size_t chunk = PointTree::leafSize;
    Candidate batch[chunk];
    double lower[chunk];
    double upper[chunk];
    for (std::size_t start = 0; start < count; start += chunk) {
        std::size_t m = 0;
        for (std::size_t j = start; j < std::min(count, start + chunk); ++j) {
            const std::int32_t i = positions[j];
            if (marks.eligible(i) && early_[static_cast<std::size_t>(i - 1)] == 0) batch[m++] = {i, 0.0};
        }
        if (m == 0) continue;
        candidatesExamined += static_cast<std::int64_t>(m);
        if (method_ == SelectionMethod::MinCost) {
            costScores(twoGroupRows_.data(), batch, m, settledQ0_, settledQ1_, settings_);
            for (std::size_t j = 0; j < m; ++j) {
                noteUpper(batch[j].score);
                pushEntry(exactEntry(batch[j].score, batch[j].position));
            }
            continue;
        }
        const BoundSummary summary = shannonBounds(twoGroupRows_.data(), batch, m, settledQ0_, settledQ1_, lower, upper,
                                                   VectorWidth::Widest, operands);
        // The upper bounds first, so that the cutoff already keeps out what they rule out.
        if (upperCount_ == 1) {
            noteUpper(summary.lowestUpper);
        } else {
            for (std::size_t j = 0; j < m; ++j) {
                if (!std::isnan(lower[j])) noteUpper(upper[j]);
            }
        }
        for (std::size_t j = 0; j < m; ++j) {
            if (lower[j] > cutoff_) continue;  // also false for NaN
            if (!std::isnan(lower[j])) {
                pushOnHeap({lower[j], upper[j], boundedItem, batch[j].position, 0});
                continue;
            }
            const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(batch[j].position - 1);
            const double exact = orderable(shannonTwoGroups(row, settledQ0_, settledQ1_));
            noteUpper(exact);
            pushEntry(exactEntry(exact, batch[j].position));
            ++exactScores;
        }
    }
}

void ItemSelector::State::expand(const PointTree& tree, const Entry& e, const ExclusionMarks& marks) {
    if (e.end - e.begin <= PointTree::leafSize) {
        pushItems(tree.items.data() + e.begin, static_cast<std::size_t>(e.end - e.begin), marks, Operands::Fitting);
        return;
    }
    const std::size_t child = 2 * static_cast<std::size_t>(e.node) + 1;
    double bounds[2];
    const PointTree::Siblings& children = tree.siblings[static_cast<std::size_t>(e.node)];
    if (method_ == SelectionMethod::Shannon)
        shannonSiblingBounds(children, settledQ0_, settledQ1_, bounds);
    else
        costSiblingBounds(children, settledQ0_, settledQ1_, settings_, bounds);
    const std::int32_t middle = e.begin + (e.end - e.begin) / 2;
    pushEntry({bounds[0], HUGE_VAL, static_cast<std::int32_t>(child), e.begin, middle});
    pushEntry({bounds[1], HUGE_VAL, static_cast<std::int32_t>(child + 1), middle, e.end});
}

std::int32_t ItemSelector::State::bestFirst(const PointTree& tree, const ExclusionMarks& marks, std::int64_t rank) {
    // Every entry's key is at most the score of every candidate it stands for, so the exact
    // scores leave the heap in increasing order: the r-th to leave is the score at rank r, and it
    // is settled alone once every key left is above it.
    heap_.clear();
    topFree_ = false;
    uppers_.clear();
    upperCount_ = static_cast<std::size_t>(rank);
    cutoff_ = HUGE_VAL;
    for (const Candidate& c : earlyCandidates_) {
        early_[static_cast<std::size_t>(c.position - 1)] = 1;
        noteUpper(c.score);
        pushEntry(exactEntry(c.score, c.position));
    }
    candidatesExamined += static_cast<std::int64_t>(earlyCandidates_.size());
    pushItems(tree.loose.data(), tree.loose.size(), marks, Operands::Any);
    if (!tree.items.empty()) pushEntry({-HUGE_VAL, HUGE_VAL, 0, 0, static_cast<std::int32_t>(tree.items.size())});
    const auto target = static_cast<std::size_t>(rank - 1);
    std::size_t emitted = 0;
    double value = 0.0;
    double previous = 0.0;  // the score of the last candidate to leave, when known exactly
    bool previousExact = false;
    std::int32_t chosen = 0;
    bool shared = false;
    while (!shared) {
        settleTop();
        if (heap_.empty()) break;
        const Entry e = heap_.front();
        if (emitted > target && e.key > value) break;
        topFree_ = true;  // taken: the next push fills its place
        if (e.node == exactItem) {
            if (emitted == target) {
                value = e.key;
                chosen = e.begin;
                shared = previousExact && previous == value;
            } else if (emitted > target) {
                shared = true;  // not above the score at rank r, so equal to it
            }
            previous = e.key;
            previousExact = true;
            ++emitted;
        } else if (e.node == boundedItem) {
            // When its whole interval lies below every key left (the smallest is a child of the
            // free first slot), it is the next in order without its exact score; up to rank r it
            // then ties with no later candidate, and with no earlier one unless that one's score
            // reaches its lower bound.
            std::size_t least = 1;
            if (heap_.size() > 2 && heap_[2].key < heap_[1].key) least = 2;
            const double next = least < heap_.size() ? heap_[least].key : HUGE_VAL;
            if (emitted <= target && e.upper < next && (emitted < target || !previousExact || previous < e.key)) {
                if (emitted == target) {
                    value = e.upper;
                    chosen = e.begin;
                }
                previousExact = false;
                ++emitted;
                continue;
            }
            if (least < heap_.size() && heap_[least].node >= 0) {
                // A node's bound is what overlaps it: open the node first, which may settle the
                // order without the exact score. The item goes back first, its key below all.
                const Entry node = heap_[least];
                topFree_ = false;
                heap_.front() = e;
                heap_[least] = heap_.back();
                heap_.pop_back();
                if (least < heap_.size()) siftDown(least);
                expand(tree, node, marks);
                continue;
            }
            const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(e.begin - 1);
            const double exact = orderable(shannonTwoGroups(row, settledQ0_, settledQ1_));
            pushEntry(exactEntry(exact, e.begin));
            ++exactScores;
        } else {
            expand(tree, e, marks);
        }
    }
    for (const Candidate& c : earlyCandidates_) early_[static_cast<std::size_t>(c.position - 1)] = 0;
    return shared || emitted <= target ? 0 : chosen;
}

double ItemSelector::State::exactScore(std::size_t c) {
    Candidate& candidate = candidates_[c];
    if (!std::isnan(candidate.score)) return candidate.score;
    const double* row = twoGroupRows_.data() + 4 * static_cast<std::size_t>(candidate.position - 1);
    candidate.score =
        orderable(method_ == SelectionMethod::Shannon ? shannonTwoGroups(row, settledQ0_, settledQ1_)
                                                      : costTwoGroups(row, settledQ0_, settledQ1_, settings_));
    lower_[c] = upper_[c] = candidate.score;
    ++exactScores;
    return candidate.score;
}

bool ItemSelector::State::scoreBelow(std::int32_t x, std::int32_t y) {
    if (x == y) return false;
    const auto a = static_cast<std::size_t>(x);
    const auto b = static_cast<std::size_t>(y);
    if (upper_[a] < lower_[b]) return true;
    if (lower_[a] >= upper_[b]) return false;
    return exactScore(a) < exactScore(b);
}

Candidate ItemSelector::State::candidateAtRank(std::int64_t rank) {
    if (bounded_) return boundedCandidateAtRank(rank);
    // When the score at this rank belongs to one candidate alone, the sorted order decides
    // nothing else about it, and the full sort with its tie order can be skipped.
    const std::size_t r = static_cast<std::size_t>(rank - 1);
    double value;
    if (r == 0) {
        // The smallest score and how many hold it, in one pass.
        const Candidate* best = &candidates_[0];
        int holders = 0;
        for (const Candidate& c : candidates_) {
            if (c.score < best->score) {
                best = &c;
                holders = 1;
            } else if (c.score == best->score) {
                ++holders;
            }
        }
        if (holders == 1) return *best;
        value = best->score;
    } else {
        scratch_.clear();
        for (const Candidate& c : candidates_) scratch_.push_back(c.score);
        std::nth_element(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(r), scratch_.end());
        value = scratch_[r];
    }
    const Candidate* found = nullptr;
    int sharing = 0;
    for (const Candidate& c : candidates_) {
        if (c.score == value) {
            found = &c;
            if (++sharing > 1) break;
        }
    }
    if (sharing == 1) return *found;
    sortCandidates(candidates_);
    return candidates_[r];
}

double ItemSelector::State::rankedBound(const std::vector<double>& bounds, std::size_t r) {
    const std::size_t n = candidates_.size();
    scratch_.assign(bounds.begin(), bounds.begin() + static_cast<std::ptrdiff_t>(n));
    std::nth_element(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(r), scratch_.end());
    return scratch_[r];
}

Candidate ItemSelector::State::boundedCandidateAtRank(std::int64_t rank) {
    const std::size_t n = candidates_.size();
    const std::size_t r = static_cast<std::size_t>(rank - 1);
    // The score at rank r lies between the r-th smallest lower and the r-th smallest upper bound:
    // a candidate wholly below the one is certainly ranked before r, one wholly above the other
    // after it, and only the rest need their exact scores.
    const double lowest = r == 0 ? lowestLower_ : rankedBound(lower_, r);
    const double highest = r == 0 ? lowestUpper_ : rankedBound(upper_, r);
    std::size_t before = 0;
    open_.clear();
    for (std::size_t c = 0; c < n; ++c) {
        if (upper_[c] < lowest)
            ++before;
        else if (lower_[c] <= highest)
            open_.push_back(c);
    }
    scratch_.clear();
    for (std::size_t c : open_) scratch_.push_back(exactScore(c));
    const std::size_t within = r - before;
    std::nth_element(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(within), scratch_.end());
    const double value = scratch_[within];
    std::size_t found = 0;
    int sharing = 0;
    for (std::size_t c : open_) {
        if (candidates_[c].score == value) {
            found = c;
            if (++sharing > 1) break;
        }
    }
    if (sharing == 1) return candidates_[found];
    // A shared score: the quicksort's tie order decides. Only the partitions that hold rank r
    // shape what ends there, so only those are followed; comparisons use the bounds where they
    // decide and exact scores where they do not.
    order_.resize(n);
    for (std::size_t c = 0; c < n; ++c) order_[c] = static_cast<std::int32_t>(c);
    std::int64_t lo = 0;
    std::int64_t hi = static_cast<std::int64_t>(n) - 1;
    const auto target = static_cast<std::int64_t>(r);
    std::int32_t* a = order_.data();
    const auto below = [this](std::int32_t x, std::int32_t y) { return scoreBelow(x, y); };
    while (true) {
        const PartitionEnds ends = partition(a, lo, hi, below);
        if (lo < ends.last && target <= ends.last)
            hi = ends.last;
        else if (ends.first < hi && target >= ends.first)
            lo = ends.first;
        else
            break;
    }
    const auto chosen = static_cast<std::size_t>(a[r]);
    exactScore(chosen);
    return candidates_[chosen];
}

void ItemSelector::State::recordDetail(std::int64_t rank) {
    detail.eligible = static_cast<std::int64_t>(candidates_.size());
    detail.rank = rank;
    detail.best.clear();
    if (detailBestCount <= 0) return;
    // The order the full sort gives, whether or not this selection needed it.
    detail.best = candidates_;
    sortCandidates(detail.best);
    if (detail.best.size() > static_cast<std::size_t>(detailBestCount))
        detail.best.resize(static_cast<std::size_t>(detailBestCount));
}

std::int32_t ItemSelector::State::chooseItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                                             const ExclusionMarks& marks, RandomGenerator& random,
                                             RandomGenerator* merit) {
    std::int64_t factor = settings_.randomizationFactor;
    if (settings_.followScript) {
        const ScriptSlot& slot = inputs_.script.slots[static_cast<std::size_t>(position - 1)];
        collection = slot.slotCollection;
        factor = slot.slotFactor;
    }
    candidates_.clear();
    const auto items = collectionItems_.find(collection);
    if (merit == nullptr && !keepDetail && items != collectionItems_.end()) {
        const auto order = discriminationOrder_.find(collection);
        if (order != discriminationOrder_.end())
            return walkOrder(collection, order->second, items->second, posterior, marks, random, factor);
        const auto tree = trees_.find(collection);
        if (tree != trees_.end())
            return searchTree(collection, tree->second, items->second, posterior, marks, random, factor);
    }
    if (items != collectionItems_.end()) scoreCandidates(items->second, posterior, marks);
    const std::int64_t count = static_cast<std::int64_t>(candidates_.size());
    candidatesScored += count;
    candidatesExamined += count;
    if (count == 0) return 0;
    if (merit != nullptr) mixProgressive(position, *merit);
    const std::int64_t rank = drawRank(count, factor, random);
    if (keepDetail) recordDetail(rank);
    const Candidate picked = candidateAtRank(rank);
    if (keepDetail) detail.score = picked.score;
    return picked.position;
}

void ItemSelector::State::blockEnemiesOf(std::int32_t item, ExclusionMarks& marks) const {
    if (!settings_.blockEnemies) return;
    for (std::int32_t s : enemySetsOfItem_[static_cast<std::size_t>(item - 1)]) {
        for (std::int32_t member : inputs_.enemySets[static_cast<std::size_t>(s)].positions) {
            if (member > 0) marks.block(member);
        }
    }
}

void ItemSelector::State::mixProgressive(std::int32_t position, RandomGenerator& merit) {
    // Every score exactly, then each one's place between the worst and the best finite score as a
    // merit in [0, 1] (a score that is not finite ranks last, as it would unmixed).
    const std::size_t n = candidates_.size();
    if (bounded_) {
        for (std::size_t c = 0; c < n; ++c) exactScore(c);
        bounded_ = false;
    }
    double best = HUGE_VAL;
    double worst = -HUGE_VAL;
    for (const Candidate& c : candidates_) {
        if (!std::isfinite(c.score)) continue;
        best = std::min(best, c.score);
        worst = std::max(worst, c.score);
    }
    const double weight = static_cast<double>(position - 1) / static_cast<double>(std::max(settings_.maxTestLength, 1));
    for (Candidate& c : candidates_) {
        double scoreMerit = 0.0;
        if (std::isfinite(c.score)) scoreMerit = worst > best ? (worst - c.score) / (worst - best) : 1.0;
        const double mixed = (1.0 - weight) * merit.nextUniform() + weight * scoreMerit;
        c.score = -mixed;  // lower ranks first, as every score here
    }
}

ItemSelector::ItemSelector(const InputFiles& inputs, const RunSettings& settings)
    : state_(std::make_unique<State>(inputs, settings, nullptr)) {}

ItemSelector::ItemSelector(const InputFiles& inputs, const RunSettings& settings, std::shared_ptr<const Tables> tables)
    : state_(std::make_unique<State>(inputs, settings, std::move(tables))) {}

ItemSelector ItemSelector::twin() const { return ItemSelector(state_->inputs(), state_->settings(), state_->tables()); }

ItemSelector::~ItemSelector() = default;
ItemSelector::ItemSelector(ItemSelector&&) noexcept = default;
ItemSelector& ItemSelector::operator=(ItemSelector&&) noexcept = default;

std::int32_t ItemSelector::selectItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                                      ExclusionMarks& marks, RandomGenerator& random) {
    const std::int32_t chosen = state_->chooseItem(collection, position, posterior, marks, random, nullptr);
    if (chosen != 0) state_->blockEnemiesOf(chosen, marks);
    return chosen;
}

std::int32_t ItemSelector::chooseItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                                      const ExclusionMarks& marks, RandomGenerator& random, RandomGenerator* merit) {
    return state_->chooseItem(collection, position, posterior, marks, random, merit);
}

void ItemSelector::blockEnemiesOf(std::int32_t item, ExclusionMarks& marks) const {
    state_->blockEnemiesOf(item, marks);
}

std::int64_t ItemSelector::candidatesScored() const { return state_->candidatesScored; }

std::int64_t ItemSelector::exactScores() const { return state_->exactScores; }

std::int64_t ItemSelector::candidatesExamined() const { return state_->candidatesExamined; }

void ItemSelector::keepDetail(std::int32_t bestCount) {
    state_->keepDetail = true;
    state_->detailBestCount = bestCount;
}

const SelectionDetail& ItemSelector::lastDetail() const { return state_->detail; }

}  // namespace quillon
