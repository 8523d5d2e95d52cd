#include "quillon/cluster/cluster_plan.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "failure_text.h"

namespace fs = std::filesystem;
using quillon::ClusterPlan;
using quillon::shellQuoted;
using quillon::writeClusterPlan;

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// Runs a shell command line; its exit code.
int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A folder of its own under the system's temporary folder, whose name holds what shell quoting
// must survive: spaces, both quotes, a backslash, a dollar and a percent sign; the plan folder
// holds all but the last two, which Slurm's log file patterns cannot take.
class ClusterPlanTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("quillon-plan-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        odd_ = root_ / "a b'c\"d\\e$HOME %x";
        fs::create_directories(odd_);
        // A runner that records its arguments, one per line, in args-<task or merge>.
        runner_ = odd_ / "quillon sim";
        writeText(runner_,
                  "#!/bin/bash\n"
                  "out=\"$(dirname \"$0\")/args-${SLURM_ARRAY_TASK_ID:-merge}\"\n"
                  "printf '%s\\n' \"$@\" > \"$out\"\n");
        fs::permissions(runner_, fs::perms::owner_all);
        study_ = odd_ / "study 'one'.toml";
        writeText(study_, "");
        plan_.studyFile = study_.string();
        plan_.runnerPath = runner_.string();
        plan_.planDir = (root_ / "plan 'dir\" $HOME").string();
        plan_.taskDescriptions = {"c1 r1", "c1 r2", "c2 r1", "c2 r2", "c3 r1"};
        plan_.jobName = "demo \"study\"";
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path dir() const { return plan_.planDir; }

    fs::path root_, odd_, runner_, study_;
    ClusterPlan plan_;
};

TEST(ShellQuoted, BashReadsBackTheSameBytes) {
    const fs::path out = fs::temp_directory_path() / ("quillon-quoted-" + std::to_string(::getpid()));
    for (const std::string text : {"", "plain", "a b", "it's", "\"$HOME\" `x` \\ ; & |", "'''", "%A_%a *?[]"}) {
        ASSERT_EQ(run("printf '%s' " + shellQuoted(text) + " > " + shellQuoted(out.string())), 0) << text;
        EXPECT_EQ(readText(out), text);
    }
    fs::remove(out);
}

TEST_F(ClusterPlanTest, WritesEveryFileWithValidBashAndTheArrayRange) {
    ASSERT_EQ(failureText(writeClusterPlan(plan_)), "");
    EXPECT_TRUE(fs::is_directory(dir() / "logs"));
    for (const char* name : {"array.sbatch", "merge.sbatch", "submit"}) {
        EXPECT_EQ(run("bash -n " + shellQuoted((dir() / name).string())), 0) << name;
    }
    EXPECT_NE(fs::status(dir() / "submit").permissions() & fs::perms::owner_exec, fs::perms::none);

    const auto tasks = lines(readText(dir() / "tasks.tsv"));
    ASSERT_EQ(tasks.size(), 5u);
    EXPECT_EQ(tasks[0], "1\t1\tc1 r1");
    EXPECT_EQ(tasks[4], "5\t5\tc3 r1");

    const std::string array = readText(dir() / "array.sbatch");
    EXPECT_NE(array.find("\n#SBATCH --array=1-5\n"), std::string::npos);
    // Every #SBATCH line comes before the first command, or sbatch ignores it.
    const auto firstCommand = array.find("\nset ");
    EXPECT_LT(array.rfind("\n#SBATCH"), firstCommand);
    // sbatch's own quoting of the job name and log path: double quotes, backslash escapes, %% for %.
    EXPECT_NE(array.find("#SBATCH --job-name=\"demo \\\"study\\\"\"\n"), std::string::npos);
    EXPECT_NE(array.find("/plan 'dir\\\" $HOME/logs/%A_%a.out\"\n"), std::string::npos);
    EXPECT_NE(array.find("##SBATCH --partition="), std::string::npos);
    EXPECT_NE(array.find("##SBATCH --time="), std::string::npos);
    EXPECT_NE(array.find("##SBATCH --mem="), std::string::npos);
}

