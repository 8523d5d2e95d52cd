#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "quillon/engine/input_files.h"
#include "quillon/engine/random_generator.h"
#include "quillon/engine/run_settings.h"
#include "quillon/engine/simulation.h"

namespace quillon {

/// What the run makes of one examinee's outcome: go on, or stop at a cancel or a failure.
enum class FoldResult { Continue, Cancelled, Failed };

/// Takes one examinee's outcome into the run and sets how many of its tests were taken (the rest
/// were cut by a cancel or a failure).
using OutcomeFold =
    std::function<FoldResult(const ExamineeLine& examinee, const ExamineeOutcome& outcome, std::size_t& testsTaken)>;

/// How a replay ended.
struct ReplayEnd {
    std::int64_t examinees = 0;  // examinees whose outcome was folded
    bool cancelled = false;
    bool failed = false;
    std::int64_t candidatesScored = 0;
    int threadsStarted = 0;  // threads the replay started for itself (none with one thread)
    int workerThreads = 0;   // threads that simulated at least one batch of examinees
};

/// Simulates the examinees of a response file on several threads and folds their outcomes in
/// file order, leaving the generator where a single thread would have left it.
///
/// Each replay owns its threads: with a thread count of 1 it runs wholly on the calling thread;
/// with more it starts that many threads to simulate, whatever the number of cores, and joins
/// them before it returns or throws. Nothing process-wide is set, so replays started at once in
/// one process do not limit each other.
class ReplayExecutor {
public:
    /// `traceCandidates` of 0 or more keeps every position's trace with that many best candidates.
    ReplayExecutor(const InputFiles& inputs, const RunSettings& settings, int threadCount,
                   std::int32_t traceCandidates = -1);

    /// Reads `responses` to its end or to the first cancel or failure; `random` continues from
    /// where it stands and ends after the last draw of the tests that were taken. With a range,
    /// only `examineeCount` examinees from the 0-based line `firstExaminee` on are simulated, each
    /// from the state it has in a whole replay started from `random` (a negative count: to the end).
    ///
    /// `responses` is read and `fold` is called only on the calling thread, `fold` in file order,
    /// so a fold may call the host's progress and cancel functions directly. An exception thrown
    /// while simulating an examinee that a single thread would have reached, or thrown by `fold`,
    /// reaches the caller once every thread of the replay has stopped; `random` is then unspecified.
    ReplayEnd replay(LineReader& responses, RandomGenerator& random, const OutcomeFold& fold,
                     std::int64_t firstExaminee = 0, std::int64_t examineeCount = -1);

private:
    const InputFiles& inputs_;
    const RunSettings& settings_;
    int threadCount_;
    std::int32_t traceCandidates_;
};

}  // namespace quillon
