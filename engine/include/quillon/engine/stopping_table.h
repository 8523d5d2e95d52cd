#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/share.h"
#include "quillon/engine/test_record.h"

namespace quillon {

/// A rule that would end a variable-length test: the SPRT, or the MAP group's probability
/// reaching a threshold.
struct StoppingRule {
    enum class Kind { Sprt, PosteriorThreshold };
    Kind kind = Kind::Sprt;
    double threshold = 0.0;  // PosteriorThreshold only, in (0, 1)
};

/// What one rule's stops add up to over the tests of a run; every figure is an integer count, so
/// the means are exact sums divided once.
struct StoppingSummary {
    std::int64_t tests = 0;
    std::int64_t accurate = 0, falsePos = 0, falseNeg = 0;
    std::int64_t undecided = 0;      // tests the rule never stopped by the last length
    std::int64_t lengthSum = 0;      // administered items up to each stop (the last length if none)
    std::int64_t fixedAccurate = 0;  // MAP accurate at the last length: the fixed-length test
    std::int64_t fixedLengthSum = 0;

    double averageLength() const;
    double percentCorrect() const;  // a share from 0 to 1
    double fixedAverageLength() const;
    double fixedPercentCorrect() const;
};

/// One row of the stopping table, as the text writes it and the packages return it.
struct StoppingRow {
    enum class Kind { Stopped, Undecided, Summary };
    std::size_t rule = 0;  // index into the table's rules
    Kind kind = Kind::Stopped;
    std::int32_t length = 0;  // none (0) on the summary row
    std::int64_t tests = 0, accurate = 0, falsePos = 0, falseNeg = 0;
    // Summary row only, in the table's order: atl, pcc, false_pos_share, false_neg_share,
    // undecided_share, fixed_atl, fixed_pcc; each over the rule's tests.
    std::array<Share, 7> measures{};
};

/// The name of a row's kind in the table: "stopped", "undecided" or "summary".
const char* stoppingRowKindName(StoppingRow::Kind kind);

/// Where each test would have stopped under each rule, and how that stop classified it. The
/// items chosen never depend on a stop, so the first length at which a rule decides is exactly
/// where the variable-length test ends.
class StoppingTable {
public:
    StoppingTable() = default;

    /// Counts stops up to `keptLengths` (no test outlasts the pool, so a huge maximum costs no
    /// memory); the text still runs to `maxTestLength`. A negative `keptLengths` keeps every length.
    StoppingTable(std::vector<StoppingRule> rules, std::int32_t maxTestLength, std::int32_t keptLengths = -1);

    /// Counts one complete test of an examinee whose true group is `trueGroup`.
    void addTest(const TestRecord& test, std::int32_t trueGroup);

    /// Adds the counts of another table over the same rules and length (a part of the same run).
    void merge(const StoppingTable& other);

    std::int32_t maxTestLength() const { return maxTestLength_; }
    std::int32_t keptLengths() const { return keptLengths_; }

    /// Every count in a fixed order (per rule: each kept length's tests, accurate, false positives
    /// and false negatives, then the undecided; then the fixed-length test), for storing a part.
    std::vector<std::int64_t> flatCounts() const;

    /// Takes counts in the order of `flatCounts`; false when there are not exactly as many.
    bool setFlatCounts(const std::vector<std::int64_t>& counts);

    const std::vector<StoppingRule>& rules() const { return rules_; }
    StoppingSummary summary(std::size_t rule) const;

    /// Every row of the table in its order: per rule one stopped row for each length 1 to the
    /// maximum, its undecided row and its summary row.
    std::vector<StoppingRow> rows() const;

    /// The table as CSV in long form (one row per rule and length, then each rule's undecided
    /// tests and its summary), CR LF line ends.
    std::string text() const;

private:
    struct Counts {
        std::int64_t tests = 0, accurate = 0, falsePos = 0, falseNeg = 0;
        void add(std::int32_t decided, std::int32_t trueGroup);
        void merge(const Counts& other);
    };
    struct RuleCounts {
        std::vector<Counts> stoppedAt;  // [length - 1]
        Counts undecided;
    };

    std::vector<StoppingRule> rules_;
    std::int32_t maxTestLength_ = 0;
    std::int32_t keptLengths_ = 0;
    std::vector<RuleCounts> counts_;
    Counts fixed_;  // MAP at the last length
};

/// Where a rule first decides a test: the 1-based length and the group, or {0, 0} when it never does.
struct FirstDecision {
    std::int32_t length = 0;
    std::int32_t group = 0;
};
FirstDecision firstDecision(const StoppingRule& rule, const TestRecord& test);

/// The rules of a run: the SPRT, then the MAP-probability rule at each threshold.
std::vector<StoppingRule> stoppingRules(const std::vector<double>& thresholds);

/// The rule's name in the table and on the console: "SPRT" or "Posterior".
std::string stoppingRuleName(const StoppingRule& rule);

}  // namespace quillon
