// Two runs replayed over the same examinees, their tests paired by examinee and test number.
#include "quillon/paired_comparison/paired_comparison.h"

#include <algorithm>
#include <filesystem>

#include "quillon/engine/run_statistics.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"

namespace quillon {

namespace {

// A's outcomes are kept as bits, 4 per test and length; more than this is refused up front
// rather than failing halfway through the second replay.
constexpr std::uint64_t maxRecordBits = std::uint64_t{1} << 34;  // 2 GiB

enum Bit : std::size_t { MapRight = 0, SprtDecided = 1, SprtRight = 2, BayesRight = 3, bitsPerLength = 4 };

std::int64_t testIndex(const ExamineeLine& examinee, std::int32_t testNumber, std::int32_t testsPerPerson) {
    return (examinee.number - 1) * testsPerPerson + (testNumber - 1);
}

// Run A's outcome at every length of every test, kept for pairing with run B's.
class RunARecord : public ReplayListener {
public:
    RunARecord(std::int64_t tests, std::int32_t lengths, std::int32_t testsPerPerson)
        : lengths_(lengths),
          testsPerPerson_(testsPerPerson),
          testLength_(static_cast<std::size_t>(tests), -1),
          bits_(static_cast<std::size_t>(tests) * static_cast<std::size_t>(lengths) * bitsPerLength) {}

    void testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) override {
        const std::int64_t t = testIndex(examinee, testNumber, testsPerPerson_);
        if (t < 0 || t >= static_cast<std::int64_t>(testLength_.size())) return;
        const auto reached = std::min<std::size_t>(test.positions.size(), static_cast<std::size_t>(lengths_));
        testLength_[static_cast<std::size_t>(t)] = static_cast<std::int32_t>(reached);
        for (std::size_t n = 0; n < reached; ++n) {
            const PositionOutcome& p = test.positions[n];
            const std::size_t at = slot(t, n);
            bits_[at + MapRight] = p.mapGroup == examinee.trueGroup;
            bits_[at + SprtDecided] = p.sprtGroup > 0;
            bits_[at + SprtRight] = p.sprtGroup == examinee.trueGroup;
            bits_[at + BayesRight] = p.bayesGroup == examinee.trueGroup;
        }
    }

    std::int32_t lengthOf(std::int64_t t) const {
        return t < 0 || t >= static_cast<std::int64_t>(testLength_.size()) ? -1
                                                                           : testLength_[static_cast<std::size_t>(t)];
    }
    bool bit(std::int64_t t, std::size_t n, Bit which) const { return bits_[slot(t, n) + which]; }
    std::int32_t lengths() const { return lengths_; }
    std::int32_t testsPerPerson() const { return testsPerPerson_; }

private:
    std::size_t slot(std::int64_t t, std::size_t n) const {
        return (static_cast<std::size_t>(t) * static_cast<std::size_t>(lengths_) + n) * bitsPerLength;
    }

    std::int32_t lengths_;
    std::int32_t testsPerPerson_;
    std::vector<std::int32_t> testLength_;
    std::vector<bool> bits_;
};

void countPair(PairedCounts& counts, bool rightA, bool rightB) {
    if (rightA && rightB)
        ++counts.bothRight;
    else if (rightA)
        ++counts.aOnly;
    else if (rightB)
        ++counts.bOnly;
    else
        ++counts.bothWrong;
}

// Run B's tests, each paired with A's test of the same examinee and number as it enters B's tables.
class PairingListener : public ReplayListener {
public:
    PairingListener(const RunARecord& a, bool twoGroups)
        : a_(a), twoGroups_(twoGroups), lengths_(static_cast<std::size_t>(a.lengths())) {}

    void testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) override {
        const std::int64_t t = testIndex(examinee, testNumber, a_.testsPerPerson());
        const std::int32_t lengthA = a_.lengthOf(t);
        if (lengthA < 0) return;  // A never took this test (its replay was cut before it)
        const std::size_t both = std::min(static_cast<std::size_t>(lengthA), test.positions.size());
        for (std::size_t n = 0; n < both; ++n) {
            const PositionOutcome& p = test.positions[n];
            auto& rules = lengths_[n].rules;
            countPair(rules[0], a_.bit(t, n, MapRight), p.mapGroup == examinee.trueGroup);
            if (a_.bit(t, n, SprtDecided) && p.sprtGroup > 0)
                countPair(rules[1], a_.bit(t, n, SprtRight), p.sprtGroup == examinee.trueGroup);
            if (twoGroups_) countPair(rules[2], a_.bit(t, n, BayesRight), p.bayesGroup == examinee.trueGroup);
        }
    }

    std::vector<PairedLength> takeLengths() {
        while (!lengths_.empty() && lengths_.back().rules[0].pairs() == 0) lengths_.pop_back();
        return std::move(lengths_);
    }

private:
    const RunARecord& a_;
    bool twoGroups_;
    std::vector<PairedLength> lengths_;
};

// The settings of a replay that writes nothing: no results or exposure table.
RunSettings inMemory(const RunSettings& settings) {
    RunSettings quiet = settings;
    quiet.resultsFile.clear();
    quiet.exposureFile.clear();
    quiet.saveExposure = false;
    return quiet;
}

