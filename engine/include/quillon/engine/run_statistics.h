#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quillon/engine/confusion_table.h"
#include "quillon/engine/exact_sum.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/stopping_table.h"
#include "quillon/engine/test_record.h"

namespace quillon {

/// What the run counted at one test length, over all its tests.
struct LengthStatistics {
    std::int64_t mapAccurate = 0, mapFalsePos = 0, mapFalseNeg = 0;
    ExactSum mapProbSum;  // exact, so the total does not depend on the order it was added in
    std::int64_t sprtDecided = 0, sprtAccurate = 0, sprtFalsePos = 0, sprtFalseNeg = 0;
    std::int64_t bayesAccurate = 0, bayesFalsePos = 0, bayesFalseNeg = 0;
    ExactSum bayesProbSum;
};

/// How the replay of a run (or of a range of its examinees) ended: the messages it showed on the
/// way, in order, and whether it stopped early.
struct ReplayStop {
    std::vector<std::string> messages;
    bool ended = false;           // the one-process run ends within these examinees
    bool failed = false;          // ...at a failed selection: the last message says so, no tables
    bool cancelled = false;       // ...at a cancel, or at the progress point after an "icol error"
    std::int64_t failedLine = 0;  // 1-based line of the failing examinee
};

/// Everything every table and report of a run needs, kept exactly: counts and exact sums, so that
/// the statistics of consecutive ranges of examinees merge into those of the whole range, whatever
/// the split and the thread count.
struct RunStatistics {
    std::vector<LengthStatistics> lengths;    // [length - 1], up to the kept lengths
    std::vector<std::int64_t> exposureCount;  // [position - 1]
    StoppingTable stopping;                   // the SPRT, then each stop probability
    ConfusionTable confusion;
    std::int64_t testsStarted = 0;  // every test begun, also one cut by a failure
    std::int64_t testsTaken = 0;    // complete tests counted in the tables
    std::int64_t examinees = 0;     // examinees whose tests were replayed
    std::int64_t selections = 0;    // items administered in the counted tests
    ReplayStop stop;
    // When asked for (a shard whose merge writes the examinees table, a package): one row per
    // counted test, in file order, as the examinees table has them.
    bool keepsExamineeRows = false;
    std::string examineeRows;

    /// Counts one complete test of an examinee whose true group is `trueGroup`.
    void addTest(const TestRecord& test, std::int32_t trueGroup);

    /// Adds the statistics of the examinees that follow these ones (same run, same shape). Exact
    /// and associative; once these end the run (`stop.ended`), nothing later counts.
    void merge(const RunStatistics& later);

    /// Whether the counts agree with one another: every stopping rule counted every test taken,
    /// and every selection exposed one item.
    bool countsConsistent() const;
};

/// Statistics with nothing counted yet, shaped for a run of `settings` over a pool of `itemCount`
/// items: lengths up to the longest test the pool allows, the stopping rules of the settings.
RunStatistics emptyRunStatistics(const RunSettings& settings, std::int32_t itemCount);

/// The number of lengths a run keeps statistics for: no test outlasts the pool, since no item is
/// given twice, so longer lengths need no room.
std::int32_t keptLengths(const RunSettings& settings, std::int32_t itemCount);

}  // namespace quillon
