#include "quillon/simulation.h"

#include <algorithm>
#include <optional>
#include <thread>

#ifdef __linux__
#include <sched.h>
#endif

#include "quillon/decisions.h"
#include "quillon/output_tables.h"
#include "replay_executor.h"

namespace quillon {

namespace {

// Collections above this number are an error in the deck (the message names the position).
constexpr std::int32_t highestDeckCollection = 8;

// Adds one finished test to the run statistics.
void addTest(const TestRecord& test, std::int32_t trueGroup, RunStatistics& statistics) {
    for (std::size_t n = 0; n < test.positions.size(); ++n) {
        const PositionOutcome& p = test.positions[n];
        LengthStatistics& s = statistics.lengths[n];
        ++statistics.exposureCount[static_cast<std::size_t>(p.item - 1)];
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
}

// Folds examinee outcomes into the run in file order, with the progress points, the messages
// of the replay and the cancel check between tests.
class RunFolder {
public:
    RunFolder(const RunSettings& settings, RunHost& host, ProgressHandle handle, std::int64_t expectedTests,
              std::int32_t itemCount, ReplayListener* listener)
        : host_(host), handle_(handle), expectedTests_(expectedTests), step_(expectedTests / 100), listener_(listener) {
        // A test never outlasts the pool, since no item is given twice: longer lengths need no room.
        statistics.lengths.resize(static_cast<std::size_t>(std::min(settings.maxTestLength, itemCount)));
        statistics.exposureCount.assign(static_cast<std::size_t>(itemCount), 0);
    }

    // Returns how many of the examinee's tests were taken into the run (the rest were cut by a
    // cancel or a failure) and what should happen next.
    FoldResult fold(const ExamineeLine& examinee, const ExamineeOutcome& outcome, std::size_t& testsTaken) {
        testsTaken = 0;
        for (const TestRecord& test : outcome.tests) {
            ++statistics.testsStarted;
            if (step_ == 0 || statistics.testsStarted % step_ == 0) {
                report(" done)");
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
                failedLine = examinee.number;
                return FoldResult::Failed;
            }
            addTest(test, outcome.trueGroup, statistics);
            if (listener_) listener_->testTaken(examinee, static_cast<std::int32_t>(testsTaken), test);
            selections += static_cast<std::int64_t>(test.positions.size());
        }
        return FoldResult::Continue;
    }

    // Shows how far the run has come; `tail` follows the share done.
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
    std::int64_t failedLine = 0;  // the examinee whose test failed

private:
    RunHost& host_;
    ProgressHandle handle_;
    std::int64_t expectedTests_;
    std::int64_t step_;
    ReplayListener* listener_;
};

}  // namespace

ExamineeSimulator::ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings)
    : inputs_(inputs), settings_(settings), selector_(inputs, settings), posterior_(settings.groupCount) {
    marks_.resize(inputs.pool.itemCount);
}

void ExamineeSimulator::keepTraces(std::int32_t bestCount) {
    keepTraces_ = true;
    selector_.keepDetail(bestCount);
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
        test.traces.clear();
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
            if (keepTraces_) test.traces.push_back({collection, answer, selector_.lastDetail(), posterior_.values()});
            if (observer) observer->positionDone({t, n, collection, answer, &test.positions.back(), &posterior_});
        }
    }
}

int defaultThreadCount() {
#ifdef __linux__
    // A batch task (a Slurm step, taskset) may run on fewer CPUs than the machine has; more
    // threads than those only contend for them.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return count;
    }
#endif
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
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
    text +=
        "% processed\r\n" + std::to_string(itemCount) + " Items\r\n" + std::to_string(testsPerPerson) + " Tests/person";
    if (exposureUnavailable) text += "\r\n\r\nExposure File was unavailable and not written";
    return text;
}

namespace {

// The results table for every length up to `maxTestLength`. Lengths past the kept statistics
// were reached by no test, so their rows are the writer's row of an empty length, numbered on.
std::string resultsText(const RunStatistics& statistics, const RunSettings& settings) {
    std::string text = resultsTableText(statistics, settings.groupCount);
    const std::size_t kept = statistics.lengths.size();
    const std::size_t lengths = static_cast<std::size_t>(settings.maxTestLength);
    if (kept >= lengths) return text;
    RunStatistics empty;
    empty.testsStarted = statistics.testsStarted;
    const std::size_t headerSize = resultsTableText(empty, settings.groupCount).size();
    empty.lengths.resize(1);
    const std::string rowTail = resultsTableText(empty, settings.groupCount).substr(headerSize + 1);  // after "1"
    text.reserve(text.size() + (lengths - kept) * (rowTail.size() + 10));
    for (std::size_t n = kept + 1; n <= lengths; ++n) text.append(std::to_string(n)).append(rowTail);
    return text;
}

// A shard's stand-in for the run's host: it keeps the messages for the part and knows no user,
// so the only cancel it reports is the one a closed progress display gives.
class ShardHost : public RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    ProgressHandle progressInit(const std::string&) override { return 1; }
    void progressSet(ProgressHandle, const ProgressReport&) override {}
    bool progressIsCancelled(ProgressHandle) override { return shutDown; }
    void progressShutdown(ProgressHandle) override { shutDown = true; }

