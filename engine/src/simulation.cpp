#include "quillon/simulation.h"

#include <oneapi/tbb/enumerable_thread_specific.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "quillon/decisions.h"
#include "quillon/output_tables.h"

namespace quillon {

namespace {

// Collections above this number are an error in the deck (the message names the position).
constexpr std::int32_t highestDeckCollection = 8;

void addOutcome(Outcome outcome, std::int64_t& accurate, std::int64_t& falsePos, std::int64_t& falseNeg) {
    switch (outcome) {
        case Outcome::Accurate: ++accurate; break;
        case Outcome::FalsePositive: ++falsePos; break;
        case Outcome::FalseNegative: ++falseNeg; break;
    }
}

// Adds one finished test to the run statistics.
void addTest(const TestRecord& test, std::int32_t trueGroup, RunStatistics& statistics) {
    for (std::size_t n = 0; n < test.positions.size(); ++n) {
        const PositionOutcome& p = test.positions[n];
        LengthStatistics& s = statistics.lengths[n];
        ++statistics.exposureCount[static_cast<std::size_t>(p.item - 1)];
        s.mapProbSum += p.mapProb;
        addOutcome(classifyOutcome(p.mapGroup, trueGroup), s.mapAccurate, s.mapFalsePos, s.mapFalseNeg);
        if (p.sprtGroup > 0) {
            ++s.sprtDecided;
            addOutcome(classifyOutcome(p.sprtGroup, trueGroup), s.sprtAccurate, s.sprtFalsePos, s.sprtFalseNeg);
        }
        if (p.bayesGroup > 0) {
            s.bayesProbSum += p.bayesProb;
            addOutcome(classifyOutcome(p.bayesGroup, trueGroup), s.bayesAccurate, s.bayesFalsePos, s.bayesFalseNeg);
        }
    }
}

enum class FoldResult { Continue, Cancelled, Failed };

// Folds examinee outcomes into the run in file order, with the progress points, the messages
// of the replay and the cancel check between tests.
class RunFolder {
public:
    RunFolder(const RunSettings& settings, RunHost& host, ProgressHandle handle, std::int64_t expectedTests,
              std::int32_t itemCount)
        : host_(host), handle_(handle), expectedTests_(expectedTests), step_(expectedTests / 100) {
        statistics.lengths.resize(static_cast<std::size_t>(settings.maxTestLength));
        statistics.exposureCount.assign(static_cast<std::size_t>(itemCount), 0);
    }

    // Returns how many of the examinee's tests were taken into the run (the rest were cut by a
    // cancel or a failure) and what should happen next.
    FoldResult fold(const ExamineeOutcome& outcome, std::size_t& testsTaken) {
        testsTaken = 0;
        for (const TestRecord& test : outcome.tests) {
            ++statistics.testsStarted;
            if (step_ == 0 || statistics.testsStarted % step_ == 0) {
                ProgressReport report;
                report.percent = static_cast<std::int32_t>(roundedPercent(statistics.testsStarted, expectedTests_));
                report.text = progressText(statistics.testsStarted, expectedTests_, " done)");
                report.testsStarted = statistics.testsStarted;
                report.expectedTests = expectedTests_;
                host_.progressSet(handle_, report);
                host_.letMessagesRun();
                if (host_.progressIsCancelled(handle_)) {
                    --statistics.testsStarted;  // the test that would have started never ran
                    return FoldResult::Cancelled;
                }
            }
            for (std::int32_t position : test.icolErrorPositions) {
                host_.progressShutdown(handle_);
                host_.showMessage("icol error  " + std::to_string(position));
            }
            ++testsTaken;
            if (test.failed) {
                host_.progressShutdown(handle_);
                host_.showMessage(notEnoughItemsMessage(test.failedCollection));
                return FoldResult::Failed;
            }
            addTest(test, outcome.trueGroup, statistics);
            selections += static_cast<std::int64_t>(test.positions.size());
        }
        return FoldResult::Continue;
    }

    void report(const std::string& tail) {
        ProgressReport report;
        report.percent = static_cast<std::int32_t>(roundedPercent(statistics.testsStarted, expectedTests_));
        report.text = progressText(statistics.testsStarted, expectedTests_, tail);
        report.testsStarted = statistics.testsStarted;
        report.expectedTests = expectedTests_;
        host_.progressSet(handle_, report);
    }

