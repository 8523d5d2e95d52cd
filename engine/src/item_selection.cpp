#include "quillon/item_selection.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace quillon {

namespace {

// A logarithm of 0, a negative, an infinite or an undefined argument counts as 0.
double guardedLog2(double x) { return (x > 0.0 && std::isfinite(x)) ? std::log2(x) : 0.0; }
double guardedLog(double x) { return (x > 0.0 && std::isfinite(x)) ? std::log(x) : 0.0; }

double entropy(const double* t, std::size_t n) {
    double sum = 0.0;
    for (std::size_t g = 0; g < n; ++g) sum += t[g] * guardedLog2(t[g]);
    return -sum;
}

double bayesCost(const double* t, const RunSettings& s) {
    return t[0] * s.costFailFail + t[0] * (1.0 - t[0]) * s.costFailPass + t[1] * (1.0 - t[1]) * s.costPassFail +
           t[1] * s.costPassPass;
}

// Look-ahead vectors for up to 16 groups live on the stack; more groups use the heap.
class GroupBuffer {
public:
    explicit GroupBuffer(std::size_t n) {
        if (n > 16) spill_.resize(2 * n);
        right_ = n > 16 ? spill_.data() : local_;
        wrong_ = n > 16 ? spill_.data() + n : local_ + 16;
    }
    double* right() { return right_; }
    double* wrong() { return wrong_; }

private:
    double local_[32];
    std::vector<double> spill_;
    double* right_;
    double* wrong_;
};

void quicksort(Candidate* a, std::int64_t lo, std::int64_t hi) {
    const double pivot = a[(lo + hi) / 2].score;
    std::int64_t i = lo;
    std::int64_t j = hi;
    while (i <= j) {
        while (a[i].score < pivot && i < hi) ++i;
        while (pivot < a[j].score && j > lo) --j;
        if (i <= j) {
            if (i != j) std::swap(a[i], a[j]);
            ++i;
            --j;
        }
    }
    if (lo < j) quicksort(a, lo, j);
    if (i < hi) quicksort(a, i, hi);
}

}  // namespace

std::optional<SelectionMethod> selectionMethodFromName(const std::string& name) {
    if (name == "Shannon") return SelectionMethod::Shannon;
    if (name == "MaxDiscr") return SelectionMethod::MaxDiscr;
    if (name == "MinCost") return SelectionMethod::MinCost;
    return std::nullopt;
}

void ExclusionMarks::clearAll() {
    std::fill(flags_.begin(), flags_.end(), 0);
    blocked_.clear();
}

void ExclusionMarks::clearBlocked() {
    for (std::int32_t position : blocked_) flags_[static_cast<std::size_t>(position - 1)] &= static_cast<std::uint8_t>(~1u);
    blocked_.clear();
}

void ExclusionMarks::block(std::int32_t position) {
    std::uint8_t& flag = flags_[static_cast<std::size_t>(position - 1)];
    if ((flag & 1u) == 0) {
        flag |= 1u;
        blocked_.push_back(position);
    }
}

double shannonScore(const double* p, GroupPosterior& posterior) {
    posterior.normalisePosterior();
    const double pc = posterior.probabilityCorrect(p);
    const std::size_t n = posterior.groupPosterior.size();
    GroupBuffer t(n);
    posterior.lookAheadPosterior(p, true, t.right());
    const double hr = entropy(t.right(), n);
    posterior.lookAheadPosterior(p, false, t.wrong());
    const double hw = entropy(t.wrong(), n);
    return pc * hr + (1.0 - pc) * hw;
}

double discriminationScore(const double* p, const GroupPosterior& posterior) {
    const std::int32_t n = posterior.groupCount();
    std::int32_t b = 1;
    if (n > 2) {
        const std::int32_t m = posterior.largestGroup();
        if (m <= 1)
            b = 1;  // also when no group holds probability: the lowest boundary
        else if (m == n)
            b = n - 1;
        else
            b = posterior(m + 1) >= posterior(m - 1) ? m : m - 1;
    }
    return 1.0 / std::fabs(guardedLog(p[b - 1] / p[b]));
}