TEST_F(ClusterPlanTest, ScriptsCallTheRunnerWithExactPathsFromAnyFolder) {
    // Relative paths are made absolute: the jobs start wherever the cluster puts them.
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    plan_.runnerPath = (odd_.filename() / "quillon sim").string();
    plan_.studyFile = (odd_.filename() / "study 'one'.toml").string();
    plan_.planDir = "plan 'dir\" $HOME/";
    const std::string message = failureText(writeClusterPlan(plan_));
    fs::current_path(before);
    ASSERT_EQ(message, "");
    const fs::path planDir = root_ / "plan 'dir\" $HOME";

    ASSERT_EQ(run("cd / && SLURM_ARRAY_TASK_ID=4 bash " + shellQuoted((planDir / "array.sbatch").string())), 0);
    ASSERT_EQ(run("cd / && bash " + shellQuoted((planDir / "merge.sbatch").string())), 0);
    EXPECT_EQ(lines(readText(odd_ / "args-4")),
              (std::vector<std::string>{"study", study_.string(), "--bundle", "4", "--plan", planDir.string()}));
    EXPECT_EQ(lines(readText(odd_ / "args-merge")),
              (std::vector<std::string>{"study", study_.string(), "--merge", "--plan", planDir.string()}));
}

TEST_F(ClusterPlanTest, SubmitChainsTheMergeOnTheArrayAndTellsHowToResubmit) {
    ASSERT_EQ(failureText(writeClusterPlan(plan_)), "");
    // A stand-in sbatch that logs its arguments and answers with job ids as --parsable does.
    const fs::path bin = root_ / "bin";
    fs::create_directories(bin);
    writeText(bin / "sbatch",
              "#!/bin/bash\n"
              "echo \"$PWD|$*\" >> " +
                  shellQuoted((root_ / "sbatch.log").string()) +
                  "\n"
                  "n=$(wc -l < " +
                  shellQuoted((root_ / "sbatch.log").string()) +
                  ")\n"
                  "echo \"$((40 + n));cluster\"\n");
    fs::permissions(bin / "sbatch", fs::perms::owner_all);
    const fs::path output = root_ / "submit.out";
    ASSERT_EQ(run("cd / && PATH=" + shellQuoted(bin.string()) + ":$PATH " + shellQuoted((dir() / "submit").string()) +
                  " > " + shellQuoted(output.string())),
              0);
    const std::string d = dir().string();
    EXPECT_EQ(lines(readText(root_ / "sbatch.log")),
              (std::vector<std::string>{d + "|--parsable array.sbatch",
                                        d + "|--parsable --dependency=afterok:41 merge.sbatch"}));
    const std::string said = readText(output);
    EXPECT_NE(said.find("array job: 41 (5 array tasks running 5 study tasks"), std::string::npos) << said;
    EXPECT_NE(said.find("merge job: 42"), std::string::npos) << said;
    EXPECT_NE(said.find("sbatch --array=B array.sbatch"), std::string::npos) << said;
}

