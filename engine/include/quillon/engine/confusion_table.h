#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "quillon/engine/test_record.h"

namespace quillon {

/// One row of the confusion table.
struct ConfusionRow {
    std::int32_t length = 0;
    int rule = 0;  // 0 MAP, 1 SPRT
    std::int32_t trueGroup = 0, decided = 0;
    std::int64_t tests = 0;
};

/// The name of a confusion row's rule in the table: "MAP" or "SPRT".
const char* confusionRuleName(int rule);

/// For every test length, how many tests of each true group the MAP rule (and the SPRT, among
/// the tests it decided) put in each group: where the misclassifications of a test with several
/// groups go.
class ConfusionTable {
public:
    ConfusionTable() = default;

    /// Counts up to `keptLengths` (negative: every length); the text runs to `maxTestLength`.
    ConfusionTable(std::int32_t groupCount, std::int32_t maxTestLength, std::int32_t keptLengths = -1);

    /// Counts one complete test of an examinee whose true group is `trueGroup`.
    void addTest(const TestRecord& test, std::int32_t trueGroup);

    /// Adds the counts of another table of the same run.
    void merge(const ConfusionTable& other);

    /// The tests at a length that the rule ("MAP" or "SPRT") put in `decided` from `trueGroup`.
    std::int64_t count(std::int32_t length, const std::string& rule, std::int32_t trueGroup,
                       std::int32_t decided) const;

    /// One count of a pair outside groups 1 to groupCount.
    struct OtherCount {
        std::int32_t length = 0;
        int rule = 0;  // 0 MAP, 1 SPRT
        std::int32_t trueGroup = 0, decided = 0;
        std::int64_t tests = 0;
    };

    std::int32_t groupCount() const { return groupCount_; }
    std::int32_t keptLengths() const { return keptLengths_; }

    /// The counts of the pairs of groups 1 to groupCount, [((length - 1) * 2 + rule) * G * G + ...].
    const std::vector<std::int64_t>& denseCounts() const { return dense_; }
    std::vector<std::int64_t>& denseCounts() { return dense_; }

    /// The other pairs in key order; `addOther` puts one back (a stored part).
    std::vector<OtherCount> otherCounts() const;
    void addOther(const OtherCount& count);

    /// Every row of the table in its order (see `text`).
    std::vector<ConfusionRow> rows() const;

    /// The table as CSV in long form: length, rule, true group, decided group, tests; every
    /// pair of groups 1 to groupCount, plus any other pair that occurred. CR LF line ends.
    std::string text() const;

private:
    void add(std::int32_t length, int rule, std::int32_t trueGroup, std::int32_t decided);
    // Where a pair of groups 1 to groupCount is counted in `dense_`; none for any other pair.
    std::optional<std::size_t> denseIndex(std::int32_t length, int rule, std::int32_t trueGroup,
                                          std::int32_t decided) const;

    using Key = std::tuple<std::int32_t, int, std::int32_t, std::int32_t>;  // length, rule, true, decided
    std::int32_t groupCount_ = 0;
    std::int32_t maxTestLength_ = 0;
    std::int32_t keptLengths_ = 0;
    // Pairs of groups 1 to groupCount, counted densely: [((length - 1) * 2 + rule) * G * G + ...].
    std::vector<std::int64_t> dense_;
    // Any other pair (a true group beyond groupCount, or MAP group 0), which valid files never give.
    std::map<Key, std::int64_t> other_;
};

}  // namespace quillon
