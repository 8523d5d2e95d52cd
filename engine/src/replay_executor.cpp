#include "replay_executor.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <limits>
#include <map>
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
    // Under the eligibility method: whether the batch only teaches the method (examinees before a
    // range), the probabilities its examinees are simulated under, and what their tests add.
    bool warmUp = false;
    std::vector<double> eligibility;
    EligibilityCounts counts;
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

// The eligibility method learns from blocks of this many examinees, counted from the file's first
// line; the examinees of block b are simulated under what blocks 0 to b - 2 taught, so that block
// b - 1 may still be simulating meanwhile, and the bytes depend on no thread count or shard split.
constexpr std::int64_t eligibilityBlock = 32;

std::int64_t blockOf(std::int64_t examinee) { return examinee / eligibilityBlock; }

// What the eligibility method has learnt, block by block, as batches are taken in file order:
// each whole block's counts are folded in, in block order, after the earlier ones fade.
class EligibilityLedger {
public:
    EligibilityLedger(std::int32_t itemCount, double maxExposure)
        : maxExposure_(maxExposure),
          eligible_(static_cast<std::size_t>(itemCount), 0.0),
          administered_(static_cast<std::size_t>(itemCount), 0.0),
          blockFading_(std::pow(eligibilityFading, static_cast<double>(eligibilityBlock))) {}

    void add(std::int64_t block, const EligibilityCounts& counts) {
        auto [at, fresh] = recent_.try_emplace(block);
        if (fresh) at->second.resize(static_cast<std::int32_t>(counts.eligible.size()));
        at->second.add(counts);
    }

    // The probabilities for block b; every block up to b - 2 must have been taken in full.
    const std::vector<double>& probabilitiesFor(std::int64_t block) {
        if (block == probabilityBlock_) return probabilities_;
        for (auto at = recent_.begin(); at != recent_.end() && at->first <= block - 2; at = recent_.erase(at)) {
            // Blocks no examinee reached fade too, so every examinee's weight depends on its place alone.
            for (; foldedThrough_ < at->first; ++foldedThrough_) {
                for (std::size_t i = 0; i < eligible_.size(); ++i) {
                    eligible_[i] *= blockFading_;
                    administered_[i] *= blockFading_;
                }
            }
            for (std::size_t i = 0; i < eligible_.size(); ++i) {
                eligible_[i] += static_cast<double>(at->second.eligible[i]);
                administered_[i] += static_cast<double>(at->second.administered[i]);
            }
        }
        probabilities_ = eligibilityProbabilities(eligible_, administered_, maxExposure_);
        probabilityBlock_ = block;
        return probabilities_;
    }

private:
    double maxExposure_;
    std::vector<double> eligible_;
    std::vector<double> administered_;
    double blockFading_;
    std::int64_t foldedThrough_ = 0;  // blocks before this one have faded for it
    std::map<std::int64_t, EligibilityCounts> recent_;
    std::int64_t probabilityBlock_ = -1;
    std::vector<double> probabilities_;
};

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
          drawsPerExaminee_(drawsPerTest_ * static_cast<std::uint64_t>(settings.testsPerPerson)),
          selector_(inputs, settings) {
        if (settings.exposureControl == ExposureControl::Eligibility)
            ledger_.emplace(inputs.pool.itemCount, settings.maxExposure);
        // Under the eligibility method the examinees before a range are simulated too, for what
        // they teach it; otherwise they are skipped.
        if (!ledger_)
            for (std::string skipped; examineesRead_ < firstExaminee && responses.nextLine(skipped);) ++examineesRead_;
        firstExaminee_ = std::max<std::int64_t>(firstExaminee, 0);
        lastExaminee_ = examineeCount < 0 ? std::numeric_limits<std::int64_t>::max() : firstExaminee_ + examineeCount;
    }

    bool learnsEligibility() const { return ledger_.has_value(); }

    // Under the eligibility method, whether `earlier` must be taken before `batch` can be prepared.
    bool mustTakeFirst(const Batch& earlier, const Batch& batch) const {
        return ledger_ && blockOf(earlier.firstExaminee) <= blockOf(batch.firstExaminee) - 2;
    }

    // Sets the probabilities a read batch is simulated under; every batch `mustTakeFirst` names has been taken.
    void prepare(Batch& batch) {
        if (ledger_) batch.eligibility = ledger_->probabilitiesFor(blockOf(batch.firstExaminee));
    }

    ExamineeSimulator makeSimulator() const {
        ExamineeSimulator simulator(inputs_, settings_, selector_.twin());
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
        // A batch lies within one eligibility block and on one side of the range's start.
        std::int64_t end = lastExaminee_;
        batch.warmUp = examineesRead_ < firstExaminee_;
        if (ledger_) {
            end = std::min(end, (blockOf(examineesRead_) + 1) * eligibilityBlock);
            if (batch.warmUp) end = std::min(end, firstExaminee_);
        }
        while (batch.size < batchSize && examineesRead_ + static_cast<std::int64_t>(batch.size) < end &&
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
        if (ledger_) {
            batch.counts.resize(inputs_.pool.itemCount);
            simulator.useEligibility(&batch.eligibility, &batch.counts);
        }
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
        if (ledger_) ledger_->add(blockOf(batch.firstExaminee), batch.counts);
        if (batch.warmUp) return true;
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
    std::int64_t firstExaminee_ = 0;
    std::int64_t lastExaminee_ = 0;
    std::optional<EligibilityLedger> ledger_;
    // Its tables, built once, are shared by every thread's selector.
    const ItemSelector selector_;
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
        replay.prepare(batch);
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
    // Waits for the oldest batch in flight and takes it; false when the run stops there.
    const auto takeOldest = [&] {
        Batch& next = *inFlight.front();
        threads.waitFor(next);
        if (next.error) std::rethrow_exception(next.error);
        if (!replay.take(next)) return false;
        spare.push_back(std::move(inFlight.front()));
        inFlight.pop_front();
        return true;
    };
    bool moreLines = true;
    bool stopped = false;
    while (!stopped) {
        while (moreLines && inFlight.size() < limit && !stopped) {
            std::unique_ptr<Batch> batch;
            if (spare.empty()) {
                batch = std::make_unique<Batch>();
            } else {
                batch = std::move(spare.back());
                spare.pop_back();
            }
            moreLines = replay.read(*batch);
            if (moreLines) {
                while (!inFlight.empty() && replay.mustTakeFirst(*inFlight.front(), *batch))
                    if (!takeOldest()) {
                        stopped = true;
                        break;
                    }
                if (stopped) break;
                replay.prepare(*batch);
                threads.hand(*batch);
                inFlight.push_back(std::move(batch));
            } else {
                spare.push_back(std::move(batch));
            }
        }
        if (stopped || inFlight.empty()) break;
        if (!takeOldest()) break;
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