TEST_F(ClusterPlanTest, RefusesWhatCannotGoIntoAScriptAndKeepsTheOldPlan) {
    EXPECT_EQ(failureText(checkClusterPlan(plan_)), "");
    ASSERT_EQ(failureText(writeClusterPlan(plan_)), "");
    const std::string before = readText(dir() / "array.sbatch");
    struct Case {
        const char* what;
        void (*change)(ClusterPlan&);
        const char* message;
    };
    const Case cases[] = {
        {"no task", [](ClusterPlan& p) { p.taskDescriptions.clear(); }, "The plan has no task."},
        {"tab", [](ClusterPlan& p) { p.taskDescriptions[1] = "a\tb"; },
         "The description of task 2 holds a tab or a line break."},
        {"line break", [](ClusterPlan& p) { p.taskDescriptions[4] = "a\nb"; },
         "The description of task 5 holds a tab or a line break."},
        {"runner", [](ClusterPlan& p) { p.runnerPath = "/opt/x\ny"; },
         "A line break in \"/opt/x\ny\" cannot go into a batch script."},
        {"percent", [](ClusterPlan& p) { p.planDir = "/tmp/100%"; },
         "Slurm cannot write logs under \"/tmp/100%\": choose a plan folder without '%' or '\\'."},
        {"backslash", [](ClusterPlan& p) { p.planDir = "/tmp/a\\b"; },
         "Slurm cannot write logs under \"/tmp/a\\b\": choose a plan folder without '%' or '\\'."},
        {"no study", [](ClusterPlan& p) { p.studyFile.clear(); },
         "The plan needs a study file, a runner and a folder."},
        {"empty bundle",
         [](ClusterPlan& p) {
             p.bundleSizes = {6, 0};
         },
         "The plan has an empty bundle."},
        {"bundles short",
         [](ClusterPlan& p) {
             p.bundleSizes = {2, 3};
         },
         "The plan's bundles hold 5 tasks, not its 6."},
        {"option line break", [](ClusterPlan& p) { p.sbatchOptions = {"--qos=a\nb"}; },
         "The #SBATCH option \"--qos=a\nb\" cannot go into a batch script."},
        {"option name", [](ClusterPlan& p) { p.sbatchOptions = {"--a b=c"}; },
         "The #SBATCH option \"--a b=c\" cannot go into a batch script."},
    };
    for (const Case& c : cases) {
        ClusterPlan changed = plan_;
        changed.taskDescriptions.push_back("extra");
        c.change(changed);
        EXPECT_EQ(failureText(checkClusterPlan(changed)), c.message) << c.what;  // the same refusal, asked first
        EXPECT_EQ(failureText(writeClusterPlan(changed)), c.message) << c.what;
        EXPECT_EQ(readText(dir() / "array.sbatch"), before) << c.what;
    }
}

TEST_F(ClusterPlanTest, BundlesRunConsecutiveTasksAndTheScriptsCarryTheOptions) {
    plan_.bundleSizes = {2, 2, 1};
    plan_.sbatchOptions = {"--partition=a \"b\" #c", "--exclusive"};
    ASSERT_EQ(failureText(writeClusterPlan(plan_)), "");
    EXPECT_EQ(lines(readText(dir() / "tasks.tsv")),
              (std::vector<std::string>{"1\t1\tc1 r1", "2\t1\tc1 r2", "3\t2\tc2 r1", "4\t2\tc2 r2", "5\t3\tc3 r1"}));
    const std::string array = readText(dir() / "array.sbatch");
    EXPECT_NE(array.find("\n#SBATCH --array=1-3\n"), std::string::npos);
    for (const char* name : {"array.sbatch", "merge.sbatch"}) {
        const std::string script = readText(dir() / name);
        EXPECT_NE(script.find("\n#SBATCH --partition=\"a \\\"b\\\" #c\"\n#SBATCH --exclusive\n"), std::string::npos)
            << script;
        EXPECT_EQ(script.find("##SBATCH --partition"), std::string::npos) << name;  // no hint for what is set
        EXPECT_NE(script.find("##SBATCH --time="), std::string::npos) << name;
    }
}