// A run that did not complete ends the comparison: its message has gone to the host already.
Status runEnded(const RunSummary& summary, const std::string& label) {
    if (summary.cancelled && !summary.completed)
        return Failure{FailureKind::Cancelled, "Run " + label + " was cancelled; no comparison was made."};
    if (!summary.completed)
        return Failure{FailureKind::Input, "Run " + label + " ended early; no comparison was made."};
    return {};
}

}  // namespace

const char* pairedRuleName(PairedRule rule) {
    switch (rule) {
        case PairedRule::Map:
            return "MAP";
        case PairedRule::Sprt:
            return "SPRT";
        case PairedRule::Bayes:
            return "Bayes risk";
    }
    return "";
}

Outcome<ResponseIdentity> identifyResponses(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error || !std::filesystem::exists(status))
        return Failure{FailureKind::Input, "Data file " + upperName(path) + " is not available."};
    if (!std::filesystem::is_regular_file(status))
        return Failure{FailureKind::Input, "Data file " + upperName(path) +
                                               " is not a regular file; a comparison reads it once for each run."};
    const std::optional<FileDigest> digest = digestFile(path);
    if (!digest) return Failure{FailureKind::Input, "Data file " + upperName(path) + " is not available."};
    return ResponseIdentity{path, digest->bytes, digest->digest};
}

std::string identityRefusal(const ResponseIdentity& a, const ResponseIdentity& b) {
    const auto described = [](const ResponseIdentity& id) {
        return id.path + " (" + std::to_string(id.size) + " bytes, digest " + id.digest + ")";
    };
    if (!namesOneFile(a.path, b.path))
        return "The runs read different response files, " + a.path + " and " + b.path +
               "; a paired comparison needs the same examinees.";
    if (a.size != b.size || a.digest != b.digest)
        return "The response file differs between the runs: " + described(a) + " against " + described(b) +
               "; a paired comparison needs the same examinees.";
    return {};
}

Outcome<PairedComparison> comparePairedRuns(const PairedRunSpec& a, const PairedRunSpec& b, RunHost& host,
                                            int threadCount) {
    const RunSettings settingsA = inMemory(a.settings), settingsB = inMemory(b.settings);
    if (settingsA.testsPerPerson != settingsB.testsPerPerson)
        return Failure{FailureKind::Input, "The runs give " + std::to_string(settingsA.testsPerPerson) + " and " +
                                               std::to_string(settingsB.testsPerPerson) +
                                               " tests per person; a paired comparison needs the same tests."};
    if (settingsA.groupCount != settingsB.groupCount)
        return Failure{FailureKind::Input, "The runs have " + std::to_string(settingsA.groupCount) + " and " +
                                               std::to_string(settingsB.groupCount) +
                                               " groups; a paired comparison needs the same groups."};
    if (!namesOneFile(settingsA.responseFile, settingsB.responseFile))
        return Failure{FailureKind::Input,
                       identityRefusal({settingsA.responseFile, 0, ""}, {settingsB.responseFile, 0, ""})};
    Outcome<ResponseIdentity> before = identifyResponses(settingsA.responseFile);
    if (!before) return before.failure();

    PairedComparison result;
    result.a = a;
    result.b = b;
    result.responses = *before;
    result.groupCount = settingsA.groupCount;

    Outcome<PreparedRun> preparedA = prepareRunWithoutTables(settingsA);
    if (!preparedA) return preparedA.failure();
    const std::int32_t lengthsA = keptLengths(settingsA, preparedA->inputs.pool.itemCount);
    const auto tests = static_cast<std::uint64_t>(std::max<std::int64_t>(preparedA->expectedTests, 0));
    if (lengthsA > 0 && tests > maxRecordBits / bitsPerLength / static_cast<std::uint64_t>(lengthsA))
        return Failure{FailureKind::Input, "The comparison would keep " + std::to_string(tests) + " tests of " +
                                               std::to_string(lengthsA) +
                                               " lengths in memory, more than it can; use fewer examinees or a "
                                               "shorter maximum test length."};
    RunARecord record(static_cast<std::int64_t>(tests), lengthsA, settingsA.testsPerPerson);
    RandomGenerator randomA(a.seed);
    result.summaryA = runPrepared(settingsA, *preparedA, randomA, host, {threadCount, &record});
    if (Status ended = runEnded(result.summaryA, a.label); !ended) return ended.failure();
    result.poolA = std::move(preparedA->inputs.pool);

    Outcome<PreparedRun> preparedB = prepareRunWithoutTables(settingsB);
    if (!preparedB) return preparedB.failure();
    PairingListener pairing(record, settingsA.groupCount == 2);
    RandomGenerator randomB(b.seed);
    result.summaryB = runPrepared(settingsB, *preparedB, randomB, host, {threadCount, &pairing});
    if (Status ended = runEnded(result.summaryB, b.label); !ended) return ended.failure();
    result.poolB = std::move(preparedB->inputs.pool);

    // Both replays read the file by name: it must not have changed between them.
    Outcome<ResponseIdentity> after = identifyResponses(settingsA.responseFile);
    if (!after) return after.failure();
    if (after->size != before->size || after->digest != before->digest)
        return Failure{FailureKind::Input, "Data file " + upperName(settingsA.responseFile) +
                                               " changed during the comparison; the runs did not replay the same "
                                               "examinees."};
    result.lengths = pairing.takeLengths();
    return result;
}

}  // namespace quillon
