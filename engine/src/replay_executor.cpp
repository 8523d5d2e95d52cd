#include "replay_executor.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quillon/engine/invariant.h"

namespace quillon {

namespace {

// A run of consecutive examinees, simulated together by one thread. Batches are reused, so the
// lines and outcomes keep their storage from one batch to the next.
struct Batch {
    std::int64_t firstExaminee = 0;  // 0-based place in the file
    std::size_t size = 0;            // lines of this batch: the first `size` of `lines`
    std::vector<std::string> lines;
    std::vector<ExamineeOutcome> outcomes;
    std::vector<RandomGenerator> startStates;  // per examinee, for a cut at a cancel
    RandomGenerator endState;                  // after the batch's last simulated draw
    // Written by the thread that simulated the batch and read by the caller once `done` is set,
    // both under the threads' lock.
    bool done = false;
    std::exception_ptr error;
};

// The generator's state `draws` draws after `from`.
std::uint32_t stateAfter(RandomGenerator from, std::uint64_t draws) {
    from.jump(draws);
    return from.state();
}

// Small enough that a cancel takes effect quickly, large enough to keep the threads busy.
constexpr std::size_t batchSize = 32;

// One call of replay: reads, simulates and folds batches; the caller's thread alone reads and
// folds, any thread simulates.
class Replay {
public:
    Replay(const InputFiles& inputs, const RunSettings& settings, std::int32_t traceCandidates, LineReader& responses,
           RandomGenerator& random, const OutcomeFold& fold, std::int64_t firstExaminee, std::int64_t examineeCount)
        : inputs_(inputs),
          settings_(settings),
          traceCandidates_(traceCandidates),
          responses_(responses),
          random_(random),
          fold_(fold),
          runStart_(random),
          drawsPerTest_(2 * static_cast<std::uint64_t>(settings.maxTestLength)),
          drawsPerExaminee_(drawsPerTest_ * static_cast<std::uint64_t>(settings.testsPerPerson)) {
        for (std::string skipped; examineesRead_ < firstExaminee && responses.nextLine(skipped);) ++examineesRead_;
        lastExaminee_ = examineeCount < 0 ? std::numeric_limits<std::int64_t>::max() : examineesRead_ + examineeCount;
    }

    ExamineeSimulator makeSimulator() const {
        ExamineeSimulator simulator(inputs_, settings_);
        if (traceCandidates_ >= 0) simulator.keepTraces(traceCandidates_);
        return simulator;
    }

    // Fills `batch` with the next lines of the range; false when none is left.
    bool read(Batch& batch) {
        batch.firstExaminee = examineesRead_;
        batch.size = 0;
        batch.done = false;
        batch.error = nullptr;
        if (batch.lines.size() < batchSize) batch.lines.resize(batchSize);
        while (batch.size < batchSize && examineesRead_ + static_cast<std::int64_t>(batch.size) < lastExaminee_ &&
               responses_.nextLine(batch.lines[batch.size]))
            ++batch.size;
        examineesRead_ += static_cast<std::int64_t>(batch.size);
        return batch.size > 0;
    }

    void simulate(Batch& batch, ExamineeSimulator& simulator) const {
        // Every examinee of a complete run takes exactly two draws per position (asserted below),
        // so examinee e starts 2 * length * tests * e draws after the run's start whatever thread
        // simulates it, and a cut after t tests leaves the generator 2 * length * t draws on.
        RandomGenerator generator = runStart_;
        generator.jump(drawsPerExaminee_ * static_cast<std::uint64_t>(batch.firstExaminee));
        batch.outcomes.resize(batch.size);
        batch.startStates.clear();
        for (std::size_t e = 0; e < batch.size; ++e) {
            batch.startStates.push_back(generator);
            simulator.simulate(parseResponseLine(batch.lines[e]), generator, batch.outcomes[e]);
            // Nothing after a failed selection is ever used.
            if (batch.outcomes[e].tests.back().failed) {
                batch.outcomes.resize(e + 1);
                break;
            }
            QUILLON_ASSERT(stateAfter(batch.startStates[e], drawsPerExaminee_) == generator.state());
        }
        batch.endState = generator;
    }