TEST(BundleTasks, EachBundleStaysWithinTheTargetTime) {
    struct Case {
        std::vector<double> seconds;
        double target;
        std::vector<std::size_t> sizes;
    };
    const Case cases[] = {
        {{1, 1, 1, 1, 1}, 0, {1, 1, 1, 1, 1}},  // no target: no bundling
        {{1, 1, 1, 1, 1}, 2, {2, 2, 1}},
        {{1, 1, 1, 1, 1}, 2.5, {2, 2, 1}},
        {{1, 1, 1, 1, 1}, 100, {5}},
        {{3, 1, 1, 5, 1}, 2, {1, 2, 1, 1}},  // a task longer than the target is a bundle of its own
        {{0.15, 0.15, 0.15, 0.15}, 0.3, {2, 2}},
        {{}, 300, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(quillon::bundleTasks(c.seconds, c.target), c.sizes) << c.target;
}

TEST(UnsharedFolderReason, NamesTheMachinesOwnFolders) {
    const std::string pid = std::to_string(::getpid());
    struct Case {
        std::string folder, reason;
    };
    const Case cases[] = {
        {"/tmp", "it is under /tmp"},
        {"/tmp/quillon-none-" + pid + "/plan", "it is under /tmp"},  // not made yet
        {"/var/tmp/x", "it is under /var/tmp"},
        {"/dev/shm/x", "it is under /dev/shm"},
        {"/tmpx-" + pid, ""},
        {"/usr/share", ""},  // the system's own disk, wherever the sources are checked out
    };
    for (const Case& c : cases) EXPECT_EQ(quillon::unsharedFolderReason(c.folder), c.reason) << c.folder;
}

TEST_F(ClusterPlanTest, AFolderThatCannotBeMadeIsAMessage) {
    writeText(root_ / "file", "");
    plan_.planDir = (root_ / "file" / "plan").string();
    const std::string message = failureText(writeClusterPlan(plan_));
    EXPECT_EQ(message.rfind("Cannot create " + plan_.planDir + "/logs", 0), 0u) << message;
}

}  // namespace

namespace {

// Run only through tests/cluster/local-slurm (the `slurm_plan` test): the plan's own scripts on a
// real Slurm, from a folder whose name needs every kind of quoting, with a task that fails first
// and is then resubmitted alone, as the submit script tells.
class ClusterPlanOnSlurm : public ClusterPlanTest {
protected:
    std::string script(const std::string& name) const {
        return std::string(QUILLON_SOURCE_DIR) + "/tests/cluster/" + name;
    }

    // The command's standard output; fails the test when it exits with an error.
    std::string output(const std::string& command) {
        const fs::path out = root_ / "command.out";
        EXPECT_EQ(run(command + " > " + shellQuoted(out.string())), 0) << command;
        return readText(out);
    }
};

TEST_F(ClusterPlanOnSlurm, ArrayMergeAndResubmittedTask) {
    ASSERT_NE(std::getenv("SLURM_CONF"), nullptr) << "run through tests/cluster/local-slurm";
    // The stand-in runner: each task writes its line, task 3 fails while fail-3 exists, and the
    // merge joins the lines in task order.
    writeText(runner_,
              "#!/bin/bash\n"
              "if [ \"$3\" = --bundle ]; then\n"
              "  [ -e \"$6/fail-$4\" ] && exit 1\n"
              "  echo \"task $4 of $(basename \"$2\")\" > \"$6/out-$4\"\n"
              "else\n"
              "  cat \"$5\"/out-{1..5} > \"$5/merged\"\n"
              "fi\n");
    ASSERT_EQ(failureText(writeClusterPlan(plan_)), "");
    writeText(dir() / "fail-3", "");
    const std::string d = shellQuoted(dir().string());

    const std::string said = output(shellQuoted((dir() / "submit").string()));
    std::smatch ids;
    ASSERT_TRUE(std::regex_search(said, ids, std::regex("array job: ([0-9]+)[^]*merge job: ([0-9]+)"))) << said;
    const std::string arrayId = ids[1], mergeId = ids[2];
    // The array ends with task 3 failed; the merge waits for ever.
    EXPECT_NE(run(script("wait-jobs") + " --timeout 60 " + arrayId), 0);
    EXPECT_EQ(output("squeue -h -j " + mergeId + " -o %T"), "PENDING\n");
    for (const char* task : {"1", "2", "4", "5"}) {
        EXPECT_TRUE(fs::exists(dir() / ("out-" + std::string(task)))) << task;
        EXPECT_TRUE(fs::exists(dir() / "logs" / (arrayId + "_" + task + ".out"))) << task;
    }

    fs::remove(dir() / "fail-3");
    std::string again = output("cd " + d + " && sbatch --parsable --array=3 array.sbatch");
    again = again.substr(0, again.find_first_of(";\n"));
    std::string merge = output("cd " + d + " && scancel " + mergeId +
                               " && sbatch --parsable --dependency=afterok:" + again + " merge.sbatch");
    merge = merge.substr(0, merge.find_first_of(";\n"));
    ASSERT_EQ(run(script("wait-jobs") + " --timeout 60 " + again + " " + merge), 0);
    EXPECT_EQ(readText(dir() / "merged"),
              "task 1 of study 'one'.toml\ntask 2 of study 'one'.toml\ntask 3 of study 'one'.toml\n"
              "task 4 of study 'one'.toml\ntask 5 of study 'one'.toml\n");
    EXPECT_TRUE(fs::exists(dir() / "logs" / (again + "_3.out")));
    EXPECT_TRUE(fs::exists(dir() / "logs" / ("merge_" + merge + ".out")));
}

}  // namespace
