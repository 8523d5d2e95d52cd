#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillon/engine/input_files.h"
#include "quillon/engine/item_selection.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/posterior.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/engine/test_record.h"
#include "quillon/outcome/outcome.h"

namespace quillon {

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
    /// The same with a selector made for this run (ItemSelector::twin), whose tables it shares.
    ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings, ItemSelector selector);

    /// Runs every test of one examinee, drawing from `random`; `observer`, when given, sees every
    /// administered item.
    void simulate(const ResponseRecord& record, RandomGenerator& random, ExamineeOutcome& outcome,
                  PositionObserver* observer = nullptr);

    std::int64_t candidatesScored() const { return selector_.candidatesScored(); }

    /// Keeps a trace of every position from now on, with the best `bestCount` candidates.
    void keepTraces(std::int32_t bestCount);

    /// Under the eligibility method: each item's probability of being eligible for the examinees
    /// simulated from now on, and the counts their tests add to; both belong to the caller.
    void useEligibility(const std::vector<double>* probabilities, EligibilityCounts* counts) {
        eligibility_ = probabilities;
        eligibilityCounts_ = counts;
    }

private:
    void collectionDraw(std::int32_t& collection, RandomGenerator& random);
    void drawEligibility(RandomGenerator& control);
    std::int32_t chooseUnderControl(std::int32_t& collection, std::int32_t position, RandomGenerator& random,
                                    RandomGenerator& control, TestRecord& test);
    std::int32_t chooseOrFallBack(std::int32_t& collection, std::int32_t position, RandomGenerator& random,
                                  RandomGenerator* merit);

    const InputFiles& inputs_;
    const RunSettings& settings_;
    ItemSelector selector_;
    ExclusionMarks marks_;
    GroupPosterior posterior_;
    std::vector<std::int32_t> deckRemaining_;
    bool keepTraces_ = false;
    const std::vector<double>* eligibility_ = nullptr;
    EligibilityCounts* eligibilityCounts_ = nullptr;
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

/// The thread count a run uses when none is given: the CPUs this process may run on (its
/// affinity, as a batch system such as Slurm restricts it), else the machine's cores; at least 1.
int defaultThreadCount();

/// How many threads a run may use; the files are the same for every count.
struct RunOptions {
    int threadCount = 1;
    ReplayListener* listener = nullptr;  // sees every test taken into the tables
};

/// How a run ended and what it did, for the runner's exit code and the benchmarks; `statistics`
/// is the run's whole result, which every table and report is written from.
struct RunSummary {
    bool completed = false;  // the Done message was shown
    bool cancelled = false;
    bool inputsRejected = false;  // the run ended at a message about the settings or the input files
    std::int64_t examinees = 0;
    std::int64_t testsStarted = 0;
    std::int64_t expectedTests = 0;
    std::int64_t selections = 0;
    std::int64_t candidatesScored = 0;
    int workerThreads = 0;  // threads that simulated examinees: the thread count when each had work
    RunStatistics statistics;
};

/// A run's inputs, loaded and checked, with its response lines open and counted: all a replay needs.
struct PreparedRun {
    InputFiles inputs;
    std::unique_ptr<LineReader> responses;
    std::int64_t lineCount = 0;
    std::int64_t expectedTests = 0;  // lines times tests per person
};

/// Checks the settings, loads the files the settings name and counts the response lines; the
/// failure carries the message that ends the run (Usage for the settings, Input for a file).
Outcome<PreparedRun> prepareRun(const RunSettings& settings);

/// The same for a replay that writes no table (a merge kept in memory, a comparison): the inputs
/// are loaded and checked, the output names are not.
Outcome<PreparedRun> prepareRunWithoutTables(const RunSettings& settings);

/// The same from inputs already loaded and the response file's text in memory.
Outcome<PreparedRun> prepareRun(const RunSettings& settings, InputFiles inputs, std::string responses);

/// The same from inputs already loaded and the response lines of any reader; messages name the
/// response file `settings.responseFile`.
Outcome<PreparedRun> prepareRun(const RunSettings& settings, InputFiles inputs, std::unique_ptr<LineReader> responses);

/// Ends a run whose statistics are complete: writes the results table (none for an empty name, as
/// a package run in memory has) and, with "Save exposure", the exposure table, closes the progress
/// display and shows the Done message, through `host`.
void finishRun(const RunSettings& settings, const ItemPool& pool, const RunStatistics& statistics,
               std::int64_t expectedTests, RunHost& host, ProgressHandle handle);

/// The message that ends a completed run.
std::string doneMessage(std::int64_t testsStarted, std::int64_t expectedTests, std::int32_t itemCount,
                        std::int32_t testsPerPerson, bool exposureUnavailable);

/// A prepared run from its replay on: replays every examinee, writes the tables and shows the
/// Done message, as `runSimulation` does after loading. `prepared.responses` is consumed.
RunSummary runPrepared(const RunSettings& settings, PreparedRun& prepared, RandomGenerator& random, RunHost& host,
                       const RunOptions& options = {});

/// One whole run: checks the settings, loads the files, replays every examinee, writes the
/// tables and shows the Done message; every message goes through `host`. `random` continues
/// from where the previous run left it.
RunSummary runSimulation(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                         const RunOptions& options = {});

}  // namespace quillon
