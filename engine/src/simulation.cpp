#include "quillon/engine/simulation.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <utility>

#ifdef __linux__
#include <sched.h>
#endif

#include "quillon/engine/decisions.h"
#include "quillon/engine/examinee_results.h"
#include "quillon/engine/invariant.h"
#include "quillon/engine/output_tables.h"
#include "replay_executor.h"
#include "run_replay.h"

namespace quillon {

namespace {

// Collections above this number are an error in the deck (the message names the position).
constexpr std::int32_t highestDeckCollection = 8;

void reportProgress(RunHost& host, ProgressHandle handle, std::int64_t started, std::int64_t expectedTests,
                    const std::string& tail) {
    ProgressReport report;
    report.percent = static_cast<std::int32_t>(roundedPercent(started, expectedTests));
    report.text = progressText(started, expectedTests, tail);
    report.testsStarted = started;
    report.expectedTests = expectedTests;
    host.progressSet(handle, report);
}

// Folds examinee outcomes into the statistics in file order, with the progress points, the
// messages of the replay and the cancel check between tests.
class RunFolder {
public:
    RunFolder(RunStatistics& statistics, RunHost& host, ProgressHandle handle, std::int64_t expectedTests,
              ReplayListener* listener)
        : statistics_(statistics), host_(host), handle_(handle), expectedTests_(expectedTests), listener_(listener) {}

    // Returns how many of the examinee's tests were taken into the run (the rest were cut by a
    // cancel or a failure) and what should happen next.
    FoldResult fold(const ExamineeLine& examinee, const ExamineeOutcome& outcome, std::size_t& testsTaken) {
        testsTaken = 0;
        ++statistics_.examinees;
        for (const TestRecord& test : outcome.tests) {
            ++statistics_.testsStarted;
            // Numbered within the whole run, so a range's progress points fall where they fall in one process.
            const std::int64_t started = testsBefore + statistics_.testsStarted;
            if (isProgressPoint(started, expectedTests_)) {
                reportProgress(host_, handle_, started, expectedTests_, " done)");
                host_.letMessagesRun();
                if (host_.progressIsCancelled(handle_)) {
                    --statistics_.testsStarted;  // the test that would have started never ran
                    return FoldResult::Cancelled;
                }
            }
            for (std::int32_t position : test.icolErrorPositions) show("icol error  " + std::to_string(position));
            ++testsTaken;
            if (test.failed) {
                show(notEnoughItemsMessage(test.failedCollection));
                statistics_.stop.failedLine = examinee.number;
                return FoldResult::Failed;
            }
            statistics_.addTest(test, outcome.trueGroup);
            if (statistics_.keepsExamineeRows)
                appendExamineeRow(statistics_.examineeRows,
                                  examineeResultOf(examinee, static_cast<std::int32_t>(testsTaken), test,
                                                   statistics_.stopping.rules()));
            if (listener_) listener_->testTaken(examinee, static_cast<std::int32_t>(testsTaken), test);
        }
        return FoldResult::Continue;
    }

    std::int64_t testsBefore = 0;  // tests of the run's examinees before the replayed ones

private:
    // A message of the replay closes the progress display; the run stops at its next progress point.
    void show(const std::string& message) {
        host_.progressShutdown(handle_);
        host_.showMessage(message);
        statistics_.stop.messages.push_back(message);
    }

    RunStatistics& statistics_;
    RunHost& host_;
    ProgressHandle handle_;
    std::int64_t expectedTests_;
    ReplayListener* listener_;
};

}  // namespace

ExamineeSimulator::ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings)
    : ExamineeSimulator(inputs, settings, ItemSelector(inputs, settings)) {}