    std::vector<std::string> messages;
    bool shutDown = false;
};

// One run, step by step; each step returns false when the run ends there.
class Run {
public:
    Run(const RunSettings& settings, RandomGenerator& random, RunHost& host, const RunOptions& options)
        : settings_(settings), random_(random), host_(host), options_(options) {}

    RunSummary execute() {
        if (checkSettings() && load() && countResponses()) {
            if (options_.shardCount > 0) {
                replayShard();
                return summary_;
            }
            if (options_.mergeParts) {
                mergeParts();
                return summary_;
            }
            if (options_.listener) options_.listener->replayStarts(inputs_);
            handle_ = host_.progressInit("Simulation Progress");
            RunFolder folder(settings_, host_, handle_, expectedTests_, inputs_.pool.itemCount, options_.listener);
            if (replay(folder)) finish(folder);
        }
        return summary_;
    }

private:
    // Ends the run at a message about the settings or the input files.
    bool rejectInputs(const std::string& message) {
        host_.showInputMessage(message);
        summary_.inputsRejected = true;
        return false;
    }

    bool checkSettings() {
        const std::string problem = checkRunSettings(settings_);
        return problem.empty() || rejectInputs(problem);
    }

    bool load() {
        try {
            inputs_ = loadInputFiles(settings_);
            return true;
        } catch (const InputError& error) {
            return rejectInputs(error.what());
        }
    }

    // Opens the response file and counts its lines for the progress display.
    bool countResponses() {
        responses_.emplace(settings_.responseFile);
        if (!responses_->isOpen())
            return rejectInputs("Data file " + upperName(settings_.responseFile) + " is not available.");
        expectedTests_ = responses_->countLinesAndRewind() * settings_.testsPerPerson;
        return responses_->problem() == ReadProblem::None ||
               rejectInputs(readProblemMessage("Data", settings_.responseFile, *responses_));
    }

    // Replays every examinee; false when the run ended without tables.
    bool replay(RunFolder& folder) {
        const std::int32_t traceCandidates = options_.listener ? options_.listener->traceCandidates() : -1;
        ReplayExecutor executor(inputs_, settings_, options_.threadCount, traceCandidates);
        const ReplayEnd end =
            executor.replay(*responses_, random_,
                            [&folder](const ExamineeLine& examinee, const ExamineeOutcome& outcome,
                                      std::size_t& taken) { return folder.fold(examinee, outcome, taken); });
        summary_.examinees = end.examinees;
        summary_.cancelled = end.cancelled;
        summary_.testsStarted = folder.statistics.testsStarted;
        summary_.expectedTests = expectedTests_;
        summary_.selections = folder.selections;
        summary_.candidatesScored = end.candidatesScored;
        if (end.failed) return false;
        if (responses_->problem() == ReadProblem::None) return true;
        host_.progressShutdown(handle_);  // the file changed after it was counted
        return rejectInputs(readProblemMessage("Data", settings_.responseFile, *responses_));
    }

    // Writes the tables and shows the Done message.
    void finish(RunFolder& folder) {
        const bool exposureUnavailable = writeTables(folder);
        host_.progressShutdown(handle_);
        host_.showDone(doneMessage(folder.statistics.testsStarted, expectedTests_, inputs_.pool.itemCount,
                                   settings_.testsPerPerson, exposureUnavailable));
        summary_.completed = true;
    }