    RunStatistics statistics;
    std::int64_t selections = 0;

private:
    RunHost& host_;
    ProgressHandle handle_;
    std::int64_t expectedTests_;
    std::int64_t step_;
};

}  // namespace

ExamineeSimulator::ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings)
    : inputs_(inputs), settings_(settings), selector_(inputs, settings), posterior_(settings.groupCount) {
    marks_.resize(inputs.pool.itemCount);
}

void ExamineeSimulator::collectionDraw(std::int32_t& collection, RandomGenerator& random) {
    if (deckRemaining_.empty()) {
        deckRemaining_ = inputs_.pool.collectionDeck;
        if (deckRemaining_.empty()) deckRemaining_.push_back(0);
    }
    const std::int64_t index = random.nextIndex(static_cast<std::int64_t>(deckRemaining_.size()));
    const auto at = deckRemaining_.begin() + (index - 1);
    collection = *at;
    deckRemaining_.erase(at);
}

void ExamineeSimulator::simulate(const ResponseRecord& record, RandomGenerator& random, ExamineeOutcome& outcome,
                                 PositionObserver* observer) {
    const ItemPool& pool = inputs_.pool;
    const std::int32_t tests = settings_.testsPerPerson;
    outcome.trueGroup = record.trueGroup;
    outcome.tests.resize(static_cast<std::size_t>(tests));
    deckRemaining_.clear();
    marks_.clearAll();
    for (std::int32_t t = 1; t <= tests; ++t) {
        TestRecord& test = outcome.tests[static_cast<std::size_t>(t - 1)];
        test.positions.clear();
        test.icolErrorPositions.clear();
        test.failed = false;
        if (t > 1) marks_.clearBlocked();
        posterior_.resetPosterior(settings_.uniformPriors, pool.groupPrior);
        for (std::int32_t n = 1; n <= settings_.maxTestLength; ++n) {
            std::int32_t collection = 0;
            collectionDraw(collection, random);
            if (collection > highestDeckCollection) test.icolErrorPositions.push_back(n);
            const std::int32_t item = selector_.selectItem(collection, n, posterior_, marks_, random);
            if (item == 0) {
                test.failed = true;
                test.failedCollection = collection;
                outcome.tests.resize(static_cast<std::size_t>(t));
                return;
            }
            marks_.markAdministered(item, t);
            PositionOutcome p;
            p.item = item;
            const std::int32_t answer = record.answerValue(item);
            p.mapGroup = posterior_.updatePosterior(pool.itemRow(item), answer);
            p.mapProb = p.mapGroup > 0 ? posterior_(p.mapGroup) : 0.0;
            p.sprtGroup = sprtDecision(posterior_, settings_.sprtAlpha, settings_.sprtBeta);
            if (settings_.groupCount == 2) {
                p.bayesGroup = bayesDecision(posterior_, settings_);
                p.bayesProb = posterior_(p.bayesGroup);
            }
            test.positions.push_back(p);
            if (observer) observer->positionDone({t, n, collection, answer, &test.positions.back(), &posterior_});
        }
    }
}

std::string progressText(std::int64_t testsStarted, std::int64_t expectedTests, const std::string& tail) {
    return "Processing test" + formatThousands(testsStarted) + " of " + formatThousands(expectedTests) + "\r(" +
           std::to_string(roundedPercent(testsStarted, expectedTests)) + "%" + tail;
}

std::string doneMessage(std::int64_t testsStarted, std::int64_t expectedTests, std::int32_t itemCount,
                        std::int32_t testsPerPerson, bool exposureUnavailable) {
    const std::int64_t percent = roundedPercent(testsStarted, expectedTests);
    std::string text = "Done\r\n\r\n";
    if (percent != 0) text += std::to_string(percent);  // the "##" mask writes no digit for 0
    text += "% processed\r\n" + std::to_string(itemCount) + " Items\r\n" + std::to_string(testsPerPerson) +
            " Tests/person";
    if (exposureUnavailable) text += "\r\n\r\nExposure File was unavailable and not written";
    return text;
}

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