    // Folds a simulated batch; false when the run stops at one of its examinees.
    bool take(const Batch& batch) {
        for (std::size_t e = 0; e < batch.outcomes.size(); ++e) {
            std::size_t testsTaken = 0;
            const ExamineeLine examinee{batch.firstExaminee + static_cast<std::int64_t>(e) + 1, &batch.lines[e],
                                        batch.outcomes[e].trueGroup};
            const FoldResult result = fold_(examinee, batch.outcomes[e], testsTaken);
            ++end.examinees;
            if (result == FoldResult::Continue) continue;
            if (result == FoldResult::Failed) {
                end.failed = true;
                random_ = batch.endState;
            } else {
                // The generator stands where it would had the cut tests never run.
                random_ = batch.startStates[e];
                random_.jump(drawsPerTest_ * testsTaken);
                end.cancelled = true;
            }
            return false;
        }
        random_ = batch.endState;
        return true;
    }

    ReplayEnd end;

private:
    const InputFiles& inputs_;
    const RunSettings& settings_;
    std::int32_t traceCandidates_;
    LineReader& responses_;
    RandomGenerator& random_;
    const OutcomeFold& fold_;
    const RandomGenerator runStart_;
    const std::uint64_t drawsPerTest_;
    const std::uint64_t drawsPerExaminee_;
    std::int64_t examineesRead_ = 0;
    std::int64_t lastExaminee_ = 0;
};

// The threads of one replay: each takes batches in the order they were handed over and
// simulates them with a simulator of its own. They are joined when the replay ends, also when it
// ends in an exception.
class SimulationThreads {
public:
    explicit SimulationThreads(const Replay& replay) : replay_(replay) {}
    ~SimulationThreads() { stopAndJoin(); }
    SimulationThreads(const SimulationThreads&) = delete;
    SimulationThreads& operator=(const SimulationThreads&) = delete;

    void start(int count) {
        tallies_.resize(static_cast<std::size_t>(count));
        threads_.reserve(static_cast<std::size_t>(count));
        for (std::size_t t = 0; t < static_cast<std::size_t>(count); ++t)
            threads_.emplace_back([this, t] { work(tallies_[t]); });
    }

    void hand(Batch& batch) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(&batch);
        }
        wanted_.notify_one();
    }

    // Waits until `batch` has been simulated (or has failed); rethrows a thread's failure to start.
    void waitFor(const Batch& batch) {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return batch.done || startFailure_; });
        if (startFailure_) std::rethrow_exception(startFailure_);
    }

    // Batches still waiting are left alone; a batch being simulated is finished first.
    void stopAndJoin() {
        {
            std::lock_guard lock(mutex_);
            skip_ = true;
            quit_ = true;
        }
        wanted_.notify_all();
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }

    // After stopAndJoin.
    void addTallies(ReplayEnd& end) const {
        end.threadsStarted = static_cast<int>(threads_.size());
        for (const Tally& tally : tallies_) {
            end.candidatesScored += tally.candidatesScored;
            if (tally.batches > 0) ++end.workerThreads;
        }
    }

