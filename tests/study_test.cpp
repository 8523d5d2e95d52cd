// Study files: their errors, the order of conditions and tasks, the seeds, the study tables, and
// the runner's study command run whole, as a plan of tasks, and stopped and resumed.
#include "quillon/study/study.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "failure_text.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/run_parts.h"
#include "quillon/study_figures/study_figures.h"
#include "quillon/text/csv_fields.h"
#include "quillon/text/line_reader.h"
#include "recording_host.h"
#include "same_text.h"

extern char** environ;

namespace quillon {
namespace {

using testing::sameText;
using testing::TempFolder;
namespace fs = std::filesystem;

const char* generated = "[data.generate]\nitems = 40\nexaminees = 60\nscript-length = 10\n";

struct BadStudy {
    std::string text;
    int line;         // 0: the message names no line
    const char* key;  // the key the message names, or nullptr
    const char* says;
};

TEST(StudyFile, ErrorsNameTheFileTheLineAndTheKey) {
    TempFolder folder;
    folder.write("pool.csv", "x");
    folder.write("r1.txt", "1");
    folder.write("empty.txt", "");
    const std::string g = generated;
    const std::string methods = "[factors]\nmethod = [\"Shannon\", \"MinCost\"]\n";
    const BadStudy cases[] = {
        {"[study]\nseed = 1\nseeds = 2\n", 3, "study.seeds", "is not a key of [study]"},
        {"[study]\nreplications = \"3\"\n", 2, "study.replications", "expects a whole number"},
        {"[study]\nreplications = 0\n", 2, "study.replications", "must be from 1"},
        {"[settings]\nmethd = \"Shannon\"\n", 2, "settings.methd", "no run setting of that name"},
        {"[settings]\nmethod = 2\n", 2, "settings.method", "expects a text"},
        {"[settings]\nmax-length = 2.5\n", 2, "settings.max-length", "expects a whole number"},
        {"[settings]\nuse-sprt = \"yes\"\n", 2, "settings.use-sprt", "expects true or false"},
        {"[settings]\nresults = \"r.csv\"\n", 2, "settings.results", "set by the study"},
        {"[settings]\n\npool = \"missing.csv\"\n", 3, "settings.pool", "does not exist"},
        {"[factors]\nmethod = []\n", 2, "factors.method", "has no levels"},
        {"[factors]\nmethod = \"Shannon\"\n", 2, "factors.method", "expects an array"},
        {"[factors]\nmethod = [\"Shannon\",\n  \"Shanon\"]\n", 3, "factors.method", "\"Shanon\""},
        {"[factors]\nmax-length = [10, 10]\n", 2, "factors.max-length", "twice"},
        {"[settings]\nstop-probability = \"x\"\n", 2, "settings.stop-probability", "a number or an array"},
        {"[factors]\nstop-probability = [0.9, [0.8, 1.5]]\n", 2, "factors.stop-probability", "1.5 must lie"},
        // Levels are compared by value, not as written.
        {"[factors]\nmax-length = [10,\n 0xA]\n", 3, "factors.max-length", "names the level 10 twice (as 10 and 0xA)"},
        {"[factors]\nalpha = [0.05, 0.050, 5e-2]\n", 2, "factors.alpha", "names the level 0.05 twice"},
        {"[factors]\nitem-quality = [1, 1.0]\n" + g, 2, "factors.item-quality", "twice"},
        {"[factors]\ngroup-shares = [[0.3, 0.7], [0.30, 7e-1]]\n" + g, 2, "factors.group-shares", "twice"},
        // No examinees: the tables would be zeros.
        {"[data.generate]\nitems = 40\nexaminees = 0\n", 3, "data.generate.examinees", "needs examinees"},
        {"[factors]\nexaminees = [10,\n 0]\n[data.generate]\nitems = 40\n", 3, "factors.examinees", "needs examinees"},
        {"[data]\nfiles = [\"empty.txt\"]\n[settings]\npool = \"pool.csv\"\n", 2, "data.files", "no examinee"},
        // Sizes that would exhaust the memory or the disk.
        {"[data.generate]\nitems = 2147483647\n", 0, nullptr, "--items must be from 1 to 100000"},
        {"[data.generate]\nexaminees = 9223372036854775807\n", 0, nullptr, "--examinees must be from 0 to 100000000"},
        // The reference condition.
        {"[study]\nreference = \"MinCost\"\n" + methods, 2, "study.reference", "expects a table"},
        {"[study]\nreference = {}\n" + methods, 2, "study.reference", "expects a table"},
        {"[study]\nreference = { methd = \"MinCost\" }\n" + methods, 2, "study.reference.methd",
         "is not a factor of the study (method)"},
        {"[study]\nreference = { method = \"MaxDiscr\" }\n" + methods, 2, "study.reference.method",
         "MaxDiscr is not a level of factors.method"},
        {"[study]\nreference = { method = 1 }\n" + methods, 2, "study.reference.method", "expects a text"},
        // Designs too large to run.
        {"[study]\nmax-runs = 0\n", 2, "study.max-runs", "must be from 1"},
        {"[study]\nreplications = 2\nmax-runs = 7\n[factors]\nrandomization = [1, 2, 3]\n" + methods.substr(10), 0,
         nullptr, "the factors make 6 conditions, which in 2 replications are more runs (12 runs) than the 7"},
        {"[settings]\nmethod = \"MinCost\"\n[factors]\nmethod = [\"Shannon\"]\n", 4, "factors.method",
         "both fixed and varied"},
        {"[factors]\ncolor = [1]\n", 2, "factors.color", "no run setting"},
        {"[data.generate]\nseed = 3\n", 2, "data.generate.seed", "study seed"},
        {"[data.generate]\nitem = 3\n", 2, "data.generate.item", "not a generate option"},
        {"[data.generate]\nblank-share = \"x\"\n", 2, "data.generate.blank-share", "expects a number"},
        {"[data]\nfiles = [\"r1.txt\", \"r2.txt\"]\n[settings]\npool = \"pool.csv\"\n", 2, "data.files", "r2.txt"},
        {"[study]\nreplications = 2\n[data]\nfiles = [\"r1.txt\"]\n[settings]\npool = \"pool.csv\"\n", 4, "data.files",
         "1 files for 2 replications"},
        {"[data]\nfiles = [\"r1.txt\"]\n[factors]\nitems = [10, 20]\n[settings]\npool = \"pool.csv\"\n", 4,
         "factors.items", "not generated"},
        {"[factors]\ngroups = [2,\n  3]\n[data.generate]\nitems = 40\ngroup-shares = [0.3, 0.7]\n", 3, "factors.groups",
         "--group-shares"},
        {"[factors]\nitem-quality = [1, -1]\n" + g, 2, "factors.item-quality", "--item-quality"},
        {"[factors]\ngroup-shares = [[0.3, 0.7], [0.3, \"a\"]]\n" + g, 2, "factors.group-shares", "numbers"},
        {"[factors]\nmax-length = [10, -1]\n", 2, "factors.max-length", "Max"},
        // Exposure control: its names as the runner takes them, R above 0 and at most 1.
        {"[factors]\nexposure-control = [\"none\",\n \"eligibilty\"]\n", 3, "factors.exposure-control",
         "setting exposure-control: \"eligibilty\" is not one of none, sympson-hetter, eligibility and progressive"},
        {"[factors]\nexposure-control = [\"none\", \"none\"]\n", 2, "factors.exposure-control",
         "names the level none twice"},
        {"[settings]\nexposure-control = 1\n", 2, "settings.exposure-control", "expects a text"},
        {"[factors]\nmax-exposure = [0.2, 1.5]\n", 2, "factors.max-exposure",
         "Maximum exposure rate 1.5 must lie above 0 and at most 1."},
        {"[factors]\nmax-exposure = [0.2, 0.20]\n", 2, "factors.max-exposure", "names the level 0.2 twice"},
        {"[study]\nname = \"a\"\n[[factors]]\n", 3, "factors", "expects a table"},
        {"[study]\nname = \"a\n", 2, nullptr, ""},
        {"[runs]\nx = 1\n", 1, "runs", "is not a table of a study file"},
        {"[data]\nfiles = [\"r1.txt\"]\n", 0, nullptr, "needs a pool file"},
    };
    for (const BadStudy& bad : cases) {
        std::string text = bad.text;
        if (text.find("[data") == std::string::npos) text += g;
        const std::string path = folder.write("bad.toml", text);
        Study study;
        const std::string problem = takeInto(readStudy(path), study);
        SCOPED_TRACE(bad.text);
        EXPECT_EQ(problem.rfind(path, 0), 0u) << problem;
        if (bad.line > 0) {
            const std::size_t at = problem.find(path + " line " + std::to_string(bad.line));
            const std::size_t after = at + path.size() + 6 + std::to_string(bad.line).size();
            EXPECT_TRUE(at == 0 && after < problem.size() && (problem[after] == ',' || problem[after] == ':'))
                << problem;
        }
        if (bad.key != nullptr) {
            EXPECT_NE(problem.find("key \"" + std::string(bad.key) + "\""), std::string::npos) << problem;
        }
        EXPECT_NE(problem.find(bad.says), std::string::npos) << problem;
    }
    Study study;
    EXPECT_NE(takeInto(readStudy(folder.file("none.toml")), study), "");
}

TEST(StudyFile, ConditionsAreTheCrossProductInFileOrder) {
    TempFolder folder;
    // Not alphabetical: the file's order decides, the first factor varying slowest.
    const std::string path = folder.write(
        "s.toml", std::string("[study]\nreplications = 2\n[factors]\nrandomization = [1, 2]\nmethod = [\"Shannon\", "
                              "\"MaxDiscr\", \"MinCost\"]\nalpha = [0.05, 0.10]\n") +
                      generated);
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    ASSERT_EQ(study.factors.size(), 3u);
    EXPECT_EQ(study.factors[0].name, "randomization");
    EXPECT_EQ(study.factors[2].written, (std::vector<std::string>{"0.05", "0.10"}));  // as written
    ASSERT_EQ(conditionCount(study), 12u);
    std::size_t c = 0;
    for (std::size_t a = 0; a < 2; ++a)
        for (std::size_t b = 0; b < 3; ++b)
            for (std::size_t d = 0; d < 2; ++d, ++c) {
                EXPECT_EQ(conditionLevels(study, c), (std::vector<std::size_t>{a, b, d}));
                const RunSettings s = studyRun(study, "w", c, 0).settings;
                EXPECT_EQ(s.randomizationFactor, static_cast<std::int32_t>(a + 1));
                EXPECT_EQ(selectionMethodName(s.selectionMethod), study.factors[1].values[b]);
                EXPECT_EQ(s.sprtAlpha, d == 0 ? 0.05 : 0.10);
            }
    const std::vector<StudyTask> tasks = studyTasks(study, 3);
    ASSERT_EQ(tasks.size(), 12u * 2 * 3);
    EXPECT_EQ(tasks[7].condition, 1u);
    EXPECT_EQ(tasks[7].replication, 0);
    EXPECT_EQ(tasks[7].shard, 2);
    EXPECT_EQ(tasks[7].shardCount, 3);
    EXPECT_EQ(taskDescription(study, tasks[7]),
              "condition 2 (randomization=1, method=Shannon, alpha=0.10), replication 1, shard 2/3");
}

TEST(StudyFile, EachConditionsReferenceHasTheNamedLevelsAndItsOwnForTheRest) {
    TempFolder folder;
    const std::string factors =
        "[factors]\nmethod = [\"Shannon\", \"MaxDiscr\", \"MinCost\"]\nmax-length = [10, 0xC]\n";
    const struct {
        std::string reference;
        std::vector<std::optional<std::size_t>> levels;
        std::vector<std::size_t> conditions;  // each condition's reference
    } cases[] = {
        {"", {0, 0}, {0, 0, 0, 0, 0, 0}},
        {"reference = { method = \"MinCost\" }\n", {2, std::nullopt}, {4, 5, 4, 5, 4, 5}},
        {"reference = { max-length = 12 }\n", {std::nullopt, 1}, {1, 1, 3, 3, 5, 5}},  // 0xC by value
        {"[study.reference]\nmax-length = 10\nmethod = \"MaxDiscr\"\n", {1, 0}, {2, 2, 2, 2, 2, 2}},
    };
    for (const auto& c : cases) {
        const std::string path = folder.write("s.toml", "[study]\n" + c.reference + factors + generated);
        Study study;
        ASSERT_EQ(takeInto(readStudy(path), study), "") << c.reference;
        EXPECT_EQ(study.referenceLevels, c.levels) << c.reference;
        for (std::size_t condition = 0; condition < c.conditions.size(); ++condition)
            EXPECT_EQ(referenceCondition(study, condition), c.conditions[condition]) << c.reference << condition;
    }
}

// 256 levels of 8 factors are 2^64 conditions: a count that wrapped to 0 would run nothing and
// report header-only tables as the study's result.
TEST(StudyFile, ConditionCountsDoNotWrap) {
    Study study;
    study.factors.resize(8);
    for (StudyFactor& factor : study.factors) factor.values.resize(256);
    EXPECT_EQ(conditionCount(study), SIZE_MAX);
    study.factors.resize(2);
    EXPECT_EQ(conditionCount(study), 65536u);
}

// Generating large data takes long: the watcher hears of each set before it is made, and of none
// that is already there.
TEST(StudyFile, EachGeneratedSetIsAnnouncedBeforeItIsMade) {
    struct Watcher : StudyWatcher {
        std::vector<std::string> heard;
        void generating(std::size_t set, std::size_t sets, std::int64_t examinees, std::int32_t items) override {
            heard.push_back(std::to_string(set) + "/" + std::to_string(sets) + " " + std::to_string(examinees) + " " +
                            std::to_string(items));
        }
    };
    TempFolder folder;
    const std::string path = folder.write(
        "s.toml", "[study]\nreplications = 2\n[factors]\nexaminees = [30, 50]\n[data.generate]\nitems = 40\n");
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    Watcher watcher;
    ASSERT_EQ(failureText(prepareStudyData(study, folder.file("work"), &watcher)), "");
    EXPECT_EQ(watcher.heard, (std::vector<std::string>{"1/4 30 40", "2/4 50 40", "3/4 30 40", "4/4 50 40"}));
    Watcher again;
    ASSERT_EQ(failureText(prepareStudyData(study, folder.file("work"), &again)), "");
    EXPECT_TRUE(again.heard.empty());
}

// One study at a time on an output folder: the second is refused, told which study and process
// hold it, until the first lets go.
TEST(StudyFile, AnOutputFolderIsLockedForOneStudy) {
    TempFolder folder;
    Study first, second;
    const std::string path = folder.write("first.toml", "[study]\noutput = \"out\"\n" + std::string(generated));
    ASSERT_EQ(takeInto(readStudy(path), first), "");
    ASSERT_EQ(takeInto(readStudy(folder.write("second.toml", TempFolder::read(path))), second), "");
    std::optional<StudyLock> held;
    {
        Outcome<StudyLock> lock = StudyLock::take(first);
        ASSERT_TRUE(lock) << lock.failure().message;
        held.emplace(std::move(*lock));
    }
    const std::string refused = failureText(StudyLock::take(second));
    EXPECT_EQ(refused, "The output folder " + first.outputFolder + " is in use by the study " + path + " (process " +
                           std::to_string(::getpid()) +
                           "); wait until it ends, or give this study another output folder.");
    // The study command is refused as well, and so is the study run by the packages.
    const std::string err = folder.file("err");
    const std::string command = std::string(QUILLON_SIM) + " study " + second.file + " --quiet 2>" + err;
    const int status = std::system(command.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
    EXPECT_EQ(TempFolder::read(err), "quillon-sim study: " + refused + "\n");
    testing::RecordingHost host;
    StudyWatcher watcher;
    EXPECT_EQ(failureText(runStudyLocally(second, studyWorkFolder(second), 1, host, watcher)), refused);
    EXPECT_FALSE(fs::exists(studyWorkFolder(second)));
    held.reset();
    EXPECT_FALSE(fs::exists(studyLockFile(first)));  // nothing is left in the output folder
    EXPECT_TRUE(StudyLock::take(second));
}

TEST(StudyFile, EachReplicationHasItsOwnSeedsAndEveryConditionItsExaminees) {
    TempFolder folder;
    const std::string path =
        folder.write("s.toml", std::string("[study]\nseed = 7\nreplications = 3\n[factors]\nmethod = [\"Shannon\", "
                                           "\"MinCost\"]\nblank-share = [0.0, 0.1]\n") +
                                   generated);
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    std::set<std::uint64_t> dataSeeds;
    std::set<std::uint32_t> runSeeds;
    std::set<std::string> folders;
    for (std::int32_t r = 0; r < 3; ++r) {
        const StudyData first = studyData(study, "w", 0, r);
        EXPECT_EQ(first.options.seed, replicationDataSeed(7, r));
        dataSeeds.insert(first.options.seed);
        runSeeds.insert(studyRun(study, "w", 0, r).seed);
        for (std::size_t c = 0; c < conditionCount(study); ++c) {
            const StudyData data = studyData(study, "w", c, r);
            EXPECT_EQ(data.options.seed, first.options.seed);
            EXPECT_EQ(studyRun(study, "w", c, r).seed, replicationRunSeed(7, r));
            // The method shares the data; the blank share, a generate option, keys its own set.
            const bool sameData = conditionLevels(study, c)[1] == 0;
            EXPECT_EQ(data.folder == first.folder, sameData);
            EXPECT_EQ(data.options.blankShare, sameData ? 0.0 : 0.1);
            EXPECT_EQ(studyRun(study, "w", c, r).settings.responseFile,
                      (fs::path(data.folder) / sampleResponseName).string());
            folders.insert(data.folder);
        }
    }
    EXPECT_EQ(dataSeeds.size(), 3u);
    EXPECT_EQ(runSeeds.size(), 3u);
    EXPECT_EQ(folders.size(), 6u);
    EXPECT_NE(replicationDataSeed(8, 0), replicationDataSeed(7, 0));
}

TEST(StudyFile, AFactorOfTheDataGeneratesEachLevelOnce) {
    TempFolder folder;
    const std::string path =
        folder.write("s.toml", std::string("[study]\nreplications = 2\n[factors]\nitem-quality = [1.0, 0.5]\nmethod = "
                                           "[\"Shannon\", \"MinCost\"]\n[data.generate]\nitems = 40\nexaminees = 30\n"
                                           "script-length = 10\ngroup-shares = [0.25, 0.75]\n"));
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    EXPECT_EQ(study.factors[0].written, (std::vector<std::string>{"1.0", "0.5"}));
    const std::string work = folder.file("work");
    ASSERT_EQ(failureText(prepareStudyData(study, work)), "");
    std::map<std::string, std::string> pools;  // by data folder
    for (std::size_t c = 0; c < conditionCount(study); ++c)
        for (std::int32_t r = 0; r < 2; ++r) {
            const StudyData data = studyData(study, work, c, r);
            EXPECT_EQ(data.options.itemQuality, c < 2 ? 1.0 : 0.5);
            EXPECT_EQ(data.options.groupShares, (std::vector<double>{0.25, 0.75}));
            pools[data.folder] = TempFolder::read((fs::path(data.folder) / samplePoolName).string());
        }
    ASSERT_EQ(pools.size(), 4u);
    std::set<std::string> distinct;
    for (const auto& [folder, pool] : pools) distinct.insert(pool);
    EXPECT_EQ(distinct.size(), 4u);  // two replications by two qualities
    // The same options again: nothing is written anew.
    const auto stamp = fs::last_write_time(fs::path(pools.begin()->first) / sampleResponseName);
    ASSERT_EQ(failureText(prepareStudyData(study, work)), "");
    EXPECT_TRUE(fs::last_write_time(fs::path(pools.begin()->first) / sampleResponseName) == stamp);
}

// The runner, started as a program with its output thrown away; the process id comes back.
pid_t startRunner(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{QUILLON_SIM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, QUILLON_SIM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

// The exit code, or 128 plus the signal that ended it.
int waitFor(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int runner(const std::vector<std::string>& arguments) { return waitFor(startRunner(arguments)); }

const char* smallStudy =
    "[study]\nname = \"small\"\nseed = 11\nreplications = 2\nthreads = 1\noutput = \"%\"\n"
    "[settings]\nmax-length = 12\n[factors]\nmethod = [\"Shannon\", \"MinCost\"]\nrandomization = [1, 3]\n"
    "[data.generate]\nitems = 50\nexaminees = 200\nscript-length = 12\n";

std::string studyText(const std::string& output, std::string text = smallStudy) {
    return text.replace(text.find('%'), 1, output);
}

TEST(StudyCommand, APlanOfShardedTasksGivesTheLocalStudysBytes) {
    TempFolder folder;
    const std::string local = folder.write("local.toml", studyText("local"));
    const std::string planned = folder.write("planned.toml", studyText("planned"));
    ASSERT_EQ(runner({"study", local, "--quiet"}), 0);
    const std::string plan = folder.file("plan");
    ASSERT_EQ(runner({"study", planned, "--plan", plan, "--shards-per-run", "3", "--quiet"}), 0);
    EXPECT_EQ(runner({"study", planned, "--merge", "--plan", plan, "--quiet"}), 1);  // nothing run yet
    for (int task = 24; task >= 1; --task)                                           // in any order, and the last twice
        EXPECT_EQ(runner({"study", planned, "--task", std::to_string(task), "--plan", plan, "--quiet"}), 0) << task;
    EXPECT_EQ(runner({"study", planned, "--task", "1", "--plan", plan, "--quiet"}), 0);
    EXPECT_EQ(runner({"study", planned, "--task", "25", "--plan", plan, "--quiet"}), 2);
    EXPECT_EQ(runner({"study", planned, "--merge", "--plan", plan, "--quiet"}), 0);
    for (std::string_view name : studyOutputNames) {
        const std::string table(name);
        const std::string a = TempFolder::read(folder.file("local/") + table);
        EXPECT_GT(a.size(), 1000u);
        EXPECT_TRUE(sameText(a, TempFolder::read(folder.file("planned/") + table))) << table;
    }
    // A changed study no longer fits the plan.
    folder.write("planned.toml", studyText("planned") + "\n[settings.x]\n");
    EXPECT_EQ(runner({"study", planned, "--merge", "--plan", plan, "--quiet"}), 1);
    folder.write("planned.toml", studyText("planned").replace(studyText("planned").find("[1, 3]"), 6, "[1, 4]"));
    EXPECT_EQ(runner({"study", planned, "--task", "1", "--plan", plan, "--quiet"}), 1);
}

TEST(StudyCommand, ABadPlanFolderIsRefusedBeforeAnythingIsWritten) {
    TempFolder folder;
    const std::string path = folder.write("s.toml", studyText("out"));
    for (const char* name : {"plan%A", "plan\\x"}) {
        const std::string plan = folder.file(name);
        EXPECT_EQ(runner({"study", path, "--plan", plan, "--quiet"}), 1) << name;
        EXPECT_FALSE(fs::exists(plan)) << name;  // neither generated data nor study_plan.txt
    }
    EXPECT_FALSE(fs::exists(folder.file("out")));
}

// A study without `threads` runs with the CPUs it may use (a batch task's share), not the machine's.
TEST(StudyFile, WithoutThreadsARunUsesTheCpusItMayRunOn) {
    TempFolder folder;
    std::string text = studyText("out");
    text.erase(text.find("threads = 1\n"), 12);
    const std::string path = folder.write("s.toml", text);
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof(all), &all), 0);
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    EXPECT_EQ(study.threads, static_cast<unsigned>(CPU_COUNT(&all)));
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof(one), &one), 0);
    const std::string problem = takeInto(readStudy(path), study);
    ASSERT_EQ(sched_setaffinity(0, sizeof(all), &all), 0);
    ASSERT_EQ(problem, "");
    EXPECT_EQ(study.threads, 1u);
}

TEST(StudyCommand, AStudysRunIsTheRunnersOwnRun) {
    TempFolder folder;
    const std::string path = folder.write("s.toml", studyText("out"));
    ASSERT_EQ(runner({"study", path, "--quiet"}), 0);
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    const std::string work = folder.file("out/work");
    const StudyRun run = studyRun(study, work, 3, 1);  // MinCost, randomization 3, replication 2
    const std::string own = folder.file("own.csv");
    ASSERT_EQ(runner({"--pool", run.settings.poolFile, "--data", run.settings.responseFile, "--max-length", "12",
                      "--method", "MinCost", "--randomization", "3", "--seed", std::to_string(run.seed), "--results",
                      own, "--no-exposure", "--quiet"}),
              0);
    // The study keeps every figure exact; the runner's table rounds them (and writes 0 where the
    // study leaves a share with no case empty).
    const std::vector<std::string> ownLines = splitLines(TempFolder::read(own));
    std::vector<std::string> study4;
    for (const std::string& line : splitLines(TempFolder::read(folder.file("out/study_results.csv"))))
        if (line.rfind("4,MinCost,3,2,", 0) == 0) study4.push_back(line);
    ASSERT_EQ(study4.size(), 12u);
    ASSERT_EQ(ownLines.size(), 13u);
    for (std::size_t n = 0; n < study4.size(); ++n) {
        const std::vector<std::string> mine = csvFields(study4[n]), theirs = csvFields(ownLines[n + 1]);
        ASSERT_EQ(mine.size(), 17u);
        EXPECT_EQ(mine[4], theirs[0]);
        const std::size_t columns[] = {1, 2, 3, 4, 6, 7, 8, 9, 11, 12, 13, 14};
        for (std::size_t m = 0; m < 12; ++m) {
            const std::string& field = mine[5 + m];
            const std::string rounded =
                field.empty() ? formatDecimals(0, m == 4 ? 3 : 4) : formatDecimals(std::stod(field), m == 4 ? 3 : 4);
            EXPECT_EQ(rounded, theirs[columns[m]]) << "length " << n + 1 << ", measure " << m;
        }
    }
}

TEST(StudyCommand, AStoppedStudyResumesWithTheSameBytes) {
    TempFolder folder;
    std::string big = studyText("whole");
    big.replace(big.find("examinees = 200"), 15, "examinees = 3000");
    const std::string whole = folder.write("whole.toml", big);
    std::string cut = big;
    const std::string stopped = folder.write("stopped.toml", cut.replace(cut.find("\"whole\""), 7, "\"stopped\""));
    ASSERT_EQ(runner({"study", whole, "--quiet"}), 0);

    const pid_t pid = startRunner({"study", stopped, "--quiet"});
    const fs::path parts = folder.file("stopped/work/parts");
    // A task empties its part when it starts (proving it can write it) and fills it when done.
    const auto written = [&] {
        std::error_code error;
        // A table being replaced shows up briefly under a temporary name, gone by the time it is sized.
        for (const auto& entry : fs::directory_iterator(parts, error))
            if (entry.path().extension() == ".part" && fs::file_size(entry.path(), error) > 0 && !error) return true;
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!written() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ::kill(pid, SIGTERM);
    ASSERT_EQ(waitFor(pid), 143);
    // Only whole parts are left (or the empty one of the task that was stopped), and no study table.
    std::map<std::string, fs::file_time_type> kept;
    for (const auto& entry : fs::directory_iterator(parts)) {
        EXPECT_EQ(entry.path().extension(), ".part") << entry.path();
        if (entry.file_size() == 0) continue;
        RunPart part;
        std::string problem;
        EXPECT_TRUE((problem = takeInto(readRunPartHeader(TempFolder::read(entry.path().string())), part)).empty())
            << problem;
        kept[entry.path().string()] = entry.last_write_time();
    }
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(kept.size(), 8u) << "the study ended before it was stopped";
    EXPECT_FALSE(fs::exists(folder.file("stopped/study_results.csv")));

    ASSERT_EQ(runner({"study", stopped, "--quiet"}), 0);
    for (const auto& [part, written] : kept) EXPECT_TRUE(fs::last_write_time(part) == written) << part << " ran again";
    for (std::string_view table : studyOutputNames)
        EXPECT_TRUE(sameText(TempFolder::read(folder.file("whole/") + std::string(table)),
                             TempFolder::read(folder.file("stopped/") + std::string(table))))
            << table;
}

// The runner with every file it writes limited to `bytes`, as on a disk that is all but full.
int runnerOnFullDisk(const std::vector<std::string>& arguments, rlim_t bytes) {
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<std::string> all{QUILLON_SIM};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execv(QUILLON_SIM, argv.data());
        _exit(127);
    }
    return waitFor(pid);
}

TEST(StudyCommand, AStudyThatCannotWriteItsTablesLeavesNoneOfAnEarlierOne) {
    TempFolder folder;
    const std::string path = folder.write("s.toml", studyText("out"));
    ASSERT_EQ(runner({"study", path, "--quiet"}), 0);
    // Another length reruns every part (a few kB each) on the same data; the tables no longer fit.
    std::string changed = studyText("out");
    changed.replace(changed.find("max-length = 12"), 15, "max-length = 11");
    folder.write("s.toml", changed);
    EXPECT_EQ(runnerOnFullDisk({"study", path, "--quiet"}, 4096), 1);
    for (std::string_view table : studyOutputNames)
        EXPECT_FALSE(fs::exists(folder.file("out/") + std::string(table))) << table << " is the earlier study's";
    // With room again, the study keeps the parts it wrote and writes its own tables.
    EXPECT_EQ(runner({"study", path, "--quiet"}), 0);
    EXPECT_NE(TempFolder::read(folder.file("out/study_results.csv")).find("\r\n1,Shannon,1,1,11,"), std::string::npos);
}

TEST(StudyCommand, LevelsWithQuotesCommasAndLineBreaksReadBackWhole) {
    TempFolder folder;
    ASSERT_EQ(runner({"study", folder.write("g.toml", studyText("gen")), "--quiet"}), 0);
    Study generated;
    ASSERT_EQ(takeInto(readStudy(folder.file("g.toml")), generated), "");
    const RunSettings first = studyRun(generated, folder.file("gen/work"), 0, 0).settings;
    // Two pools whose names hold every character a CSV field must quote.
    const std::string names[] = {"p\"1\".csv", "p,\n2.csv"};
    for (const std::string& name : names) fs::copy_file(first.poolFile, folder.file(name));
    const std::string path =
        folder.write("s.toml",
                     "[study]\nname = \"q\"\nthreads = 1\noutput = \"out\"\n[settings]\nmax-length = 12\n"
                     "[factors]\npool = [\"p\\\"1\\\".csv\", \"p,\\n2.csv\"]\n[data]\nfiles = [\"" +
                         first.responseFile + "\"]\n");
    ASSERT_EQ(runner({"study", path, "--quiet"}), 0);
    const Outcome<StudyFigures> read = readStudyFigures(folder.file("out"));
    ASSERT_TRUE(read) << read.failure().message;
    ASSERT_EQ(read->conditions.size(), 2u);
    EXPECT_EQ(read->conditions[0].levels[0], names[0]);
    EXPECT_EQ(read->conditions[1].levels[0], names[1]);
    EXPECT_GT(TempFolder::read(folder.file("out/study_report.html")).size(), 1000u);
}

TEST(StudyCommand, GivenResponseFilesAndAFailingRun) {
    TempFolder folder;
    const std::string path = folder.write("s.toml", studyText("gen"));
    ASSERT_EQ(runner({"study", path, "--quiet"}), 0);
    // The generated sets, given as files: the same tables.
    Study study;
    ASSERT_EQ(takeInto(readStudy(path), study), "");
    const std::string work = folder.file("gen/work");
    const RunSettings first = studyRun(study, work, 0, 0).settings;
    const std::string given =
        "[study]\nseed = 11\nreplications = 2\nthreads = 1\noutput = \"given\"\n"
        "[settings]\nmax-length = 12\npool = \"" +
        first.poolFile +
        "\"\n[factors]\nmethod = [\"Shannon\", \"MinCost\"]\nrandomization = [1, 3]\n"
        "[data]\nfiles = [\"" +
        first.responseFile + "\", \"" + studyRun(study, work, 0, 1).settings.responseFile + "\"]\n";
    const std::string givenPath = folder.write("given.toml", given);
    // Replication 2 of the given study reads replication 1's pool: only replication 1 must agree.
    ASSERT_EQ(runner({"study", givenPath, "--quiet"}), 0);
    const std::string a = TempFolder::read(folder.file("gen/study_results.csv"));
    const std::string b = TempFolder::read(folder.file("given/study_results.csv"));
    const std::string firstRows = a.substr(0, a.find("\r\n1,Shannon,1,2,"));
    EXPECT_EQ(b.substr(0, firstRows.size()), firstRows);

    // A run that fails leaves no study table and says which run.
    std::string failing = studyText("failing");
    failing.replace(failing.find("max-length = 12"), 15, "max-length = 60");
    ASSERT_EQ(runner({"study", folder.write("f.toml", failing), "--quiet"}), 1);
    EXPECT_FALSE(fs::exists(folder.file("failing/study_results.csv")));
}

}  // namespace
}  // namespace quillon
