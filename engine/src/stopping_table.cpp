#include "quillon/engine/stopping_table.h"

#include <algorithm>

#include "quillon/engine/decisions.h"
#include "quillon/engine/output_tables.h"

namespace quillon {

namespace {

constexpr const char* lineEnd = "\r\n";

// Means of integer counts, divided once; no test at all gives 0, as the table writes it.
double mean(std::int64_t sum, std::int64_t count) { return Share{static_cast<double>(sum), count}.written(); }

}  // namespace

double StoppingSummary::averageLength() const { return mean(lengthSum, tests); }
double StoppingSummary::percentCorrect() const { return mean(accurate, tests); }
double StoppingSummary::fixedAverageLength() const { return mean(fixedLengthSum, tests); }
double StoppingSummary::fixedPercentCorrect() const { return mean(fixedAccurate, tests); }

std::vector<StoppingRule> stoppingRules(const std::vector<double>& thresholds) {
    std::vector<StoppingRule> rules = {{StoppingRule::Kind::Sprt, 0.0}};
    for (double x : thresholds) rules.push_back({StoppingRule::Kind::PosteriorThreshold, x});
    return rules;
}

FirstDecision firstDecision(const StoppingRule& rule, const TestRecord& test) {
    for (std::size_t n = 0; n < test.positions.size(); ++n) {
        const PositionOutcome& p = test.positions[n];
        std::int32_t decided = 0;
        if (rule.kind == StoppingRule::Kind::Sprt)
            decided = p.sprtGroup;
        else if (p.mapGroup > 0 && p.mapProb >= rule.threshold)
            decided = p.mapGroup;
        if (decided > 0) return {static_cast<std::int32_t>(n + 1), decided};
    }
    return {};
}

std::string stoppingRuleName(const StoppingRule& rule) {
    return rule.kind == StoppingRule::Kind::Sprt ? "SPRT" : "Posterior";
}

void StoppingTable::Counts::add(std::int32_t decided, std::int32_t trueGroup) {
    ++tests;
    countOutcome(classifyOutcome(decided, trueGroup), accurate, falsePos, falseNeg);
}

void StoppingTable::Counts::merge(const Counts& other) {
    tests += other.tests;
    accurate += other.accurate;
    falsePos += other.falsePos;
    falseNeg += other.falseNeg;
}

StoppingTable::StoppingTable(std::vector<StoppingRule> rules, std::int32_t maxTestLength, std::int32_t keptLengths)
    : rules_(std::move(rules)),
      maxTestLength_(maxTestLength),
      keptLengths_(keptLengths < 0 ? maxTestLength : std::min(keptLengths, maxTestLength)),
      counts_(rules_.size()) {
    for (RuleCounts& c : counts_) c.stoppedAt.resize(static_cast<std::size_t>(std::max(0, keptLengths_)));
}

void StoppingTable::addTest(const TestRecord& test, std::int32_t trueGroup) {
    if (test.positions.empty()) return;
    const PositionOutcome& last = test.positions.back();
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const FirstDecision stop = firstDecision(rules_[r], test);
        if (stop.length > 0)
            counts_[r].stoppedAt[static_cast<std::size_t>(stop.length - 1)].add(stop.group, trueGroup);
        else  // not stopped by the last length: classified by its MAP group there, and undecided
            counts_[r].undecided.add(last.mapGroup, trueGroup);
    }
    fixed_.add(last.mapGroup, trueGroup);
}

void StoppingTable::merge(const StoppingTable& other) {
    for (std::size_t r = 0; r < counts_.size(); ++r) {
        for (std::size_t n = 0; n < counts_[r].stoppedAt.size(); ++n)
            counts_[r].stoppedAt[n].merge(other.counts_[r].stoppedAt[n]);
        counts_[r].undecided.merge(other.counts_[r].undecided);
    }
    fixed_.merge(other.fixed_);
}

std::vector<std::int64_t> StoppingTable::flatCounts() const {
    std::vector<std::int64_t> flat;
    const auto put = [&flat](const Counts& c) {
        flat.insert(flat.end(), {c.tests, c.accurate, c.falsePos, c.falseNeg});
    };
    for (const RuleCounts& c : counts_) {
        for (const Counts& at : c.stoppedAt) put(at);
        put(c.undecided);
    }
    put(fixed_);
    return flat;
}