private:
    struct Tally {
        std::int64_t batches = 0;
        std::int64_t candidatesScored = 0;
    };

    void work(Tally& result) {
        // Made here, so that its working memory belongs to this thread and shares no cache line
        // with another thread's.
        std::optional<ExamineeSimulator> simulator;
        try {
            simulator.emplace(replay_.makeSimulator());
        } catch (...) {
            {
                std::lock_guard lock(mutex_);
                if (!startFailure_) startFailure_ = std::current_exception();
                skip_ = true;
            }
            finished_.notify_one();
            return;
        }
        std::int64_t batches = 0;
        std::unique_lock lock(mutex_);
        for (;;) {
            wanted_.wait(lock, [&] { return quit_ || !queue_.empty(); });
            if (quit_) break;
            Batch& batch = *queue_.front();
            queue_.pop_front();
            // Decided at the hand-over: every batch before one that stopped the run was taken
            // before it, so only batches the run never reaches are skipped.
            const bool skip = skip_;
            lock.unlock();
            if (!skip) {
                try {
                    replay_.simulate(batch, *simulator);
                    ++batches;
                } catch (...) {
                    batch.error = std::current_exception();
                }
            }
            lock.lock();
            batch.done = true;
            if (batch.error) skip_ = true;
            finished_.notify_one();
        }
        result.batches = batches;
        result.candidatesScored = simulator->candidatesScored();
    }

    const Replay& replay_;
    std::mutex mutex_;
    std::condition_variable wanted_;    // a batch was handed over, or the threads are to quit
    std::condition_variable finished_;  // a batch was simulated, or a thread could not start
    std::deque<Batch*> queue_;
    bool skip_ = false;  // batches taken from now on are not simulated
    bool quit_ = false;
    std::exception_ptr startFailure_;
    std::vector<Tally> tallies_;  // one per thread, written as it ends
    std::vector<std::thread> threads_;
};

void replayOnThisThread(Replay& replay) {
    ExamineeSimulator simulator = replay.makeSimulator();
    Batch batch;
    bool simulated = false;
    while (replay.read(batch)) {
        replay.simulate(batch, simulator);
        simulated = true;
        if (!replay.take(batch)) break;
    }
    replay.end.candidatesScored = simulator.candidatesScored();
    replay.end.workerThreads = simulated ? 1 : 0;
}

void replayOnThreads(Replay& replay, int threadCount) {
    // Declared before the threads, so that they are joined before any batch goes.
    std::deque<std::unique_ptr<Batch>> inFlight;  // in file order
    std::vector<std::unique_ptr<Batch>> spare;
    SimulationThreads threads(replay);
    threads.start(threadCount);
    // Enough batches to keep every thread busy while the caller folds, few enough that the
    // memory does not grow with the file.
    const std::size_t limit = 2 * static_cast<std::size_t>(threadCount);
    bool moreLines = true;
    for (;;) {
        while (moreLines && inFlight.size() < limit) {
            std::unique_ptr<Batch> batch;
            if (spare.empty()) {
                batch = std::make_unique<Batch>();
            } else {
                batch = std::move(spare.back());
                spare.pop_back();
            }
            moreLines = replay.read(*batch);
            if (moreLines) {
                threads.hand(*batch);
                inFlight.push_back(std::move(batch));
            } else {
                spare.push_back(std::move(batch));
            }
        }
        if (inFlight.empty()) break;
        Batch& next = *inFlight.front();
        threads.waitFor(next);
        if (next.error) std::rethrow_exception(next.error);
        if (!replay.take(next)) break;
        spare.push_back(std::move(inFlight.front()));
        inFlight.pop_front();
    }
    threads.stopAndJoin();
    threads.addTallies(replay.end);
}

}  // namespace

ReplayExecutor::ReplayExecutor(const InputFiles& inputs, const RunSettings& settings, int threadCount,
                               std::int32_t traceCandidates)
    : inputs_(inputs), settings_(settings), threadCount_(std::max(1, threadCount)), traceCandidates_(traceCandidates) {}

ReplayEnd ReplayExecutor::replay(LineReader& responses, RandomGenerator& random, const OutcomeFold& fold,
                                 std::int64_t firstExaminee, std::int64_t examineeCount) {
    Replay replay(inputs_, settings_, traceCandidates_, responses, random, fold, firstExaminee, examineeCount);
    if (threadCount_ == 1)
        replayOnThisThread(replay);
    else
        replayOnThreads(replay, threadCount_);
    return replay.end;
}

}  // namespace quillon