    // Replays one shard's range of examinees, each from its place in the whole run's random
    // sequence and its place in the whole run's count of tests, so that the progress points, and
    // with them the cut after an "icol error", fall where they fall in one process.
    void replayShard() {
        const std::int64_t lines = expectedTests_ / settings_.testsPerPerson;
        ShardState state;
        state.shard = options_.shard;
        state.shardCount = options_.shardCount;
        state.lineCount = lines;
        state.firstLine = lines * (options_.shard - 1) / options_.shardCount;
        state.rangeLines = lines * options_.shard / options_.shardCount - state.firstLine;
        state.expectedTests = expectedTests_;
        ShardHost shardHost;
        RunFolder folder(settings_, shardHost, shardHost.progressInit(""), expectedTests_, inputs_.pool.itemCount,
                         nullptr);
        const std::int64_t testsBefore = state.firstLine * settings_.testsPerPerson;
        folder.statistics.testsStarted = testsBefore;
        ReplayExecutor executor(inputs_, settings_, options_.threadCount);
        const OutcomeFold fold = [&folder](const ExamineeLine& examinee, const ExamineeOutcome& outcome,
                                           std::size_t& taken) { return folder.fold(examinee, outcome, taken); };
        RandomGenerator generator = random_;
        ReplayEnd end = executor.replay(*responses_, generator, fold, state.firstLine, state.rangeLines);
        if (responses_->problem() != ReadProblem::None) {
            rejectInputs(readProblemMessage("Data", settings_.responseFile, *responses_));
            return;
        }
        const std::int64_t rangeEnd = state.firstLine + state.rangeLines;
        if (shardHost.shutDown && !end.failed && !end.cancelled && rangeEnd < lines) {
            // After an "icol error" the one-process run stops at its next progress point, which
            // may lie in a later range: replay on to it, so that this part alone decides the end.
            LineReader rest(settings_.responseFile);
            generator = random_;
            const ReplayEnd more = executor.replay(rest, generator, fold, rangeEnd, lines - rangeEnd);
            if (!rest.isOpen()) {
                rejectInputs("Data file " + upperName(settings_.responseFile) + " is not available.");
                return;
            }
            if (rest.problem() != ReadProblem::None) {
                rejectInputs(readProblemMessage("Data", settings_.responseFile, rest));
                return;
            }
            end.examinees += more.examinees;
            end.failed = more.failed;
            end.cancelled = more.cancelled;
        }
        state.examinees = end.examinees;
        state.statistics = std::move(folder.statistics);
        state.statistics.testsStarted -= testsBefore;
        state.messages = std::move(shardHost.messages);
        state.failed = end.failed;
        state.failedLine = end.failed ? folder.failedLine : 0;
        state.cancelled = end.cancelled;
        state.coversRest = shardHost.shutDown;
        summary_.examinees = state.examinees;
        summary_.cancelled = state.cancelled;
        summary_.testsStarted = state.statistics.testsStarted;
        summary_.expectedTests = expectedTests_;
        summary_.selections = folder.selections;
        const std::string problem = options_.shardDone(inputs_, state);
        if (problem.empty()) {
            summary_.completed = true;
        } else {
            host_.showMessage(problem);
        }
    }

    // Writes the tables from stored parts, showing the messages the one-process run shows.
    void mergeParts() {
        handle_ = host_.progressInit("Simulation Progress");
        RunFolder folder(settings_, host_, handle_, expectedTests_, inputs_.pool.itemCount, nullptr);
        ShardState merged;
        const std::string refusal = options_.mergeParts(expectedTests_, folder.statistics, merged);
        if (!refusal.empty()) {
            host_.progressShutdown(handle_);
            rejectInputs(refusal);
            return;
        }
        folder.statistics = std::move(merged.statistics);
        for (const std::string& message : merged.messages) {
            host_.progressShutdown(handle_);
            host_.showMessage(message);
        }
        summary_.examinees = merged.examinees;
        summary_.cancelled = merged.cancelled;
        summary_.testsStarted = folder.statistics.testsStarted;
        summary_.expectedTests = expectedTests_;
        if (!merged.failed) finish(folder);
    }

    // Writes the results table and, with "Save exposure", the exposure table; true when the
    // exposure file could not be written.
    bool writeTables(RunFolder& folder) {
        folder.report(" done)  Saving results.");
        if (!replaceFileContents(settings_.resultsFile, resultsText(folder.statistics, settings_))) {
            host_.progressShutdown(handle_);
            host_.showMessage("Output file " + upperName(settings_.resultsFile) + " has a problem.");
        }
        if (!settings_.saveExposure) return false;
        folder.report(" done)  Saving exposure info.");
        const std::string exposureFile = trimSpaces(settings_.exposureFile);
        if (replaceFileContents(exposureFile, exposureTableText(folder.statistics, inputs_.pool))) return false;
        host_.progressShutdown(handle_);
        host_.showMessage("Exposure file " + upperName(exposureFile) + " is not available.");
        return true;
    }

    const RunSettings& settings_;
    RandomGenerator& random_;
    RunHost& host_;
    const RunOptions& options_;
    RunSummary summary_;
    InputFiles inputs_;
    std::optional<LineReader> responses_;  // opened only once the load has succeeded
    std::int64_t expectedTests_ = 0;
    ProgressHandle handle_ = 0;
};

}  // namespace

RunSummary runSimulation(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                         const RunOptions& options) {
    return Run(settings, random, host, options).execute();
}

}  // namespace quillon