bool StoppingTable::setFlatCounts(const std::vector<std::int64_t>& counts) {
    const std::size_t per = 4 * (static_cast<std::size_t>(keptLengths_) + 1);
    if (counts.size() != per * counts_.size() + 4) return false;
    std::size_t at = 0;
    const auto take = [&](Counts& c) {
        c = {counts[at], counts[at + 1], counts[at + 2], counts[at + 3]};
        at += 4;
    };
    for (RuleCounts& c : counts_) {
        for (Counts& length : c.stoppedAt) take(length);
        take(c.undecided);
    }
    take(fixed_);
    return true;
}

StoppingSummary StoppingTable::summary(std::size_t rule) const {
    const RuleCounts& c = counts_[rule];
    StoppingSummary s;
    for (std::size_t n = 0; n < c.stoppedAt.size(); ++n) {
        const Counts& at = c.stoppedAt[n];
        s.tests += at.tests;
        s.accurate += at.accurate;
        s.falsePos += at.falsePos;
        s.falseNeg += at.falseNeg;
        s.lengthSum += at.tests * static_cast<std::int64_t>(n + 1);
    }
    s.tests += c.undecided.tests;
    s.accurate += c.undecided.accurate;
    s.falsePos += c.undecided.falsePos;
    s.falseNeg += c.undecided.falseNeg;
    s.undecided = c.undecided.tests;
    s.lengthSum += c.undecided.tests * static_cast<std::int64_t>(maxTestLength_);
    s.fixedAccurate = fixed_.accurate;
    s.fixedLengthSum = fixed_.tests * static_cast<std::int64_t>(maxTestLength_);
    return s;
}

const char* stoppingRowKindName(StoppingRow::Kind kind) {
    switch (kind) {
        case StoppingRow::Kind::Stopped:
            return "stopped";
        case StoppingRow::Kind::Undecided:
            return "undecided";
        case StoppingRow::Kind::Summary:
            break;
    }
    return "summary";
}

std::vector<StoppingRow> StoppingTable::rows() const {
    std::vector<StoppingRow> rows;
    rows.reserve(rules_.size() * (static_cast<std::size_t>(std::max(0, maxTestLength_)) + 2));
    const auto countsRow = [&rows](std::size_t rule, StoppingRow::Kind kind, std::int32_t length, const Counts& c) {
        StoppingRow row;
        row.rule = rule;
        row.kind = kind;
        row.length = length;
        row.tests = c.tests;
        row.accurate = c.accurate;
        row.falsePos = c.falsePos;
        row.falseNeg = c.falseNeg;
        rows.push_back(row);
    };
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const RuleCounts& c = counts_[r];
        // Lengths past the kept ones were reached by no test: rows of zeros, as documented.
        const Counts none;
        for (std::int32_t n = 1; n <= maxTestLength_; ++n)
            countsRow(r, StoppingRow::Kind::Stopped, n,
                      static_cast<std::size_t>(n) <= c.stoppedAt.size() ? c.stoppedAt[static_cast<std::size_t>(n - 1)]
                                                                        : none);
        countsRow(r, StoppingRow::Kind::Undecided, maxTestLength_, c.undecided);
        const StoppingSummary s = summary(r);
        countsRow(r, StoppingRow::Kind::Summary, 0, {s.tests, s.accurate, s.falsePos, s.falseNeg});
        const auto over = [&s](std::int64_t part) { return Share{static_cast<double>(part), s.tests}; };
        rows.back().measures = {over(s.lengthSum), over(s.accurate),       over(s.falsePos),     over(s.falseNeg),
                                over(s.undecided), over(s.fixedLengthSum), over(s.fixedAccurate)};
    }
    return rows;
}

std::string StoppingTable::text() const {
    std::string text =
        "rule,threshold,kind,length,tests,accurate,false_pos,false_neg,atl,pcc,false_pos_share,false_neg_share,"
        "undecided_share,fixed_atl,fixed_pcc";
    text += lineEnd;
    for (const StoppingRow& row : rows()) {
        const StoppingRule& rule = rules_[row.rule];
        text += stoppingRuleName(rule) + ',' +
                (rule.kind == StoppingRule::Kind::Sprt ? std::string() : formatPlain(rule.threshold)) + ',' +
                stoppingRowKindName(row.kind) + ',' +
                (row.kind == StoppingRow::Kind::Summary ? std::string() : std::to_string(row.length)) + ',' +
                std::to_string(row.tests) + ',' + std::to_string(row.accurate) + ',' + std::to_string(row.falsePos) +
                ',' + std::to_string(row.falseNeg);
        if (row.kind == StoppingRow::Kind::Summary) {
            for (const Share& measure : row.measures) text += ',' + formatPlain(measure.written());
        } else {
            text += ",,,,,,,";
        }
        text += lineEnd;
    }
    return text;
}

}  // namespace quillon
