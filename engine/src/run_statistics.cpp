#include "quillon/engine/run_statistics.h"

#include <algorithm>

#include "quillon/engine/decisions.h"

namespace quillon {

std::int32_t keptLengths(const RunSettings& settings, std::int32_t itemCount) {
    return std::max(0, std::min(settings.maxTestLength, itemCount));
}

RunStatistics emptyRunStatistics(const RunSettings& settings, std::int32_t itemCount) {
    RunStatistics statistics;
    const std::int32_t kept = keptLengths(settings, itemCount);
    statistics.lengths.resize(static_cast<std::size_t>(kept));
    statistics.exposureCount.assign(static_cast<std::size_t>(std::max(0, itemCount)), 0);
    statistics.stopping = StoppingTable(stoppingRules(settings.stopProbabilities), settings.maxTestLength, kept);
    statistics.confusion = ConfusionTable(settings.groupCount, settings.maxTestLength, kept);
    return statistics;
}

void RunStatistics::addTest(const TestRecord& test, std::int32_t trueGroup) {
    for (std::size_t n = 0; n < test.positions.size(); ++n) {
        const PositionOutcome& p = test.positions[n];
        LengthStatistics& s = lengths[n];
        ++exposureCount[static_cast<std::size_t>(p.item - 1)];
        s.mapProbSum += p.mapProb;
        countOutcome(classifyOutcome(p.mapGroup, trueGroup), s.mapAccurate, s.mapFalsePos, s.mapFalseNeg);
        if (p.sprtGroup > 0) {
            ++s.sprtDecided;
            countOutcome(classifyOutcome(p.sprtGroup, trueGroup), s.sprtAccurate, s.sprtFalsePos, s.sprtFalseNeg);
        }
        if (p.bayesGroup > 0) {
            s.bayesProbSum += p.bayesProb;
            countOutcome(classifyOutcome(p.bayesGroup, trueGroup), s.bayesAccurate, s.bayesFalsePos, s.bayesFalseNeg);
        }
    }
    stopping.addTest(test, trueGroup);
    confusion.addTest(test, trueGroup);
    ++testsTaken;
    selections += static_cast<std::int64_t>(test.positions.size());
}

void RunStatistics::merge(const RunStatistics& later) {
    if (stop.ended) return;
    testsStarted += later.testsStarted;
    testsTaken += later.testsTaken;
    examinees += later.examinees;
    selections += later.selections;
    for (std::size_t i = 0; i < later.exposureCount.size() && i < exposureCount.size(); ++i)
        exposureCount[i] += later.exposureCount[i];
    for (std::size_t n = 0; n < later.lengths.size() && n < lengths.size(); ++n) {
        LengthStatistics& t = lengths[n];
        const LengthStatistics& p = later.lengths[n];
        t.mapAccurate += p.mapAccurate;
        t.mapFalsePos += p.mapFalsePos;
        t.mapFalseNeg += p.mapFalseNeg;
        t.mapProbSum.merge(p.mapProbSum);
        t.sprtDecided += p.sprtDecided;
        t.sprtAccurate += p.sprtAccurate;
        t.sprtFalsePos += p.sprtFalsePos;
        t.sprtFalseNeg += p.sprtFalseNeg;
        t.bayesAccurate += p.bayesAccurate;
        t.bayesFalsePos += p.bayesFalsePos;
        t.bayesFalseNeg += p.bayesFalseNeg;
        t.bayesProbSum.merge(p.bayesProbSum);
    }
    if (keepsExamineeRows) examineeRows += later.examineeRows;
    stopping.merge(later.stopping);
    confusion.merge(later.confusion);
    stop.messages.insert(stop.messages.end(), later.stop.messages.begin(), later.stop.messages.end());
    if (later.stop.ended)
        stop = {std::move(stop.messages), true, later.stop.failed, later.stop.cancelled, later.stop.failedLine};
}

bool RunStatistics::countsConsistent() const {
    std::int64_t exposed = 0;
    for (std::int64_t count : exposureCount) exposed += count;
    if (exposed != selections) return false;
    for (std::size_t r = 0; r < stopping.rules().size(); ++r) {
        if (stopping.summary(r).tests != testsTaken) return false;
    }
    return true;
}

}  // namespace quillon
