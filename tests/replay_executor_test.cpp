// The replay on threads of its own: any thread count folds the outcomes of one thread, in file
// order and on the calling thread; replays started at once in one process each get the threads
// they ask for; an exception reaches the caller only after every thread has stopped.
#include "replay_executor.h"

#include <gtest/gtest.h>

#include <bit>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "failure_text.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/sample_data.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"
#include "same_text.h"

namespace quillon {
namespace {

using testing::RecordingHost;
using testing::sameText;
using testing::TempFolder;

// A generated set large enough that every thread of a replay gets batches: 2,000 examinees are
// 63 batches, tests of 40 items.
class GeneratedRun {
public:
    GeneratedRun() {
        SampleOptions options;
        options.items = 300;
        options.collections = 1;
        options.examinees = 2000;
        options.scriptLength = 80;
        options.seed = 300;
        const std::string problem =
            failureText(writeSampleFiles(options, generateSampleFiles(options), folder_.file("data")));
        if (!problem.empty()) throw std::runtime_error(problem);
        setDefaultPaths(settings, folder_.file(""), '/');
        settings.maxTestLength = 40;
        inputs = loadInputFiles(settings);
    }

    std::string file(const std::string& name) const { return folder_.file(name); }

private:
    TempFolder folder_;

public:
    RunSettings settings;
    InputFiles inputs;
};

// Everything of one folded examinee that can reach the tables, the probabilities as bits.
std::string describe(const ExamineeLine& examinee, const ExamineeOutcome& outcome) {
    std::string text = std::to_string(examinee.number) + " " + *examinee.text + " g" +
                       std::to_string(examinee.trueGroup) + "/" + std::to_string(outcome.trueGroup);
    for (const TestRecord& test : outcome.tests) {
        text += test.failed ? " |failed " + std::to_string(test.failedCollection) : " |";
        for (const PositionOutcome& p : test.positions)
            text += " " + std::to_string(p.item) + ":" + std::to_string(p.mapGroup) + std::to_string(p.sprtGroup) +
                    std::to_string(p.bayesGroup) + ":" + std::to_string(std::bit_cast<std::uint64_t>(p.mapProb)) + ":" +
                    std::to_string(std::bit_cast<std::uint64_t>(p.bayesProb));
        for (const std::int32_t position : test.icolErrorPositions) text += " icol" + std::to_string(position);
    }
    return text;
}

struct Replayed {
    ReplayEnd end;
    std::vector<std::string> examinees;  // in the order they were folded
    std::uint32_t randomAfter = 0;
    bool foldedOnCaller = true;
};

// Replays the generated file; `cancelAt`, when positive, cancels at that 1-based examinee before
// any of its tests.
Replayed replay(const GeneratedRun& run, int threads, std::int64_t first = 0, std::int64_t count = -1,
                std::int64_t cancelAt = 0) {
    Replayed replayed;
    const std::thread::id caller = std::this_thread::get_id();
    const OutcomeFold fold = [&](const ExamineeLine& examinee, const ExamineeOutcome& outcome, std::size_t& taken) {
        replayed.foldedOnCaller = replayed.foldedOnCaller && std::this_thread::get_id() == caller;
        replayed.examinees.push_back(describe(examinee, outcome));
        if (examinee.number == cancelAt) {
            taken = 0;
            return FoldResult::Cancelled;
        }
        taken = outcome.tests.size();
        return FoldResult::Continue;
    };
    LineReader responses(run.settings.responseFile);
    RandomGenerator random;
    ReplayExecutor executor(run.inputs, run.settings, threads);
    replayed.end = executor.replay(responses, random, fold, first, count);
    replayed.randomAfter = random.state();
    return replayed;
}

const GeneratedRun& generated() {
    static const GeneratedRun run;
    return run;
}

TEST(ReplayExecutor, AnyThreadCountFoldsTheOutcomesOfOneThreadInFileOrderOnTheCallingThread) {
    const GeneratedRun& run = generated();
    const Replayed whole = replay(run, 1);
    ASSERT_EQ(whole.examinees.size(), 2000u);
    ASSERT_FALSE(whole.end.cancelled || whole.end.failed);
    const std::uint64_t drawsPerExaminee = 2 * 40;

    struct Case {
        const char* what;
        std::int64_t first, count, cancelAt;
        std::size_t firstFolded, folded;  // the slice of the whole replay that must be folded
        std::uint64_t drawsAfter;         // where the generator must end, in draws from the start
    };
    const std::vector<Case> cases = {
        {"whole file", 0, -1, 0, 0, 2000, 2000 * drawsPerExaminee},
        // The cut leaves the generator at the start of the cancelled examinee's first test.
        {"cancel inside a batch", 0, -1, 1000, 0, 1000, 999 * drawsPerExaminee},
        {"cancel at a batch's first examinee", 0, -1, 33, 0, 33, 32 * drawsPerExaminee},
        {"range inside the file", 100, 700, 0, 100, 700, 800 * drawsPerExaminee},
        {"range to the end", 1990, -1, 0, 1990, 10, 2000 * drawsPerExaminee},
        {"range past the end", 2500, 10, 0, 2000, 0, 0},
        {"empty range", 10, 0, 0, 10, 0, 0},
    };
    for (const Case& c : cases) {
        for (const int threads : {1, 2, 3, 4, 8}) {
            SCOPED_TRACE(std::string(c.what) + " with " + std::to_string(threads) + " threads");
            const Replayed r = replay(run, threads, c.first, c.count, c.cancelAt);
            const std::vector<std::string> expected(
                whole.examinees.begin() + static_cast<std::ptrdiff_t>(c.firstFolded),
                whole.examinees.begin() + static_cast<std::ptrdiff_t>(c.firstFolded + c.folded));
            EXPECT_TRUE(sameText(r.examinees, expected));
            EXPECT_EQ(r.end.examinees, static_cast<std::int64_t>(c.folded));
            EXPECT_EQ(r.end.cancelled, c.cancelAt > 0);
            EXPECT_FALSE(r.end.failed);
            RandomGenerator after;
            after.jump(c.drawsAfter);
            EXPECT_EQ(r.randomAfter, after.state());
            EXPECT_TRUE(r.foldedOnCaller);
            EXPECT_EQ(r.end.threadsStarted, threads == 1 ? 0 : threads);
            EXPECT_LE(r.end.workerThreads, threads);
            if (c.folded == 0) {
                EXPECT_EQ(r.end.workerThreads, 0);
            }
            if (c.count < 0 && c.first == 0 && c.cancelAt == 0) {
                // 63 batches, at most 16 waiting: every thread finds some.
                EXPECT_EQ(r.end.workerThreads, threads);
                EXPECT_EQ(r.end.candidatesScored, whole.end.candidatesScored);
            }
        }
    }
}

TEST(ReplayExecutor, TwoReplaysStartedAtOnceEachSimulateOnTheThreadsTheyAskFor) {
    const GeneratedRun& run = generated();
    const Replayed single = replay(run, 1);
    for (const auto& [askedA, askedB] : std::vector<std::pair<int, int>>{{3, 2}, {8, 4}}) {
        const int a = askedA, b = askedB;
        SCOPED_TRACE(std::to_string(a) + " and " + std::to_string(b) + " threads");
        Replayed first, second;
        std::latch together(2);
        std::thread one([&] {
            together.arrive_and_wait();
            first = replay(run, a);
        });
        std::thread two([&] {
            together.arrive_and_wait();
            second = replay(run, b);
        });
        one.join();
        two.join();
        EXPECT_EQ(first.end.threadsStarted, a);
        EXPECT_EQ(second.end.threadsStarted, b);
        EXPECT_EQ(first.end.workerThreads, a);
        EXPECT_EQ(second.end.workerThreads, b);
        EXPECT_TRUE(first.foldedOnCaller && second.foldedOnCaller);
        EXPECT_TRUE(sameText(first.examinees, single.examinees));
        EXPECT_TRUE(sameText(second.examinees, single.examinees));
        EXPECT_EQ(first.randomAfter, single.randomAfter);
        EXPECT_EQ(second.randomAfter, single.randomAfter);
        EXPECT_EQ(first.end.candidatesScored, single.end.candidatesScored);
        EXPECT_EQ(second.end.candidatesScored, single.end.candidatesScored);
    }
}

TEST(ReplayExecutor, TwoRunsStartedAtOnceWriteTheTablesOfOneThread) {
    const GeneratedRun& run = generated();
    const auto whole = [&](int threads, const std::string& name) {
        RunSettings settings = run.settings;
        settings.resultsFile = run.file(name + "_results.csv");
        settings.exposureFile = run.file(name + "_expos.csv");
        RecordingHost host;
        RandomGenerator random;
        const bool completed = runSimulation(settings, random, host, RunOptions{threads}).completed;
        return completed ? TempFolder::read(settings.resultsFile) + "\n--\n" + TempFolder::read(settings.exposureFile)
                         : std::string();
    };
    const std::string single = whole(1, "one");
    ASSERT_FALSE(single.empty());
    std::string three, two;
    std::latch together(2);
    std::thread a([&] {
        together.arrive_and_wait();
        three = whole(3, "three");
    });
    std::thread b([&] {
        together.arrive_and_wait();
        two = whole(2, "two");
    });
    a.join();
    b.join();
    EXPECT_TRUE(sameText(three, single));
    EXPECT_TRUE(sameText(two, single));
}

// The shipped sample's kept tables (the golden tests hold 1, 2 and 4 threads to them), with
// thread counts that divide neither the batches nor the cores.
TEST(ReplayExecutor, WholeRunsMatchTheirKeptTablesWithThreeAndEightThreads) {
    const std::string source = QUILLON_SOURCE_DIR;
    struct Case {
        const char* name;
        void (*change)(RunSettings&);
    };
    const std::vector<Case> cases = {
        {"sample", [](RunSettings&) {}},
        {"mincost",
         [](RunSettings& s) {
             s.selectionMethod = SelectionMethod::MinCost;
             s.randomizationFactor = 2;
             s.blockEnemies = true;
         }},
        {"script",
         [](RunSettings& s) {
             s.followScript = true;
             s.testsPerPerson = 2;
             s.uniformPriors = false;
         }},
    };
    for (const Case& c : cases) {
        for (const int threads : {3, 8}) {
            SCOPED_TRACE(std::string(c.name) + " with " + std::to_string(threads) + " threads");
            TempFolder out;
            RunSettings settings;
            setDefaultPaths(settings, source, '/');
            settings.resultsFile = out.file("results.csv");
            settings.exposureFile = out.file("expos.csv");
            c.change(settings);
            RecordingHost host;
            RandomGenerator random;
            ASSERT_TRUE(runSimulation(settings, random, host, RunOptions{threads}).completed);
            const std::string golden = source + "/tests/golden/" + c.name;
            EXPECT_TRUE(sameText(TempFolder::read(settings.resultsFile), TempFolder::read(golden + "_results.csv")));
            EXPECT_TRUE(sameText(TempFolder::read(settings.exposureFile), TempFolder::read(golden + "_expos.csv")));
        }
    }
}

struct HostInterrupt : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(ReplayExecutor, AnExceptionReachesTheCallerOnceEveryThreadHasStopped) {
    const GeneratedRun& run = generated();
    // A negative count of tests per person makes every examinee's simulation throw
    // (std::length_error) on whichever thread simulates it.
    RunSettings throwing = run.settings;
    throwing.testsPerPerson = -1;
    for (const int threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        {
            LineReader responses(run.settings.responseFile);
            RandomGenerator random;
            std::int64_t folds = 0;
            ReplayExecutor executor(run.inputs, throwing, threads);
            EXPECT_THROW(executor.replay(responses, random,
                                         [&](const ExamineeLine&, const ExamineeOutcome&, std::size_t&) {
                                             ++folds;
                                             return FoldResult::Continue;
                                         }),
                         std::length_error);
            EXPECT_EQ(folds, 0);
        }
        {
            // The host's cancel check may throw, as an interrupted R session does; the threads
            // are then still simulating later batches.
            LineReader responses(run.settings.responseFile);
            RandomGenerator random;
            ReplayExecutor executor(run.inputs, run.settings, threads);
            std::int64_t folds = 0;
            EXPECT_THROW(executor.replay(responses, random,
                                         [&](const ExamineeLine& examinee, const ExamineeOutcome&, std::size_t& taken) {
                                             ++folds;
                                             if (examinee.number == 500) throw HostInterrupt("interrupted");
                                             taken = 1;
                                             return FoldResult::Continue;
                                         }),
                         HostInterrupt);
            EXPECT_EQ(folds, 500);
        }
    }
}

}  // namespace
}  // namespace quillon
