#include "quillon/engine/confusion_table.h"

#include <algorithm>
#include <optional>

namespace quillon {

namespace {

constexpr const char* lineEnd = "\r\n";
constexpr const char* ruleNames[] = {"MAP", "SPRT"};

}  // namespace

ConfusionTable::ConfusionTable(std::int32_t groupCount, std::int32_t maxTestLength, std::int32_t keptLengths)
    : groupCount_(groupCount),
      maxTestLength_(maxTestLength),
      keptLengths_(keptLengths < 0 ? maxTestLength : std::min(keptLengths, maxTestLength)) {
    const std::size_t g = static_cast<std::size_t>(groupCount);
    dense_.assign(static_cast<std::size_t>(std::max(0, keptLengths_)) * 2 * g * g, 0);
}

std::vector<ConfusionTable::OtherCount> ConfusionTable::otherCounts() const {
    std::vector<OtherCount> counts;
    for (const auto& [key, n] : other_)
        counts.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key), n});
    return counts;
}

void ConfusionTable::addOther(const OtherCount& count) {
    other_[Key{count.length, count.rule, count.trueGroup, count.decided}] += count.tests;
}

std::optional<std::size_t> ConfusionTable::denseIndex(std::int32_t length, int rule, std::int32_t trueGroup,
                                                      std::int32_t decided) const {
    if (trueGroup < 1 || trueGroup > groupCount_ || decided < 1 || decided > groupCount_) return std::nullopt;
    const std::size_t g = static_cast<std::size_t>(groupCount_);
    return ((static_cast<std::size_t>(length - 1) * 2 + static_cast<std::size_t>(rule)) * g +
            static_cast<std::size_t>(trueGroup - 1)) *
               g +
           static_cast<std::size_t>(decided - 1);
}

void ConfusionTable::add(std::int32_t length, int rule, std::int32_t trueGroup, std::int32_t decided) {
    if (const std::optional<std::size_t> at = denseIndex(length, rule, trueGroup, decided)) {
        ++dense_[*at];
    } else {
        ++other_[Key{length, rule, trueGroup, decided}];
    }
}

void ConfusionTable::addTest(const TestRecord& test, std::int32_t trueGroup) {
    for (std::size_t n = 0; n < test.positions.size(); ++n) {
        const PositionOutcome& p = test.positions[n];
        const std::int32_t length = static_cast<std::int32_t>(n + 1);
        add(length, 0, trueGroup, p.mapGroup);
        if (p.sprtGroup > 0) add(length, 1, trueGroup, p.sprtGroup);
    }
}

void ConfusionTable::merge(const ConfusionTable& other) {
    for (std::size_t i = 0; i < dense_.size(); ++i) dense_[i] += other.dense_[i];
    for (const auto& [key, n] : other.other_) other_[key] += n;
}

std::int64_t ConfusionTable::count(std::int32_t length, const std::string& rule, std::int32_t trueGroup,
                                   std::int32_t decided) const {
    const int r = rule == "SPRT" ? 1 : 0;
    if (length > keptLengths_ && length <= maxTestLength_) return 0;  // reached by no test
    if (const std::optional<std::size_t> at = denseIndex(length, r, trueGroup, decided)) return dense_[*at];
    const auto found = other_.find(Key{length, r, trueGroup, decided});
    return found == other_.end() ? 0 : found->second;
}

const char* confusionRuleName(int rule) { return ruleNames[rule == 1 ? 1 : 0]; }

std::vector<ConfusionRow> ConfusionTable::rows() const {
    std::vector<ConfusionRow> rows;
    const std::size_t g = static_cast<std::size_t>(std::max(0, groupCount_));
    rows.reserve(static_cast<std::size_t>(std::max(0, maxTestLength_)) * 2 * g * g + other_.size());
    auto extra = other_.begin();
    for (std::int32_t length = 1; length <= maxTestLength_; ++length) {
        for (int rule = 0; rule < 2; ++rule) {
            // The dense pairs in order, with the rare other pairs of this length and rule merged in.
            std::map<std::pair<std::int32_t, std::int32_t>, std::int64_t> pairs;
            for (std::int32_t t = 1; t <= groupCount_; ++t)
                for (std::int32_t d = 1; d <= groupCount_; ++d) pairs[{t, d}] = count(length, ruleNames[rule], t, d);
            for (; extra != other_.end() && std::get<0>(extra->first) == length && std::get<1>(extra->first) == rule;
                 ++extra)
                pairs[{std::get<2>(extra->first), std::get<3>(extra->first)}] = extra->second;
            for (const auto& [pair, n] : pairs) rows.push_back({length, rule, pair.first, pair.second, n});
        }
    }
    return rows;
}

std::string ConfusionTable::text() const {
    std::string text = "length,rule,true_group,decided_group,tests";
    text += lineEnd;
    for (const ConfusionRow& row : rows()) {
        text += std::to_string(row.length) + ',' + ruleNames[row.rule] + ',' + std::to_string(row.trueGroup) + ',' +
                std::to_string(row.decided) + ',' + std::to_string(row.tests);
        text += lineEnd;
    }
    return text;
}

}  // namespace quillon