RunSummary runSimulation(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                         const RunOptions& options) {
    RunSummary summary;
    if (const std::string problem = checkRunSettings(settings); !problem.empty()) {
        summary.inputsRejected = true;
        host.showInputMessage(problem);
        return summary;
    }
    InputFiles inputs;
    try {
        inputs = loadInputFiles(settings);
    } catch (const InputError& error) {
        summary.inputsRejected = true;
        host.showInputMessage(error.what());
        return summary;
    }
    LineReader responses(settings.responseFile);
    if (!responses.isOpen()) {
        summary.inputsRejected = true;
        host.showInputMessage("Data file " + upperName(settings.responseFile) + " is not available.");
        return summary;
    }
    const std::int64_t expectedTests = responses.countLinesAndRewind() * settings.testsPerPerson;
    const ProgressHandle handle = host.progressInit("Simulation Progress");
    RunFolder folder(settings, host, handle, expectedTests, inputs.pool.itemCount);

    // Every examinee of a complete run takes exactly two draws per position, so examinee e
    // starts 2 * length * tests * e draws after the run's start whatever thread simulates it.
    const RandomGenerator runStart = random;
    const std::uint64_t drawsPerTest = 2 * static_cast<std::uint64_t>(settings.maxTestLength);
    const std::uint64_t drawsPerExaminee = drawsPerTest * static_cast<std::uint64_t>(settings.testsPerPerson);

    tbb::enumerable_thread_specific<ExamineeSimulator> simulators(
        [&] { return ExamineeSimulator(inputs, settings); });
    std::atomic<bool> stop{false};
    std::int64_t examineesRead = 0;
    bool failed = false;
    const int threads = std::max(1, options.threadCount);
    // Let the arena have as many threads as asked, also beyond the cores (the tests ask for 4).
    tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(threads));
    tbb::task_arena arena(threads);
    arena.execute([&] {
        tbb::parallel_pipeline(
            static_cast<std::size_t>(2 * threads),
            tbb::make_filter<void, std::shared_ptr<Batch>>(
                tbb::filter_mode::serial_in_order,
                [&](tbb::flow_control& control) -> std::shared_ptr<Batch> {
                    if (stop.load()) {
                        control.stop();
                        return nullptr;
                    }
                    auto batch = std::make_shared<Batch>();
                    batch->firstExaminee = examineesRead;
                    std::string line;
                    while (batch->lines.size() < batchSize && responses.nextLine(line)) batch->lines.push_back(line);
                    if (batch->lines.empty()) {
                        control.stop();
                        return nullptr;
                    }
                    examineesRead += static_cast<std::int64_t>(batch->lines.size());
                    return batch;
                }) &
                tbb::make_filter<std::shared_ptr<Batch>, std::shared_ptr<Batch>>(
                    tbb::filter_mode::parallel,
                    [&](std::shared_ptr<Batch> batch) {
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
                    }) &
                tbb::make_filter<std::shared_ptr<Batch>, void>(
                    tbb::filter_mode::serial_in_order, [&](std::shared_ptr<Batch> batch) {
                        if (stop.load() || batch->outcomes.empty()) return;
                        for (std::size_t e = 0; e < batch->outcomes.size(); ++e) {
                            std::size_t testsTaken = 0;
                            const FoldResult result = folder.fold(batch->outcomes[e], testsTaken);
                            ++summary.examinees;
                            if (result == FoldResult::Continue) continue;
                            stop.store(true);
                            if (result == FoldResult::Failed) {
                                failed = true;
                                random = batch->endState;
                            } else {
                                // The generator stands where it would had the cut tests never run.
                                random = batch->startStates[e];
                                random.jump(drawsPerTest * testsTaken);
                                summary.cancelled = true;
                            }
                            return;
                        }
                        random = batch->endState;
                    }));
    });
    summary.testsStarted = folder.statistics.testsStarted;
    summary.expectedTests = expectedTests;
    summary.selections = folder.selections;
    for (const ExamineeSimulator& simulator : simulators) summary.candidatesScored += simulator.candidatesScored();
    if (failed) return summary;

    folder.report(" done)  Saving results.");
    if (!replaceFileContents(settings.resultsFile, resultsTableText(folder.statistics, settings.groupCount))) {
        host.progressShutdown(handle);
        host.showMessage("Output file " + upperName(settings.resultsFile) + " has a problem.");
    }
    bool exposureUnavailable = false;
    if (settings.saveExposure) {
        folder.report(" done)  Saving exposure info.");
        const std::string exposureFile = trimSpaces(settings.exposureFile);
        if (!replaceFileContents(exposureFile, exposureTableText(folder.statistics, inputs.pool))) {
            host.progressShutdown(handle);
            host.showMessage("Exposure file " + upperName(exposureFile) + " is not available.");
            exposureUnavailable = true;
        }
    }
    host.progressShutdown(handle);
    host.showDone(doneMessage(folder.statistics.testsStarted, expectedTests, inputs.pool.itemCount,
                              settings.testsPerPerson, exposureUnavailable));
    summary.completed = true;
    return summary;
}

}  // namespace quillon