ExamineeSimulator::ExamineeSimulator(const InputFiles& inputs, const RunSettings& settings, ItemSelector selector)
    : inputs_(inputs), settings_(settings), selector_(std::move(selector)), posterior_(settings.groupCount) {
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

void ExamineeSimulator::drawEligibility(RandomGenerator& control) {
    const std::vector<double>& probability = *eligibility_;
    EligibilityCounts* counts = eligibilityCounts_;
    for (std::size_t i = 0; i < probability.size(); ++i) {
        // An item sure to be eligible takes no draw.
        const bool eligible = probability[i] >= 1.0 || control.nextUniform() < probability[i];
        if (!eligible)
            marks_.setAside(static_cast<std::int32_t>(i + 1));
        else if (counts)
            ++counts->eligible[i];
    }
}

std::int32_t ExamineeSimulator::chooseOrFallBack(std::int32_t& collection, std::int32_t position,
                                                 RandomGenerator& random, RandomGenerator* merit) {
    const std::int32_t drawn = collection;
    std::int32_t item = selector_.chooseItem(collection, position, posterior_, marks_, random, merit);
    if (item != 0 || !marks_.anySetAside()) return item;
    // Nothing else is left in the collection: the items set aside come back rather than end the
    // run. The failed choice drew nothing, so this one takes the position's draw.
    collection = drawn;
    marks_.liftSetAside();
    item = selector_.chooseItem(collection, position, posterior_, marks_, random, merit);
    marks_.restoreSetAside();
    return item;
}

std::int32_t ExamineeSimulator::chooseUnderControl(std::int32_t& collection, std::int32_t position,
                                                   RandomGenerator& random, RandomGenerator& control,
                                                   TestRecord& test) {
    const ExposureControl method = settings_.exposureControl;
    RandomGenerator* merit = method == ExposureControl::Progressive ? &control : nullptr;
    const std::int32_t drawn = collection;
    std::int32_t item = chooseOrFallBack(collection, position, random, merit);
    if (method == ExposureControl::SympsonHetter) {
        const std::vector<double>& k = inputs_.pool.exposureParameter;
        // Kept with probability K; else set aside for this test and chosen again, drawing from the
        // control's stream so that the run's own draws stay two per position.
        // An item back from being set aside is given without a second trial.
        while (item != 0 && !marks_.isSetAside(item)) {
            const double keep = k[static_cast<std::size_t>(item - 1)];
            if (keep >= 1.0 || control.nextUniform() < keep) break;
            marks_.setAside(item);
            test.setAside.push_back(item);
            collection = drawn;
            item = selector_.chooseItem(collection, position, posterior_, marks_, control, nullptr);
            if (item == 0) {
                // Every candidate was set aside: the best of them is given after all.
                collection = drawn;
                item = chooseOrFallBack(collection, position, control, nullptr);
                break;
            }
        }
    }
    if (item != 0) selector_.blockEnemiesOf(item, marks_);
    return item;
}

void ExamineeSimulator::simulate(const ResponseRecord& record, RandomGenerator& random, ExamineeOutcome& outcome,
                                 PositionObserver* observer) {
    const ItemPool& pool = inputs_.pool;
    const std::int32_t tests = settings_.testsPerPerson;
    const bool controlled = settings_.exposureControl != ExposureControl::None;
    RandomGenerator control = controlled ? controlStream(random) : RandomGenerator();
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
        test.setAside.clear();
        if (t > 1) marks_.clearBlocked();
        if (controlled) {
            marks_.clearSetAside();
            if (settings_.exposureControl == ExposureControl::Eligibility && eligibility_) drawEligibility(control);
        }
        posterior_.resetPosterior(settings_.uniformPriors, pool.groupPrior);
        for (std::int32_t n = 1; n <= settings_.maxTestLength; ++n) {
            std::int32_t collection = 0;
            collectionDraw(collection, random);
            if (collection > highestDeckCollection) test.icolErrorPositions.push_back(n);
            const std::int32_t item = controlled ? chooseUnderControl(collection, n, random, control, test)
                                                 : selector_.selectItem(collection, n, posterior_, marks_, random);
            if (item == 0) {
                test.failed = true;
                test.failedCollection = collection;
                outcome.tests.resize(static_cast<std::size_t>(t));
                return;
            }
            marks_.markAdministered(item, t);
            if (eligibilityCounts_) ++eligibilityCounts_->administered[static_cast<std::size_t>(item - 1)];
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

bool isProgressPoint(std::int64_t testsStarted, std::int64_t expectedTests) {
    const std::int64_t step = expectedTests / 100;
    return step == 0 || testsStarted % step == 0;
}

std::string runResultsText(const RunStatistics& statistics, const RunSettings& settings) {
    // Lengths past the kept statistics were reached by no test, so their rows are the writer's row
    // of an empty length, numbered on.
    std::string text = resultsTableText(statistics, settings.groupCount);
    const std::size_t kept = statistics.lengths.size();
    const std::size_t lengths = static_cast<std::size_t>(std::max(0, settings.maxTestLength));
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

namespace {

// Opens the response lines and counts them for the progress display.
Outcome<PreparedRun> countResponses(const RunSettings& settings, PreparedRun prepared) {
    if (settings.exposureControl == ExposureControl::SympsonHetter && prepared.inputs.pool.exposureParameter.empty())
        return Failure{FailureKind::Input, "Pool file " + upperName(settings.poolFile) + " has no " +
                                               std::string(exposureParameterHeader) +
                                               " column, which Sympson-Hetter exposure control needs; "
                                               "quillon-sim calibrate-exposure writes a pool with one."};
    if (!prepared.responses->isOpen())
        return Failure{FailureKind::Input, "Data file " + upperName(settings.responseFile) + " is not available."};
    prepared.lineCount = prepared.responses->countLinesAndRewind();
    prepared.expectedTests = prepared.lineCount * settings.testsPerPerson;
    if (prepared.responses->problem() != ReadProblem::None)
        return Failure{FailureKind::Input, readProblemMessage("Data", settings.responseFile, *prepared.responses)};
    return prepared;
}

}  // namespace

Outcome<PreparedRun> prepareRun(const RunSettings& settings) {
    if (Status checked = checkRunSettings(settings); !checked) return checked.failure();
    PreparedRun prepared;
    try {
        prepared.inputs = loadInputFiles(settings);
    } catch (const FailureError& error) {
        return error.failure();
    }
    prepared.responses = std::make_unique<LineReader>(settings.responseFile);
    return countResponses(settings, std::move(prepared));
}

Outcome<PreparedRun> prepareRunWithoutTables(const RunSettings& settings) {
    if (Status checked = checkRunSettings(settings); !checked) return checked.failure();
    InputFiles inputs;
    try {
        inputs = loadRunInputs(settings);
    } catch (const FailureError& error) {
        return error.failure();
    }
    return prepareRun(settings, std::move(inputs), std::make_unique<LineReader>(settings.responseFile));
}

Outcome<PreparedRun> prepareRun(const RunSettings& settings, InputFiles inputs, std::string responses) {
    return prepareRun(settings, std::move(inputs), LineReader::overText(std::move(responses)));
}

Outcome<PreparedRun> prepareRun(const RunSettings& settings, InputFiles inputs, std::unique_ptr<LineReader> responses) {
    if (Status checked = checkRunSettings(settings); !checked) return checked.failure();
    PreparedRun prepared;
    prepared.inputs = std::move(inputs);
    prepared.responses = std::move(responses);
    return countResponses(settings, std::move(prepared));
}

Replayed replayExaminees(const RunSettings& settings, const InputFiles& inputs, LineReader& responses,
                         std::int64_t expectedTests, RandomGenerator& random, RunHost& host, ProgressHandle handle,
                         const ReplayOptions& options) {
    Replayed replayed;
    RunStatistics& statistics = replayed.statistics;
    statistics = emptyRunStatistics(settings, inputs.pool.itemCount);
    statistics.keepsExamineeRows = options.keepExamineeRows;
    RunFolder folder(statistics, host, handle, expectedTests, options.listener);
    folder.testsBefore = options.firstExaminee * settings.testsPerPerson;
    const std::int32_t traceCandidates = options.listener ? options.listener->traceCandidates() : -1;
    ReplayExecutor executor(inputs, settings, options.threadCount, traceCandidates);
    const ReplayEnd end = executor.replay(
        responses, random,
        [&folder](const ExamineeLine& examinee, const ExamineeOutcome& outcome, std::size_t& taken) {
            return folder.fold(examinee, outcome, taken);
        },
        options.firstExaminee, options.examineeCount);
    replayed.candidatesScored = end.candidatesScored;
    replayed.workerThreads = end.workerThreads;
    QUILLON_ASSERT(statistics.countsConsistent());
    statistics.stop.failed = end.failed;
    statistics.stop.cancelled = end.cancelled;
    if (!end.failed) statistics.stop.failedLine = 0;
    // After a message the one-process run stops at its next progress point, wherever that falls.
    statistics.stop.ended = end.failed || end.cancelled || !statistics.stop.messages.empty();
    return replayed;
}

namespace {

// Writes the tables; true when the exposure file could not be written.
bool writeRunTables(const RunSettings& settings, const ItemPool& pool, const RunStatistics& statistics,
                    std::int64_t expectedTests, RunHost& host, ProgressHandle handle) {
    reportProgress(host, handle, statistics.testsStarted, expectedTests, " done)  Saving results.");
    if (!settings.resultsFile.empty() &&
        !replaceFileContents(settings.resultsFile, runResultsText(statistics, settings))) {
        host.progressShutdown(handle);
        host.showMessage("Output file " + upperName(settings.resultsFile) + " has a problem.");
    }
    if (!settings.saveExposure) return false;
    reportProgress(host, handle, statistics.testsStarted, expectedTests, " done)  Saving exposure info.");
    const std::string exposureFile = trimSpaces(settings.exposureFile);
    if (replaceFileContents(exposureFile, exposureTableText(statistics, pool))) return false;
    host.progressShutdown(handle);
    host.showMessage("Exposure file " + upperName(exposureFile) + " is not available.");
    return true;
}

}  // namespace

void finishRun(const RunSettings& settings, const ItemPool& pool, const RunStatistics& statistics,
               std::int64_t expectedTests, RunHost& host, ProgressHandle handle) {
    const bool exposureUnavailable = writeRunTables(settings, pool, statistics, expectedTests, host, handle);
    host.progressShutdown(handle);
    host.showDone(doneMessage(statistics.testsStarted, expectedTests, pool.itemCount, settings.testsPerPerson,
                              exposureUnavailable));
}

void summarizeCounts(RunSummary& summary, const RunStatistics& statistics, std::int64_t expectedTests) {
    summary.examinees = statistics.examinees;
    summary.cancelled = statistics.stop.cancelled;
    summary.testsStarted = statistics.testsStarted;
    summary.expectedTests = expectedTests;
    summary.selections = statistics.selections;
}

RunSummary runPrepared(const RunSettings& settings, PreparedRun& prepared, RandomGenerator& random, RunHost& host,
                       const RunOptions& options) {
    RunSummary summary;
    if (options.listener) options.listener->replayStarts(prepared.inputs);
    const ProgressHandle handle = host.progressInit("Simulation Progress");
    Replayed replayed = replayExaminees(settings, prepared.inputs, *prepared.responses, prepared.expectedTests, random,
                                        host, handle, {options.threadCount, options.listener});
    const RunStatistics& statistics = replayed.statistics;
    summarizeCounts(summary, statistics, prepared.expectedTests);
    summary.candidatesScored = replayed.candidatesScored;
    summary.workerThreads = replayed.workerThreads;
    if (!statistics.stop.failed) {
        if (prepared.responses->problem() != ReadProblem::None) {
            host.progressShutdown(handle);  // the file changed after it was counted
            host.showInputMessage(readProblemMessage("Data", settings.responseFile, *prepared.responses));
            summary.inputsRejected = true;
        } else {
            finishRun(settings, prepared.inputs.pool, statistics, prepared.expectedTests, host, handle);
            summary.completed = true;
        }
    }
    summary.statistics = std::move(replayed.statistics);
    return summary;
}

RunSummary runSimulation(const RunSettings& settings, RandomGenerator& random, RunHost& host,
                         const RunOptions& options) {
    Outcome<PreparedRun> prepared = prepareRun(settings);
    if (!prepared) {
        host.showInputMessage(prepared.failure().message);
        RunSummary summary;
        summary.inputsRejected = true;
        return summary;
    }
    return runPrepared(settings, *prepared, random, host, options);
}

}  // namespace quillon