double expectedCostScore(const double* p, GroupPosterior& posterior, const RunSettings& settings) {
    posterior.normalisePosterior();
    const double pc = posterior.probabilityCorrect(p);
    const std::size_t n = posterior.groupPosterior.size();
    GroupBuffer t(n);
    posterior.lookAheadPosterior(p, true, t.right());
    posterior.lookAheadPosterior(p, false, t.wrong());
    return pc * bayesCost(t.right(), settings) + (1.0 - pc) * bayesCost(t.wrong(), settings);
}

void sortCandidates(std::vector<Candidate>& list) {
    if (list.size() > 1) quicksort(list.data(), 0, static_cast<std::int64_t>(list.size()) - 1);
}

std::string notEnoughItemsMessage(std::int32_t collection) {
    return "Not enought items, content area " + std::to_string(collection);
}

ItemSelector::ItemSelector(const InputFiles& inputs, const RunSettings& settings)
    : inputs_(inputs),
      settings_(settings),
      method_(selectionMethodFromName(settings.selectionMethod).value_or(SelectionMethod::Shannon)) {
    const ItemPool& pool = inputs.pool;
    // Per-collection lists in pool order give the same candidates, in the same order, as a scan
    // of the whole pool.
    for (std::int32_t i = 1; i <= pool.itemCount; ++i)
        collectionItems_[pool.itemCollection[static_cast<std::size_t>(i - 1)]].push_back(i);
    if (settings.blockEnemies) {
        enemySetsOfItem_.resize(static_cast<std::size_t>(pool.itemCount));
        for (std::size_t s = 0; s < inputs.enemySets.size(); ++s) {
            for (std::int32_t position : inputs.enemySets[s].positions) {
                if (position < 1) continue;
                auto& sets = enemySetsOfItem_[static_cast<std::size_t>(position - 1)];
                if (sets.empty() || sets.back() != static_cast<std::int32_t>(s)) sets.push_back(static_cast<std::int32_t>(s));
            }
        }
    }
}

double ItemSelector::score(std::int32_t position, GroupPosterior& posterior) const {
    const double* p = inputs_.pool.itemRow(position);
    double value = 0.0;
    switch (method_) {
        case SelectionMethod::Shannon: value = shannonScore(p, posterior); break;
        case SelectionMethod::MaxDiscr: value = discriminationScore(p, posterior); break;
        case SelectionMethod::MinCost: value = expectedCostScore(p, posterior, settings_); break;
    }
    // An undefined score has no place in the ordering; it goes last, with +infinity.
    return std::isnan(value) ? std::numeric_limits<double>::infinity() : value;
}

std::int32_t ItemSelector::selectItem(std::int32_t& collection, std::int32_t position, GroupPosterior& posterior,
                                      ExclusionMarks& marks, RandomGenerator& random) {
    std::int64_t factor = settings_.randomizationFactor;
    if (settings_.followScript) {
        const ScriptSlot& slot = inputs_.script.slots[static_cast<std::size_t>(position - 1)];
        collection = slot.slotCollection;
        factor = slot.slotFactor;
    }
    candidates_.clear();
    const auto items = collectionItems_.find(collection);
    if (items != collectionItems_.end()) {
        for (std::int32_t i : items->second) {
            if (marks.eligible(i)) candidates_.push_back({i, score(i, posterior)});
        }
    }
    const std::int64_t count = static_cast<std::int64_t>(candidates_.size());
    candidatesScored_ += count;
    if (count == 0) return 0;
    sortCandidates(candidates_);
    // A factor below 1 leaves nothing to draw from; it counts as 1.
    const std::int64_t k = std::min(count, std::max<std::int64_t>(factor, 1));
    const std::int32_t chosen = candidates_[static_cast<std::size_t>(random.nextIndex(k) - 1)].position;
    if (settings_.blockEnemies) {
        for (std::int32_t s : enemySetsOfItem_[static_cast<std::size_t>(chosen - 1)]) {
            for (std::int32_t member : inputs_.enemySets[static_cast<std::size_t>(s)].positions) {
                if (member > 0) marks.block(member);
            }
        }
    }
    return chosen;
}

}  // namespace quillon
