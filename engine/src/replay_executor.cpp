#include "replay_executor.h"

#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace quillon {

namespace {

// A run of consecutive examinees, simulated together by one thread.
struct Batch {
    std::int64_t firstExaminee = 0;  // 0-based place in the file
    std::vector<std::string> lines;
    std::vector<ExamineeOutcome> outcomes;
    std::vector<RandomGenerator> startStates;  // per examinee, for a cut at a cancel
    RandomGenerator endState;                  // after the batch's last simulated draw
};

// Small enough that a cancel takes effect quickly, large enough to keep the threads busy.
constexpr std::size_t batchSize = 32;

}  // namespace

ReplayExecutor::ReplayExecutor(const InputFiles& inputs, const RunSettings& settings, int threadCount,
                               std::int32_t traceCandidates)
    : inputs_(inputs), settings_(settings), threadCount_(std::max(1, threadCount)), traceCandidates_(traceCandidates) {}

ReplayEnd ReplayExecutor::replay(LineReader& responses, RandomGenerator& random, const OutcomeFold& fold,
                                 std::int64_t firstExaminee, std::int64_t examineeCount) {
    ReplayEnd end;
    // Every examinee of a complete run takes exactly two draws per position, so examinee e
    // starts 2 * length * tests * e draws after the run's start whatever thread simulates it.
    const RandomGenerator runStart = random;
    const std::uint64_t drawsPerTest = 2 * static_cast<std::uint64_t>(settings_.maxTestLength);
    const std::uint64_t drawsPerExaminee = drawsPerTest * static_cast<std::uint64_t>(settings_.testsPerPerson);

    tbb::enumerable_thread_specific<ExamineeSimulator> simulators([&] {
        ExamineeSimulator simulator(inputs_, settings_);
        if (traceCandidates_ >= 0) simulator.keepTraces(traceCandidates_);
        return simulator;
    });
    std::atomic<bool> stop{false};
    std::int64_t examineesRead = 0;
    for (std::string skipped; examineesRead < firstExaminee && responses.nextLine(skipped);) ++examineesRead;
    const std::int64_t lastExaminee =
        examineeCount < 0 ? std::numeric_limits<std::int64_t>::max() : examineesRead + examineeCount;
    const std::size_t threads = static_cast<std::size_t>(threadCount_);
    // Let the arena have as many threads as asked, also beyond the cores (the tests ask for 4).
    tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism, threads);
    tbb::task_arena arena(threadCount_);

    const auto read = [&](tbb::flow_control& control) -> std::shared_ptr<Batch> {
        if (stop.load()) {
            control.stop();
            return nullptr;
        }
        auto batch = std::make_shared<Batch>();
        batch->firstExaminee = examineesRead;
        std::string line;
        while (batch->lines.size() < batchSize &&
               examineesRead + static_cast<std::int64_t>(batch->lines.size()) < lastExaminee &&
               responses.nextLine(line))
            batch->lines.push_back(line);
        if (batch->lines.empty()) {
            control.stop();
            return nullptr;
        }
        examineesRead += static_cast<std::int64_t>(batch->lines.size());
        return batch;
    };
    const auto simulate = [&](std::shared_ptr<Batch> batch) {
        if (stop.load()) return batch;
        ExamineeSimulator& simulator = simulators.local();
        RandomGenerator generator = runStart;
        generator.jump(drawsPerExaminee * static_cast<std::uint64_t>(batch->firstExaminee));
        batch->outcomes.resize(batch->lines.size());
        for (std::size_t e = 0; e < batch->lines.size(); ++e) {
            batch->startStates.push_back(generator);
            simulator.simulate(parseResponseLine(batch->lines[e]), generator, batch->outcomes[e]);
            // Nothing after a failed selection is ever used.
            if (batch->outcomes[e].tests.back().failed) {
                batch->outcomes.resize(e + 1);
                break;
            }
        }
        batch->endState = generator;
        return batch;
    };
    const auto take = [&](std::shared_ptr<Batch> batch) {
        if (stop.load() || batch->outcomes.empty()) return;
        for (std::size_t e = 0; e < batch->outcomes.size(); ++e) {
            std::size_t testsTaken = 0;
            const ExamineeLine examinee{batch->firstExaminee + static_cast<std::int64_t>(e) + 1, &batch->lines[e],
                                        batch->outcomes[e].trueGroup};
            const FoldResult result = fold(examinee, batch->outcomes[e], testsTaken);
            ++end.examinees;
            if (result == FoldResult::Continue) continue;
            stop.store(true);
            if (result == FoldResult::Failed) {
                end.failed = true;
                random = batch->endState;
            } else {
                // The generator stands where it would had the cut tests never run.
                random = batch->startStates[e];
                random.jump(drawsPerTest * testsTaken);
                end.cancelled = true;
            }
            return;
        }
        random = batch->endState;
    };
    arena.execute([&] {
        tbb::parallel_pipeline(
            2 * threads,
            tbb::make_filter<void, std::shared_ptr<Batch>>(tbb::filter_mode::serial_in_order, read) &
                tbb::make_filter<std::shared_ptr<Batch>, std::shared_ptr<Batch>>(tbb::filter_mode::parallel, simulate) &
                tbb::make_filter<std::shared_ptr<Batch>, void>(tbb::filter_mode::serial_in_order, take));
    });
    for (const ExamineeSimulator& simulator : simulators) end.candidatesScored += simulator.candidatesScored();
    return end;
}

}  // namespace quillon
