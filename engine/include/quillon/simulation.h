#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillon/input_files.h"
#include "quillon/item_selection.h"
#include "quillon/output_tables.h"
#include "quillon/posterior.h"
#include "quillon/random_generator.h"
#include "quillon/run_host.h"
#include "quillon/run_settings.h"

namespace quillon {

/// What one position of a test produced: the item and the three rules' decisions.
struct PositionOutcome {
    std::int32_t item = 0;
    std::int32_t mapGroup = 0;
    std::int32_t sprtGroup = 0;   // 0: no decision
    std::int32_t bayesGroup = 0;  // 0: not computed (groupCount other than 2)
    double mapProb = 0.0;
    double bayesProb = 0.0;
};

/// How one position came about, kept only for a trace: the collection, the answer scored, the
/// selection's detail and the posterior after the update.
struct PositionTrace {
    std::int32_t collection = 0;
    std::int32_t answer = 0;
    SelectionDetail selection;
    std::vector<double> posterior;
};

/// One simulated test. When `failed`, the last position's collection had no eligible item and
/// `positions` holds only the positions before it.
struct TestRecord {
    std::vector<PositionOutcome> positions;
    std::vector<PositionTrace> traces;             // one per position, when the run keeps traces
    std::vector<std::int32_t> icolErrorPositions;  // positions whose drawn collection was above 8
    bool failed = false;
    std::int32_t failedCollection = 0;
};

/// One examinee's whole simulation: a function of its line, the inputs, the settings and the
/// generator's state at its start.
struct ExamineeOutcome {
    std::int32_t trueGroup = 1;
    std::vector<TestRecord> tests;  // stops after a failed test
};

/// One administered item as the replay saw it, for whoever follows a test position by position.
struct PositionDetail {
    std::int32_t test = 0;        // 1-based test of the examinee
    std::int32_t position = 0;    // 1-based position in the test
    std::int32_t collection = 0;  // the collection selection drew from (the script's when followed)
    std::int32_t answer = 0;      // the answer value that was scored
    const PositionOutcome* outcome = nullptr;
    const GroupPosterior* posterior = nullptr;  // after the update
};

/// Watches one examinee's simulation, item by item; costs nothing when absent.
class PositionObserver {
public:
    virtual ~PositionObserver() = default;
    virtual void positionDone(const PositionDetail& detail) = 0;
};

/// Replays examinees one at a time; holds the reusable per-examinee state of one thread.
class ExamineeSimulator {
public:
    ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings);

    /// Runs every test of one examinee, drawing from `random`; `observer`, when given, sees every
    /// administered item.
    void simulate(const ResponseRecord& record, RandomGenerator& random, ExamineeOutcome& outcome,
                  PositionObserver* observer = nullptr);

    std::int64_t candidatesScored() const { return selector_.candidatesScored(); }

    /// Keeps a trace of every position from now on, with the best `bestCount` candidates.
    void keepTraces(std::int32_t bestCount);

private:
    void collectionDraw(std::int32_t& collection, RandomGenerator& random);

    const InputFiles& inputs_;
    const RunSettings& settings_;
    ItemSelector selector_;
    ExclusionMarks marks_;
    GroupPosterior posterior_;
    std::vector<std::int32_t> deckRemaining_;
    bool keepTraces_ = false;
};

/// One examinee as the run takes it, in file order.
struct ExamineeLine {
    std::int64_t number = 0;  // 1-based line of the response file
    const std::string* text = nullptr;
    std::int32_t trueGroup = 1;
};

/// Follows a run's replay in file order, for what a run reports beyond its two tables (a trace,
/// where tests would have stopped): it sees every test that enters the tables, in their order.
class ReplayListener {
public:
    virtual ~ReplayListener() = default;

    /// Whether every position's trace is wanted, with how many best candidates; negative: no trace.
    virtual std::int32_t traceCandidates() const { return -1; }

    /// The files are loaded and the replay is about to start.
    virtual void replayStarts(const InputFiles& inputs) { (void)inputs; }

    /// One complete test (`testNumber` 1-based) of an examinee, as it enters the tables.
    virtual void testTaken(const ExamineeLine& examinee, std::int32_t testNumber, const TestRecord& test) = 0;
};

/// What one shard of a run replayed and counted, or what the parts of a run add up to: the
/// statistics the tables are written from and what the one-process run shows on the way.
struct ShardState {
    std::int32_t shard = 0, shardCount = 0;
    std::int64_t lineCount = 0;   // lines of the whole response file
    std::int64_t firstLine = 0;   // 0-based first line of the shard's range
    std::int64_t rangeLines = 0;  // lines in the range (0 is a valid range)
    std::int64_t expectedTests = 0;
    std::int64_t examinees = 0;         // examinees folded, the range's and any beyond it
    RunStatistics statistics;           // testsStarted: the tests this shard started
    std::vector<std::string> messages;  // in the order the one-process run shows them
    bool failed = false;                // the last message is the failure; no tables follow
    std::int64_t failedLine = 0;        // 1-based line of the failing examinee
    bool cancelled = false;             // cut at a progress point after an "icol error"
    bool coversRest = false;            // the one-process run ends within this shard's replay
};

/// The thread count a run uses when none is given: the CPUs this process may run on (its
/// affinity, as a batch system such as Slurm restricts it), else the machine's cores; at least 1.
int defaultThreadCount();

/// How many threads a run may use; the files are the same for every count.
struct RunOptions {
    int threadCount = 1;
    ReplayListener* listener = nullptr;  // sees every test taken into the tables

    /// With shardCount > 0: replay only the shard-th of shardCount contiguous ranges of
    /// examinees and hand the state to `shardDone` instead of writing tables; `shardDone`
    /// returns a message when the state could not be kept.
    std::int32_t shard = 0, shardCount = 0;
    std::function<std::string(const InputFiles& inputs, const ShardState& state)> shardDone{};

    /// When set, takes the replay's place: fills `merged` from stored parts, shaped like the
    /// run's `fresh` statistics, or returns why the parts cannot be merged.
    std::function<std::string(std::int64_t expectedTests, const RunStatistics& fresh, ShardState& merged)> mergeParts{};
};

/// How a run ended and what it did, for the runner's exit code and the benchmarks.
struct RunSummary {
    bool completed = false;  // the Done message was shown
    bool cancelled = false;
    bool inputsRejected = false;  // the run ended at a message about the settings or the input files
    std::int64_t examinees = 0;
    std::int64_t testsStarted = 0;
    std::int64_t expectedTests = 0;
    std::int64_t selections = 0;
    std::int64_t candidatesScored = 0;
};

/// The progress text: "Processing test" with the counts, a carriage return and the share done,
/// followed by `tail` (" done)" during the replay).
std::string progressText(std::int64_t testsStarted, std::int64_t expectedTests, const std::string& tail);

/// The message that ends a completed run.
std::string doneMessage(std::int64_t testsStarted, std::int64_t expectedTests, std::int32_t itemCount,
                        std::int32_t testsPerPerson, bool exposureUnavailable);

/// One whole run: checks the settings, loads the files, replays every examinee, writes the
/// tables and shows the Done message; every message goes through `host`. `random` continues
/// from where the previous run left it.
RunSummary runSimulation(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                         const RunOptions& options = {});

}  // namespace quillon
