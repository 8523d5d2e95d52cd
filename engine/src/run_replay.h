#pragma once

#include <cstdint>
#include <string>

#include "quillon/engine/input_files.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_host.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/run_statistics.h"
#include "quillon/engine/simulation.h"

// The replay of a run's examinees and the pieces of a run's progress and tables that the whole run
// and its shards share, inside the engine.

namespace quillon {

/// Fills the summary's counts from a run's statistics, whichever way they came about.
void summarizeCounts(RunSummary& summary, const RunStatistics& statistics, std::int64_t expectedTests);

/// Which examinees a replay takes and how it is run.
struct ReplayOptions {
    int threadCount = 1;
    ReplayListener* listener = nullptr;
    std::int64_t firstExaminee = 0;   // 0-based line of the response file
    std::int64_t examineeCount = -1;  // negative: to the end
    bool keepExamineeRows = false;    // into the statistics, one row per counted test
};

/// What a replay counted, and the work it took.
struct Replayed {
    RunStatistics statistics;
    std::int64_t candidatesScored = 0;
    int workerThreads = 0;  // threads that simulated at least one batch of examinees
};

/// Replays examinees of a prepared run from where `responses` stands (a range is skipped to),
/// each from its place in the whole run's random sequence: the statistics of exactly those
/// examinees, the same for any thread count. Progress points, the cancel and the replay's
/// messages ("icol error", a failed selection) go through `host` and `handle` as they fall in the
/// one-process run, and the messages are kept in `statistics.stop`. `random` holds the run's
/// starting state and is left where the replay's last counted draw leaves it.
Replayed replayExaminees(const RunSettings& settings, const InputFiles& inputs, LineReader& responses,
                         std::int64_t expectedTests, RandomGenerator& random, RunHost& host, ProgressHandle handle,
                         const ReplayOptions& options);

/// The progress-point rule: a run reports, and asks whether to stop, at every hundredth of its
/// expected tests (at every test when fewer than 100 are expected).
bool isProgressPoint(std::int64_t testsStarted, std::int64_t expectedTests);

/// The results table for every length up to the settings' maximum, from finished statistics.
std::string runResultsText(const RunStatistics& statistics, const RunSettings& settings);

/// The progress text: "Processing test" with the counts, a carriage return and the share done,
/// followed by `tail` (" done)" during the replay).
std::string progressText(std::int64_t testsStarted, std::int64_t expectedTests, const std::string& tail);

}  // namespace quillon
