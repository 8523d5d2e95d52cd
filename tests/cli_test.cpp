// The runner as a user meets it: exit codes, where messages go, and what --help documents.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "other_user.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/simulation.h"
#include "recording_host.h"
#include "same_text.h"

namespace {

using quillon::testing::sameText;
using quillon::testing::TempFolder;

struct Outcome {
    int exitCode;
    std::string out;
    std::string err;
};

// `before` runs in the shell first (a limit, say); `program` is the command that runs the runner.
Outcome runSim(const TempFolder& folder, const std::string& arguments, const std::string& before = "",
               const std::string& program = QUILLON_SIM) {
    const std::string command = before + "exec " + program + " " + arguments + " >" + folder.file("out") + " 2>" +
                                folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("out")),
            TempFolder::read(folder.file("err"))};
}

const std::string sample = std::string(QUILLON_SOURCE_DIR) + "/data/";

std::string samplePaths(const TempFolder& folder, const std::string& pool = sample + "samplepassfail_pool.csv") {
    return "--pool " + pool + " --data " + sample + "samplepassfail.txt --script " + sample +
           "samplepassfail_script.csv --enemies " + sample + "samplepassfail_enemies.csv --results " +
           folder.file("results.csv") + " --exposure " + folder.file("expos.csv");
}

TEST(Runner, ExitCodesAndStreams) {
    TempFolder folder;
    const Outcome done = runSim(folder, samplePaths(folder) + " --max-length 5 --quiet");
    EXPECT_EQ(done.exitCode, 0);
    EXPECT_EQ(done.out, "Done\n\n100% processed\n300 Items\n1 Tests/person\n");
    EXPECT_EQ(done.err, "");

    const Outcome failed = runSim(folder, samplePaths(folder, folder.file("none.csv")));
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.starts_with("Pool file " + quillon::upperName(folder.file("none.csv")) +
                                       " is not available.\nTo see where and why, run: "))
        << failed.err;

    for (const char* usage : {"--max-length abc", "--alpha 0.0.5", "--method shannon", "--threads 0", "--bogus"}) {
        const Outcome wrong = runSim(folder, samplePaths(folder) + " " + usage);
        EXPECT_EQ(wrong.exitCode, 2) << usage;
        EXPECT_NE(wrong.err.find(std::string(usage).substr(0, std::string(usage).find(' '))), std::string::npos)
            << usage << ": " << wrong.err;
    }
}

// The hint after a load message is a command check takes: a merge's word and its parts are left
// out, so following the hint checks the run's own files.
TEST(Runner, TheCheckHintIsACommandCheckTakes) {
    TempFolder folder;
    const std::string none = folder.file("none.csv");
    for (const std::string& arguments :
         {samplePaths(folder, none) + " --max-length 5", "merge p1 " + samplePaths(folder, none) + " p2",
          samplePaths(folder, none) + " merge " + folder.file("p1") + " --max-length 5"}) {
        const Outcome failed = runSim(folder, arguments);
        const std::string::size_type at = failed.err.find("To see where and why, run: ");
        ASSERT_NE(at, std::string::npos) << arguments << ": " << failed.err;
        std::string hint = failed.err.substr(at + 27);
        hint = hint.substr(0, hint.find('\n'));
        EXPECT_EQ(hint.find(" merge"), std::string::npos) << hint;
        EXPECT_EQ(hint.find("p1"), std::string::npos) << hint;
        const Outcome checked = runSim(folder, hint.substr(hint.find(" check") + 1));
        EXPECT_EQ(checked.exitCode, 1) << hint << ": " << checked.err;
        EXPECT_NE(checked.out.find(quillon::upperName(none)), std::string::npos) << hint << ": " << checked.out;
    }
}

// Without --threads a run uses the CPUs it may run on, as taskset or a batch system sets them;
// --threads still wins.
TEST(Runner, TheDefaultThreadsAreTheCpusTheRunnerMayUse) {
    TempFolder folder;
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    int first = 0;
    while (!CPU_ISSET(first, &allowed)) ++first;
    const std::string oneCpu = "taskset -p -c " + std::to_string(first) + " $$ >/dev/null || exit 99; ";
    const struct {
        std::string before, options, threads;
    } cases[] = {
        {"", "", std::to_string(CPU_COUNT(&allowed))},
        {oneCpu, "", "1"},
        {oneCpu, " --threads 3", "3"},
    };
    for (const auto& c : cases) {
        const Outcome run =
            runSim(folder, samplePaths(folder) + " --max-length 2 --quiet --stats" + c.options, c.before);
        EXPECT_EQ(run.exitCode, 0) << c.before << c.options << ": " << run.err;
        EXPECT_NE(run.err.find("stats: threads=" + c.threads + " "), std::string::npos)
            << c.before << c.options << ": " << run.err;
    }
}

// The stats line says how many of the run's threads simulated examinees: with 63 batches of the
// sample's 2000 examinees, every thread it was given.
TEST(Runner, TheStatsLineCountsTheWorkers) {
    TempFolder folder;
    for (const char* threads : {"1", "2"}) {
        const Outcome run =
            runSim(folder, samplePaths(folder) + " --max-length 20 --quiet --stats --threads " + std::string(threads));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("stats: threads=" + std::string(threads) + " workers=" + threads + " examinees=2000 "),
                  std::string::npos)
            << run.err;
    }
}

TEST(Runner, HelpDocumentsEveryOption) {
    TempFolder folder;
    const Outcome help = runSim(folder, "--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--pool",
                               "--script",
                               "--enemies",
                               "--data",
                               "--results",
                               "--exposure",
                               "--max-length",
                               "--categories",
                               "--tests-per-person",
                               "--method",
                               "--randomization",
                               "--alpha",
                               "--beta",
                               "--cost-pass-pass",
                               "--cost-pass-fail",
                               "--cost-fail-pass",
                               "--cost-fail-fail",
                               "--drop-items",
                               "--block-enemies",
                               "--follow-script",
                               "--use-sprt",
                               "--no-exposure",
                               "--no-uniform-priors",
                               "--seed",
                               "--threads",
                               "--quiet",
                               "generate",
                               "costs are then 0",
                               "Exit codes",
                               "  0 ",
                               "  1 ",
                               "  2 ",
                               "  130 ",
                               "143"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Outcome generateHelp = runSim(folder, "generate --help");
    for (const char* option : {"--items", "--collections", "--groups", "--examinees", "--script-length",
                               "--blank-share", "--seed", "--out"}) {
        EXPECT_NE(generateHelp.out.find(option), std::string::npos) << option;
    }
}

// Every place that states the version outside the engine's sources, held to programVersion.
TEST(Runner, EveryPlaceStatesTheOneVersion) {
    TempFolder folder;
    const Outcome version = runSim(folder, "--version");
    EXPECT_EQ(version.exitCode, 0);
    const std::string v(quillon::programVersion);
    const std::string root = std::string(QUILLON_SOURCE_DIR) + "/";
    struct Place {
        const char* where;
        std::string text;
        std::string line;
    };
    for (const Place& place :
         {Place{"quillon-sim --version", version.out, "quillon-sim " + v + "\n"},
          Place{"CMake project", std::string(QUILLON_PROJECT_VERSION) + "\n", v + "\n"},
          Place{"r/DESCRIPTION", TempFolder::read(root + "r/DESCRIPTION"), "\nVersion: " + v + "\n"},
          Place{"CITATION.cff", TempFolder::read(root + "CITATION.cff"), "\nversion: \"" + v + "\"\n"}}) {
        EXPECT_NE(place.text.find(place.line), std::string::npos) << place.where << " lacks " << place.line;
    }
}

TEST(Runner, WithoutTwoCategoriesTheCostOptionsAreNotRead) {
    TempFolder folder;
    // Three groups need a third probability column: the sample pool with one on its first item.
    std::string threeGroups = TempFolder::read(sample + "samplepassfail_pool.csv");
    threeGroups.insert(threeGroups.find("\r\n", threeGroups.find("I0001")), ",0");
    const std::string pool = folder.write("pool3.csv", threeGroups);
    const std::string common = samplePaths(folder, pool) + " --categories 3 --method MinCost --max-length 10 --quiet";
    ASSERT_EQ(runSim(folder, common + " --cost-pass-fail .1 --cost-fail-pass 9 --cost-pass-pass 2").exitCode, 0);
    const std::string withCosts = TempFolder::read(folder.file("expos.csv"));
    // The same run in the engine with every cost 0, and with the window's default costs: only
    // the first may match, or the check above proves nothing.
    for (const bool zero : {true, false}) {
        quillon::RunSettings settings;
        quillon::setDefaultPaths(settings, QUILLON_SOURCE_DIR, '/');
        settings.poolFile = pool;
        settings.resultsFile = folder.file("engine-results.csv");
        settings.exposureFile = folder.file("engine-expos.csv");
        settings.groupCount = 3;
        settings.selectionMethod = quillon::SelectionMethod::MinCost;
        settings.maxTestLength = 10;
        if (zero) settings.costPassPass = settings.costPassFail = settings.costFailPass = settings.costFailFail = 0.0;
        quillon::testing::RecordingHost host;
        quillon::RandomGenerator random;
        ASSERT_TRUE(quillon::runSimulation(settings, random, host).completed);
        EXPECT_EQ(TempFolder::read(settings.exposureFile) == withCosts, zero);
    }
}

TEST(Runner, SeedAndGenerate) {
    TempFolder folder;
    ASSERT_EQ(runSim(folder, "generate --items 40 --collections 2 --examinees 30 --script-length 10 --quiet --out " +
                                 folder.file("gen"))
                  .exitCode,
              0);
    const std::string files = "--pool " + folder.file("gen/samplepassfail_pool.csv") + " --data " +
                              folder.file("gen/samplepassfail.txt") + " --results " + folder.file("r.csv") +
                              " --exposure " + folder.file("e.csv") + " --max-length 10 --randomization 3 --quiet";
    ASSERT_EQ(runSim(folder, files).exitCode, 0);
    const std::string first = TempFolder::read(folder.file("e.csv"));
    ASSERT_EQ(runSim(folder, files + " --seed 4294967295").exitCode, 0);
    EXPECT_TRUE(sameText(TempFolder::read(folder.file("e.csv")), first));
    ASSERT_EQ(runSim(folder, files + " --seed 12345").exitCode, 0);
    EXPECT_FALSE(TempFolder::read(folder.file("e.csv")) == first);
    EXPECT_EQ(runSim(folder, "generate --collections 9").exitCode, 2);
}

// The command line's own part of ability data: which options it saw given, and a run on the files.
TEST(Runner, GenerateFromAContinuousAbility) {
    TempFolder folder;
    const std::string out = " --items 30 --script-length 10 --examinees 40 --quiet --out " + folder.file("irt");
    ASSERT_EQ(runSim(folder, "generate --ability normal:0,1 --cuts -0.5,0.8 --irt 3pl" + out).exitCode, 0);
    EXPECT_EQ(runSim(folder, "--categories 3 --pool " + folder.file("irt/samplepassfail_pool.csv") + " --data " +
                                 folder.file("irt/samplepassfail.txt") + " --results " + folder.file("r.csv") +
                                 " --no-exposure --max-length 10 --quiet")
                  .exitCode,
              0);
    const struct {
        std::string arguments, message;
    } refused[] = {
        {"generate --irt 3pl --force" + out, "need --ability"},
        {"generate --ability normal:0,1 --cuts 0 --groups 2 --force" + out, ""},
        {"generate --ability normal:0,1 --cuts 0,1 --groups 2 --force" + out, "--groups 2 disagrees"},
        {"generate --ability normal:0,1 --cuts 0 --items 300 --item-file " +
             folder.write("items.csv", "id,a,b\nx,1,0\n") + " --force" + out.substr(out.find(" --script")),
         "--items 300 disagrees"},
    };
    for (const auto& c : refused) {
        const Outcome done = runSim(folder, c.arguments);
        EXPECT_EQ(done.exitCode, c.message.empty() ? 0 : 2) << c.arguments << "\n" << done.err;
        EXPECT_NE(done.err.find(c.message), std::string::npos) << done.err;
    }
}

// Every entry of a folder, hidden ones included, so that a temporary file cannot hide.
std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Runner, RunsThatFallShortExitWithOneAfterTheSameTexts) {
    TempFolder folder;
    std::string icolPool = "h\r\ncal\r\nx\r\n";
    for (int i = 0; i < 6; ++i) icolPool += "N" + std::to_string(i) + ",9,,,.8,.3\r\n";
    const std::string tables = folder.file("tables"), results = tables + "/results.csv",
                      exposure = tables + "/expos.csv";
    const std::string sampleInputs = "--pool " + sample + "samplepassfail_pool.csv --max-length 10 --data ";
    const std::string done300 = "Done\n\n100% processed\n300 Items\n1 Tests/person\n";
    const std::string unavailable = "\nExposure File was unavailable and not written\n";
    struct Case {
        const char* what;
        std::string arguments, before, err, out;
        bool tablesKept;
    };
    const Case cases[] = {
        // Today's tables are far over 512 bytes: neither can be written, and the old ones stay.
        {"file-size limit", sampleInputs + sample + "samplepassfail.txt --exposure " + exposure, "ulimit -f 1; ",
         "Output file " + quillon::upperName(results) + " has a problem.\nExposure file " +
             quillon::upperName(exposure) + " is not available.\n",
         done300 + unavailable, true},
        {"exposure folder missing",
         sampleInputs + sample + "samplepassfail.txt --exposure " + folder.file("none/expos.csv"), "",
         "Exposure file " + quillon::upperName(folder.file("none/expos.csv")) + " is not available.\n",
         done300 + unavailable, false},
        {"icol error",
         "--pool " + folder.write("icol.csv", icolPool) + " --data " +
             folder.write("three.txt", "EXAMINEE0010 1\r\nEXAMINEE0011 1\r\nEXAMINEE0010 1\r\n") +
             " --max-length 1 --randomization 0 --exposure " + exposure,
         "", "icol error  1\n", "Done\n\n33% processed\n6 Items\n1 Tests/person\n", false},
        {"no examinee", sampleInputs + folder.write("none.txt", "") + " --exposure " + exposure, "", "",
         "Done\n\n% processed\n300 Items\n1 Tests/person\n", false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(tables);
        std::filesystem::create_directory(tables);
        folder.write("tables/results.csv", "old\r\n");
        folder.write("tables/expos.csv", "old\r\n");
        const Outcome run = runSim(folder, c.arguments + " --results " + results + " --quiet", c.before);
        EXPECT_EQ(run.exitCode, 1) << c.what;
        EXPECT_EQ(run.err, c.err) << c.what;
        EXPECT_EQ(run.out, c.out) << c.what;
        EXPECT_EQ(TempFolder::read(results) == "old\r\n", c.tablesKept) << c.what;
        EXPECT_EQ(entries(tables), (std::vector<std::string>{"expos.csv", "results.csv"})) << c.what;
    }
}

// Starts the runner (or a tool with the runner behind it) with both output streams discarded and
// the two signals at their defaults, whatever the test itself inherited.
pid_t start(const std::vector<std::string>& arguments) {
    const pid_t child = ::fork();
    if (child != 0) return child;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

int waitFor(pid_t child) {
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

std::vector<std::string> runArguments(const std::string& inputs, const std::string& tables) {
    return {QUILLON_SIM,
            "--pool",
            inputs + "samplepassfail_pool.csv",
            "--data",
            inputs + "samplepassfail.txt",
            "--results",
            tables + "/results.csv",
            "--exposure",
            tables + "/expos.csv",
            "--threads",
            "2",
            "--quiet"};
}

TEST(Runner, InterruptsEndTheRunAtOnceAndKeepTheOldTables) {
    TempFolder folder;
    // Long enough that the signal comes during the replay: about 5 s of replay on two fast cores.
    ASSERT_EQ(runSim(folder, "generate --examinees 100000 --quiet --out " + folder.file("big")).exitCode, 0);
    const std::string tables = folder.file("tables");
    std::filesystem::create_directory(tables);
    for (const int signal : {SIGINT, SIGTERM}) {
        folder.write("tables/results.csv", "old results\r\n");
        folder.write("tables/expos.csv", "old exposure\r\n");
        const pid_t runner = start(runArguments(folder.file("big/"), tables));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ::kill(runner, signal);
        const int status = waitFor(runner);
        // Ended by the signal itself, which a shell reports as 130 or 143.
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << ": " << status;
        EXPECT_EQ(TempFolder::read(tables + "/results.csv"), "old results\r\n") << signal;
        EXPECT_EQ(TempFolder::read(tables + "/expos.csv"), "old exposure\r\n") << signal;
        EXPECT_EQ(entries(tables), (std::vector<std::string>{"expos.csv", "results.csv"})) << signal;
    }
}

// strace holds every fsync for a while, so the signal arrives while the results table is in its
// temporary file: the runner finishes that one file, then ends by the signal.
TEST(Runner, InterruptDuringATableWriteLeavesNoTemporaryFile) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    TempFolder folder;
    const std::string tables = folder.file("tables");
    std::filesystem::create_directory(tables);
    std::vector<std::string> arguments = runArguments(sample, tables);
    arguments.insert(arguments.end(), {"--max-length", "5"});
    ASSERT_EQ(waitFor(start(arguments)), 0);
    const std::string newResults = TempFolder::read(tables + "/results.csv");

    folder.write("tables/results.csv", "old results\r\n");
    folder.write("tables/expos.csv", "old exposure\r\n");
    arguments.insert(arguments.begin(), {"strace", "-f", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                                         "inject=fsync:delay_enter=1500000"});
    const pid_t tracer = start(arguments);
    const auto runnerPid = [&] {
        const std::string children =
            TempFolder::read("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children");
        return static_cast<pid_t>(std::atol(children.c_str()));
    };
    // The new table is open in the tables folder, named or not yet named, while fsync is held.
    const auto writing = [&] {
        const pid_t runner = runnerPid();
        if (runner <= 0) return false;
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(runner) + "/fd", error)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
            if (target.rfind(tables + "/", 0) == 0 && target.find("results.csv") == std::string::npos &&
                target.find("expos.csv") == std::string::npos)
                return true;
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (!writing() && std::chrono::steady_clock::now() < deadline && ::waitpid(tracer, &status, WNOHANG) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!writing()) {
        ::kill(tracer, SIGKILL);
        waitFor(tracer);
        GTEST_SKIP() << "strace could not trace the runner here (status " << status << ")";
    }
    const pid_t runner = runnerPid();
    ASSERT_GT(runner, 0);
    ::kill(runner, SIGINT);
    status = waitFor(tracer);  // strace ends as its tracee did
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_EQ(TempFolder::read(tables + "/results.csv"), newResults);
    EXPECT_EQ(TempFolder::read(tables + "/expos.csv"), "old exposure\r\n");
    // The first run's record; the interrupted run wrote none.
    EXPECT_EQ(entries(tables), (std::vector<std::string>{"expos.csv", "results.csv", "results_run.json"}));
}

// The sample's four input files, for a test that names its own tables.
std::string sampleInputs() {
    return "--pool " + sample + "samplepassfail_pool.csv --data " + sample + "samplepassfail.txt --script " + sample +
           "samplepassfail_script.csv --enemies " + sample + "samplepassfail_enemies.csv";
}

TEST(Runner, ReportOptionsRefuseBadValuesAsUsageErrors) {
    TempFolder folder;
    for (const char* usage : {"--stop-probability 0", "--stop-probability 1", "--stop-probability 1.5",
                              "--stop-probability abc", "--stop-probability .5x", "--trace-candidates -1",
                              "--trace-examinees -1", "--trace-candidates 1001", "--trace-candidates 2147483647"}) {
        const Outcome wrong = runSim(folder, samplePaths(folder) + " --max-length 2 --quiet " + usage);
        EXPECT_EQ(wrong.exitCode, 2) << usage;
        EXPECT_NE(wrong.err.find(std::string(usage).substr(0, std::string(usage).find(' '))), std::string::npos)
            << usage << ": " << wrong.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("results.csv"))) << usage;
    }
}

TEST(Runner, ReportFilesThatCannotBeKeptStopTheRunBeforeItStarts) {
    namespace fs = std::filesystem;
    // Root writes into any folder, so as root the locked case runs as another user, with copies
    // of the runner and the data in a folder that user can reach: the checkout need not be.
    const bool root = ::geteuid() == 0;
    std::string lockedSkipped;
    fs::path base = fs::temp_directory_path();
    if (root) {
        const fs::path shared = quillon::testing::baseTheOtherUserCanReach(lockedSkipped);
        if (lockedSkipped.empty()) lockedSkipped = quillon::testing::cannotBecomeTheOtherUser();
        if (lockedSkipped.empty()) base = shared;
    }
    const TempFolder folder(base);
    const std::string tables = folder.file("tables"), locked = folder.file("locked");
    const std::string pool = folder.write("pool.csv", TempFolder::read(sample + "samplepassfail_pool.csv"));
    const std::string data = folder.write("data.txt", TempFolder::read(sample + "samplepassfail.txt"));
    const std::string inputs = "--pool " + pool + " --data " + data + " --results " + tables +
                               "/results.csv --exposure " + tables + "/expos.csv --max-length 5 --quiet ";
    std::string asOtherUser = QUILLON_SIM;
    if (root && lockedSkipped.empty()) {
        const std::string sim = folder.file("quillon-sim"), id = std::to_string(quillon::testing::otherUser);
        fs::copy_file(QUILLON_SIM, sim);
        // Whatever the umask, the other user must reach these; only the locked folder is closed.
        fs::permissions(folder.file(""), fs::perms(0755));
        fs::permissions(sim, fs::perms(0755));
        for (const std::string& file : {pool, data}) fs::permissions(file, fs::perms(0644));
        asOtherUser = "setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " + sim;
    }
    const auto notAvailable = [](const std::string& kind, const std::string& path) {
        return kind + " file " + quillon::upperName(path) + " is not available.\n";
    };
    const auto clash = [](const std::string& kind, const std::string& path, const std::string& role,
                          const std::string& what) {
        return kind + " file " + quillon::upperName(path) + " is also the " + role +
               " file; choose another name for the " + what + ".\n";
    };
    const std::string same = folder.file("report.csv"), exposure = tables + "/./expos.csv";
    struct Case {
        std::string arguments, err, program = QUILLON_SIM;
    };
    std::vector<Case> cases = {
        {"--trace " + folder.file("none/trace.csv"), notAvailable("Trace", folder.file("none/trace.csv"))},
        {"--stopping " + folder.file("none/s.csv"), notAvailable("Stopping", folder.file("none/s.csv"))},
        {"--confusion " + folder.file("none/c.csv"), notAvailable("Confusion", folder.file("none/c.csv"))},
        // Written over an input, a table or another report, it would destroy it.
        {"--trace " + pool, clash("Trace", pool, "pool", "trace")},
        {"--stopping " + tables + "/results.csv",
         clash("Stopping", tables + "/results.csv", "results", "stopping table")},
        {"--confusion " + exposure, clash("Confusion", exposure, "exposure", "confusion table")},
        {"--trace " + same + " --stopping " + same,
         clash("Trace", same, "stopping", "trace") + clash("Stopping", same, "trace", "stopping table")},
    };
    if (lockedSkipped.empty())
        cases.push_back(
            {"--trace " + locked + "/trace.csv", notAvailable("Trace", locked + "/trace.csv"), asOtherUser});
    std::filesystem::create_directory(locked);
    folder.write("locked/trace.csv", "old trace\r\n");
    std::filesystem::permissions(locked, std::filesystem::perms(0555));
    for (const Case& c : cases) {
        std::filesystem::remove_all(tables);
        std::filesystem::create_directory(tables);
        folder.write("tables/results.csv", "old\r\n");
        const Outcome run = runSim(folder, inputs + c.arguments, "", c.program);
        EXPECT_EQ(run.exitCode, 1) << c.arguments;
        EXPECT_EQ(run.err, c.err) << c.arguments;
        EXPECT_EQ(run.out, "") << c.arguments;  // no Done: the replay never started
        EXPECT_EQ(entries(tables), std::vector<std::string>{"results.csv"}) << c.arguments;
        EXPECT_EQ(TempFolder::read(tables + "/results.csv"), "old\r\n") << c.arguments;
    }
    EXPECT_EQ(entries(locked), std::vector<std::string>{"trace.csv"});
    EXPECT_EQ(TempFolder::read(locked + "/trace.csv"), "old trace\r\n");
    std::filesystem::permissions(locked, std::filesystem::perms(0755));
    EXPECT_TRUE(sameText(TempFolder::read(pool), TempFolder::read(sample + "samplepassfail_pool.csv")));
    EXPECT_FALSE(std::filesystem::exists(same));
    // The other cases count even so: a failure among them fails the test.
    if (!lockedSkipped.empty()) GTEST_SKIP() << "the locked-folder case did not run: " << lockedSkipped;
}

// One output file under two spellings, neither existing yet: one table would replace the other.
TEST(Runner, TwoSpellingsOfOneNewOutputAreRefused) {
    TempFolder folder;
    const std::string work = folder.file("work");
    const std::string inputs = sampleInputs() + " --max-length 2 --quiet ";
    struct Case {
        std::string arguments, err;
    };
    const Case cases[] = {
        {"--results ./r.csv --no-exposure --stopping r.csv",
         "Stopping file R.CSV is also the results file; choose another name for the stopping table.\n"},
        {"--results r.csv --exposure ./r.csv",
         "Output file R.CSV is also the exposure file; choose another name for the results.\n"},
        {"--results r.csv --no-exposure --trace t.csv --confusion ./t.csv",
         "Trace file T.CSV is also the confusion file; choose another name for the trace.\n"
         "Confusion file ./T.CSV is also the trace file; choose another name for the confusion table.\n"},
        {"--results r.csv --exposure " + work + "/r.csv",
         "Output file R.CSV is also the exposure file; choose another name for the results.\n"},
        {"--results link/r.csv --exposure real/../real/r.csv",
         "Output file LINK/R.CSV is also the exposure file; choose another name for the results.\n"},
        // A link whose file does not exist yet is written through to that file.
        {"--results to-r --exposure r.csv",
         "Output file TO-R is also the exposure file; choose another name for the results.\n"},
        // The HTML report is an output too.
        {"--results r.csv --no-exposure --report ./r.csv",
         "Report file ./R.CSV is also the results file; choose another name for the report.\n"},
        {"--results r.csv --exposure e.csv --use-sprt --report link/../r_stopping.csv",
         "Report file LINK/../R_STOPPING.CSV is also the stopping file; choose another name for the report.\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work + "/real");
        std::filesystem::create_directory_symlink("real", work + "/link");
        std::filesystem::create_symlink("r.csv", work + "/to-r");
        const Outcome run = runSim(folder, inputs + c.arguments, "cd " + work + " && ");
        EXPECT_EQ(run.exitCode, 1) << c.arguments;
        EXPECT_TRUE(run.err.starts_with(c.err)) << c.arguments << ": " << run.err;
        EXPECT_EQ(run.out, "") << c.arguments;
        EXPECT_EQ(entries(work), (std::vector<std::string>{"link", "real", "to-r"})) << c.arguments;
        EXPECT_TRUE(entries(work + "/real").empty()) << c.arguments;
    }
}

// A folder where the runner reads or writes a file gives that file's message and exit 1, never an
// abort, and the folder is left as it was.
TEST(Runner, AFolderWhereAFileIsExpectedGetsItsMessage) {
    TempFolder folder;
    const std::string work = folder.file("work");
    const std::string study =
        "[study]\nname = \"s\"\nseed = 3\nreplications = 1\nthreads = 1\noutput = \"out\"\n"
        "[settings]\nmax-length = 3\n[data.generate]\nitems = 20\nexaminees = 10\n"
        "script-length = 3\n";
    const std::string run = sampleInputs() + " --max-length 2 --quiet --no-exposure ";
    struct Case {
        std::string what, arguments;
        std::vector<std::string> folders;  // made (each holding a file) before the run
        std::string err;
    };
    const Case cases[] = {
        {"study file", "study dir --quiet", {"dir"}, "quillon-sim study: dir: the study file cannot be read\n"},
        {"part to merge", run + "merge p1 dir --results r.csv", {"dir"}, "Part file dir is not available.\n"},
        {"part to write", run + "--shard 1/2 --part dir", {"dir"}, "Output file DIR has a problem.\n"},
        {"generated data",
         "generate --force --out gen",
         {"gen/samplepassfail_pool.csv"},
         "quillon-sim generate: Cannot write gen/samplepassfail_pool.csv.\n"},
        {"study's data stamp",
         "study s.toml --quiet",
         {"out/work/data/r1/generated.txt"},
         "quillon-sim study: Cannot write " + work + "/out/work/data/r1/generated.txt.\n"},
        {"study's generated data",
         "study s.toml --quiet",
         {"out/work/data/r1/samplepassfail.txt"},
         "quillon-sim study: Cannot write " + work + "/out/work/data/r1/samplepassfail.txt.\n"},
        {"study's part",
         "study s.toml --quiet",
         {"out/work/parts/c1_r1_s1of1.part"},
         "Task condition 1, replication 1: Output file " + quillon::upperName(work) +
             "/OUT/WORK/PARTS/C1_R1_S1OF1.PART has a problem.\n"},
        {"plan",
         "study s.toml --plan plan --task 1",
         {"plan/study_plan.txt"},
         "quillon-sim study: plan/study_plan.txt is not a study plan; make one with --plan plan\n"},
        {"plan at the merge",
         "study s.toml --plan plan --merge",
         {"plan/study_plan.txt"},
         "quillon-sim study: plan/study_plan.txt is not a study plan; make one with --plan plan\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(work);
        std::filesystem::create_directory(work);
        folder.write("work/s.toml", study);
        // A part that merge could otherwise take.
        ASSERT_EQ(runSim(folder, run + "--shard 1/2 --part " + work + "/p1").exitCode, 0);
        for (const std::string& made : c.folders) {
            std::filesystem::create_directories(work + "/" + made);
            folder.write("work/" + made + "/kept", "kept");
        }
        const Outcome outcome = runSim(folder, c.arguments, "cd " + work + " && ");
        EXPECT_EQ(outcome.exitCode, 1) << c.what;
        EXPECT_TRUE(outcome.err.starts_with(c.err)) << c.what << ": " << outcome.err;
        for (const std::string& made : c.folders)
            EXPECT_EQ(TempFolder::read(work + "/" + made + "/kept"), "kept") << c.what;
    }
}

// A merge reads its parts and a shard its inputs: writing over one of them would destroy it, so
// such a name is refused before anything is written.
TEST(Runner, AMergeOrShardNeverWritesOverWhatItReads) {
    TempFolder folder;
    const std::string work = folder.file("work");
    const std::string pool = TempFolder::read(sample + "samplepassfail_pool.csv");
    const std::string data = TempFolder::read(sample + "samplepassfail.txt");
    const std::string run = "--pool pool.csv --data data.txt --max-length 2 --quiet ";
    struct Case {
        std::string arguments, err;
    };
    const Case cases[] = {
        {"merge p1 p2 --results p1 --no-exposure",
         "Output file P1 is also the part file; choose another name for the results.\n"},
        {"merge p1 p2 --results r.csv --exposure ./p2",
         "Exposure file ./P2 is also the part file; choose another name for the exposure table.\n"},
        {"merge p1 p2 --results " + work + "/p2 --exposure e.csv",
         "Output file " + quillon::upperName(work) +
             "/P2 is also the part file; choose another name for the "
             "results.\n"},
        {"merge p1 p2 --results r.csv --no-exposure --use-sprt --stopping ./p1",
         "Stopping file ./P1 is also the part file; choose another name for the stopping table.\n"},
        {"merge p1 p2 --results r.csv --no-exposure --confusion p2",
         "Confusion file P2 is also the part file; choose another name for the confusion table.\n"},
        {"merge p1 p2 --results ./pool.csv --exposure e.csv",
         "Output file ./POOL.CSV is also the pool file; choose another name for the results.\n"},
        {"--shard 1/2 --part ./pool.csv",
         "Part file ./POOL.CSV is also the pool file; choose another name for the part.\n"},
        {"--shard 2/2 --part data.txt",
         "Part file DATA.TXT is also the data file; choose another name for the part.\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(work);
        std::filesystem::create_directory(work);
        folder.write("work/pool.csv", pool);
        folder.write("work/data.txt", data);
        const std::string cd = "cd " + work + " && ";
        ASSERT_EQ(runSim(folder, run + "--shard 1/2 --part p1", cd).exitCode, 0);
        ASSERT_EQ(runSim(folder, run + "--shard 2/2 --part p2", cd).exitCode, 0);
        const std::string p1 = TempFolder::read(work + "/p1"), p2 = TempFolder::read(work + "/p2");
        const Outcome outcome = runSim(folder, run + c.arguments, cd);
        EXPECT_EQ(outcome.exitCode, 1) << c.arguments;
        EXPECT_TRUE(outcome.err.starts_with(c.err)) << c.arguments << ": " << outcome.err;
        EXPECT_EQ(outcome.out, "") << c.arguments;
        EXPECT_EQ(entries(work), (std::vector<std::string>{"data.txt", "p1", "p2", "pool.csv"})) << c.arguments;
        EXPECT_TRUE(sameText(TempFolder::read(work + "/p1"), p1)) << c.arguments;
        EXPECT_TRUE(sameText(TempFolder::read(work + "/p2"), p2)) << c.arguments;
        EXPECT_TRUE(sameText(TempFolder::read(work + "/pool.csv"), pool)) << c.arguments;
        EXPECT_TRUE(sameText(TempFolder::read(work + "/data.txt"), data)) << c.arguments;
    }
}

// A study never writes over what it reads either: an output (the tables, the report, the lock) or
// a work file that is one of its inputs is refused before anything is written, whether the study
// runs here, is planned or is merged.
TEST(Runner, AStudyNeverWritesOverWhatItReads) {
    TempFolder folder;
    const std::string work = folder.file("s");
    const std::string pool = TempFolder::read(sample + "samplepassfail_pool.csv");
    const std::string data = TempFolder::read(sample + "samplepassfail.txt");
    const std::string head = "[study]\nthreads = 1\noutput = \".\"\n[settings]\nmax-length = 2\n";
    const std::string given = "[data]\nfiles = [\"data.txt\"]\n";
    const std::string clash = "quillon-sim study: The study's output file " + work + "/";
    const std::string within = "; keep the study's inputs out of that folder.\n";
    struct Case {
        std::string study, text, arguments, clashing, err;
    };
    const Case cases[] = {
        {"s.toml", head + "pool = \"pool.csv\"\n[data]\nfiles = [\"study_results.csv\"]\n", "", "study_results.csv",
         clash + "study_results.csv would replace its response file " + work +
             "/study_results.csv; choose another output folder.\n"},
        {"s.toml", head + "pool = \"study_summary.csv\"\n" + given, "--plan plan", "study_summary.csv",
         clash + "study_summary.csv would replace its pool file " + work +
             "/study_summary.csv; choose another output folder.\n"},
        {"study_report.html", head + "[data.generate]\nitems = 20\nexaminees = 10\nscript-length = 3\n",
         "--merge --plan plan", "",
         clash + "study_report.html would replace its study file " + work +
             "/study_report.html; choose another output folder.\n"},
        {"s.toml", head + "[factors]\npool = [\"pool.csv\", \"./study_conditions.csv\"]\n" + given, "",
         "study_conditions.csv",
         clash + "study_conditions.csv would replace its pool file " + work +
             "/study_conditions.csv; choose another output folder.\n"},
        {"s.toml", head + "pool = \"study.lock\"\n" + given, "", "study.lock",
         clash + "study.lock would replace its pool file " + work + "/study.lock; choose another output folder.\n"},
        {"s.toml", head + "pool = \"work/data/pool.csv\"\n" + given, "", "work/data/pool.csv",
         "quillon-sim study: The study's pool file " + work + "/work/data/pool.csv lies in its work folder " + work +
             "/work, where the study's own files could replace it" + within},
        {"s.toml", head + "pool = \"plan/work/pool.csv\"\n" + given, "--plan plan", "plan/work/pool.csv",
         "quillon-sim study: The study's pool file " + work + "/plan/work/pool.csv lies in its work folder " + work +
             "/plan/work, where the study's own files could replace it" + within},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work + "/work/data");
        std::filesystem::create_directories(work + "/plan/work");
        folder.write("s/pool.csv", pool);
        folder.write("s/data.txt", data);
        if (!c.clashing.empty()) folder.write("s/" + c.clashing, c.clashing.ends_with(".csv") ? pool : data);
        folder.write("s/" + c.study, c.text);
        const auto before = entries(work);
        const Outcome outcome = runSim(folder, "study " + c.study + " --quiet " + c.arguments, "cd " + work + " && ");
        EXPECT_EQ(outcome.exitCode, 1) << c.study << " " << c.arguments;
        EXPECT_EQ(outcome.err, c.err);
        EXPECT_EQ(entries(work), before) << c.arguments;
        EXPECT_TRUE(entries(work + "/work/data").size() == (c.clashing == "work/data/pool.csv"));
        EXPECT_TRUE(entries(work + "/plan/work").size() == (c.clashing == "plan/work/pool.csv"));
        EXPECT_EQ(TempFolder::read(work + "/" + c.study), c.text);
        if (!c.clashing.empty()) {
            EXPECT_TRUE(sameText(TempFolder::read(work + "/" + c.clashing), c.clashing.ends_with(".csv") ? pool : data))
                << c.clashing;
        }
    }
}

// AddressSanitizer reserves terabytes of address space for itself, so a limit on it only holds
// in a build without that sanitizer (the cases still run there).
#if defined(__SANITIZE_ADDRESS__)
const char* const addressLimit = "";
#else
const char* const addressLimit = "ulimit -v 1000000; ";
#endif

TEST(Runner, ARunEndingWithAMessageKeepsTheOldReportFiles) {
    TempFolder folder;
    std::string icolPool = "h\r\ncal\r\nx\r\n";
    for (int i = 0; i < 6; ++i) icolPool += "N" + std::to_string(i) + ",9,,,.8,.3\r\n";
    const std::string reports = folder.file("reports");
    const std::string reportOptions = " --trace " + reports + "/trace.csv --stopping " + reports +
                                      "/stopping.csv --confusion " + reports + "/confusion.csv --use-sprt --quiet";
    struct Case {
        const char* what;
        std::string arguments, err, before;
    };
    const Case cases[] = {
        // The sample pool's 300 items run out before a test of 301.
        {"no eligible item", samplePaths(folder) + " --max-length 301", "Not enought items, content area ", ""},
        // Reports kept for every possible length would need gigabytes here: they count only the
        // lengths the pool allows.
        {"a maximum far beyond the pool", samplePaths(folder) + " --max-length 100000000",
         "Not enought items, content area ", addressLimit},
        {"icol error",
         "--pool " + folder.write("icol.csv", icolPool) + " --data " +
             folder.write("three.txt", "EXAMINEE0010 1\r\nEXAMINEE0011 1\r\n") + " --results " +
             folder.file("results.csv") + " --max-length 1 --randomization 0 --no-exposure",
         "icol error  1", ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(reports);
        std::filesystem::create_directory(reports);
        for (const char* name : {"trace.csv", "stopping.csv", "confusion.csv"})
            folder.write(std::string("reports/") + name, "old\r\n");
        const Outcome run = runSim(folder, c.arguments + reportOptions, c.before);
        EXPECT_EQ(run.exitCode, 1) << c.what;
        EXPECT_TRUE(run.err.starts_with(c.err)) << c.what << ": " << run.err;
        EXPECT_EQ(run.out.find("SPRT:"), std::string::npos) << c.what << ": " << run.out;
        EXPECT_EQ(entries(reports), (std::vector<std::string>{"confusion.csv", "stopping.csv", "trace.csv"})) << c.what;
        for (const char* name : {"trace.csv", "stopping.csv", "confusion.csv"})
            EXPECT_EQ(TempFolder::read(reports + "/" + name), "old\r\n") << c.what << ", " << name;
    }
}

TEST(Runner, ReportsAreOffByDefaultAndLeaveTheTablesAsTheyWere) {
    TempFolder folder;
    const std::string plain = folder.file("plain"), reported = folder.file("reported"), sprt = folder.file("sprt");
    for (const std::string& f : {plain, reported, sprt}) std::filesystem::create_directory(f);
    const auto paths = [&](const std::string& tables) {
        return sampleInputs() + " --results " + tables + "/results.csv --exposure " + tables +
               "/expos.csv --max-length 20 --tests-per-person 2 --quiet";
    };
    const std::string done = "Done\n\n100% processed\n300 Items\n2 Tests/person\n";
    const Outcome first = runSim(folder, paths(plain));
    ASSERT_EQ(first.exitCode, 0);
    EXPECT_EQ(first.out, done);
    // No report beside the tables but the run's record.
    EXPECT_EQ(entries(plain), (std::vector<std::string>{"expos.csv", "results.csv", "results_run.json"}));

    const Outcome second = runSim(folder, paths(reported) + " --trace " + reported + "/trace.csv --trace-candidates 2" +
                                              " --stopping " + reported + "/stopping.csv --confusion " + reported +
                                              "/confusion.csv --stop-probability .9 --stop-probability .99");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.out, done);
    for (const char* table : {"/results.csv", "/expos.csv"})
        EXPECT_TRUE(sameText(TempFolder::read(plain + table), TempFolder::read(reported + table))) << table;
    const std::string trace = TempFolder::read(reported + "/trace.csv");
    EXPECT_TRUE(trace.starts_with("examinee,examinee_id,true_group,test,position,")) << trace.substr(0, 200);
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 1 + 2000 * 2 * 20);
    const std::string stopping = TempFolder::read(reported + "/stopping.csv");
    EXPECT_NE(stopping.find("\r\nPosterior,.9,summary,,4000,"), std::string::npos);
    EXPECT_NE(stopping.find("\r\nPosterior,.99,summary,,4000,"), std::string::npos);

    // Use SPRT: its figures after the Done text, and the stopping table beside the results.
    const Outcome third = runSim(folder, paths(sprt) + " --use-sprt --stop-probability .9 --stop-probability .99");
    ASSERT_EQ(third.exitCode, 0) << third.err;
    EXPECT_TRUE(third.out.starts_with(done + "SPRT: average test length ")) << third.out;
    EXPECT_NE(third.out.find("\nMAP probability >= .99: average test length "), std::string::npos) << third.out;
    EXPECT_EQ(entries(sprt),
              (std::vector<std::string>{"expos.csv", "results.csv", "results_run.json", "results_stopping.csv"}));
    EXPECT_TRUE(sameText(TempFolder::read(sprt + "/results_stopping.csv"), stopping));
    EXPECT_TRUE(sameText(TempFolder::read(plain + "/results.csv"), TempFolder::read(sprt + "/results.csv")));
}

// A study of generated data for the cluster plan's tests: four tasks, one run each.
std::string planStudy(const std::string& seed = "3", const std::string& examinees = "40",
                      const std::string& more = "") {
    return "[study]\nname = \"s\"\nseed = " + seed +
           "\nreplications = 2\nthreads = 1\noutput = \"tables\"\n[settings]\nmax-length = 3\n"
           "[factors]\nmethod = [\"Shannon\", \"MinCost\"]\n[data.generate]\nitems = 20\nexaminees = " +
           examinees + "\nscript-length = 3\n" + more;
}

// Every task and the merge refuse a plan that no longer fits the study, its inputs or itself,
// naming the plan and saying to make it again; made again, the plan is taken.
TEST(StudyPlan, AStalePlanIsRefusedByEveryTaskAndTheMerge) {
    TempFolder folder;
    const std::string study = folder.file("s.toml"), plan = folder.file("plan");
    const std::string pool = TempFolder::read(sample + "samplepassfail_pool.csv");
    const std::string given =
        "[study]\nname = \"g\"\nreplications = 1\nthreads = 1\noutput = \"tables\"\n"
        "[settings]\nmax-length = 3\npool = \"pool.csv\"\n[data]\nfiles = [\"" +
        sample + "samplepassfail.txt\"]\n";
    const std::string changed = "quillon-sim study: " + study + " has changed since the plan in " + plan +
                                " was made; make the plan again with --plan " + plan + "\n";
    struct Case {
        const char* what;
        std::string before, after;          // the study file when the plan is made and when it is used
        void (*change)(const TempFolder&);  // a change to the plan folder or an input, or none
        std::string err;
    };
    const Case cases[] = {
        {"seed", planStudy("3"), planStudy("4"), nullptr, changed},
        {"examinees", planStudy("3", "40"), planStudy("3", "41"), nullptr, changed},
        {"a comment", planStudy(), planStudy() + "# later\n", nullptr, changed},
        {"the pool's bytes", given, given,
         [](const TempFolder& f) { f.write("pool.csv", TempFolder::read(f.file("pool.csv")) + "\n"); },
         "quillon-sim study: the input file " + folder.file("pool.csv") + " has changed since the plan in " + plan +
             " was made; make the plan again with --plan " + plan + "\n"},
        {"an edited plan", planStudy(), planStudy(),
         [](const TempFolder& f) {
             std::string text = TempFolder::read(f.file("plan/study_plan.txt"));
             text.replace(text.find("shards-per-run 1"), 16, "shards-per-run 2");
             f.write("plan/study_plan.txt", text);
         },
         "quillon-sim study: " + plan + "/study_plan.txt is not a study plan; make one with --plan " + plan + "\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(plan);
        folder.write("pool.csv", pool);
        folder.write("s.toml", c.before);
        ASSERT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --quiet").exitCode, 0) << c.what;
        folder.write("s.toml", c.after);
        if (c.change != nullptr) c.change(folder);
        for (const char* use : {"--task 1", "--bundle 1", "--merge"}) {
            const Outcome refused = runSim(folder, "study " + study + " --plan " + plan + " " + use);
            EXPECT_EQ(refused.exitCode, 1) << c.what << " " << use;
            EXPECT_EQ(refused.err, c.err) << c.what << " " << use;
        }
        EXPECT_FALSE(std::filesystem::exists(plan + "/work/parts")) << c.what;
        ASSERT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --quiet").exitCode, 0) << c.what;
        EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --task 1 --quiet").exitCode, 0) << c.what;
    }
}

// The [cluster] table and --sbatch reach both batch scripts, quoted as sbatch reads them; a plan
// made again without --sbatch keeps the options it was made with, and what cannot go into a
// script is refused before anything is written.
TEST(StudyPlan, ClusterOptionsGoIntoBothScriptsAndAreKept) {
    TempFolder folder;
    const std::string study = folder.file("s.toml"), plan = folder.file("plan");
    folder.write("s.toml", planStudy("3", "40",
                                     "[cluster]\npartition = \"short\"\nmemory = \"2G\"\n"
                                     "extra = [\"--qos=low #1\", \"--requeue\"]\ntask-seconds = 0\n"));
    const std::string made = "study " + study + " --plan " + plan;
    ASSERT_EQ(runSim(folder, made + " --sbatch partition=long --sbatch 'account=a \"b\"' --sbatch extra=--exclusive")
                  .exitCode,
              0);
    const std::vector<std::string> lines = {"#SBATCH --partition=\"long\"\n",
                                            "#SBATCH --account=\"a \\\"b\\\"\"\n",
                                            "#SBATCH --mem=\"2G\"\n",
                                            "#SBATCH --qos=\"low #1\"\n",
                                            "#SBATCH --requeue\n",
                                            "#SBATCH --exclusive\n",
                                            "##SBATCH --time="};
    for (int again = 0; again < 2; ++again) {
        for (const char* script : {"/array.sbatch", "/merge.sbatch"}) {
            const std::string text = TempFolder::read(plan + script);
            for (const std::string& line : lines) EXPECT_NE(text.find(line), std::string::npos) << script << line;
            EXPECT_EQ(text.find("--partition=\"short\""), std::string::npos) << script;
            EXPECT_EQ(text.find("##SBATCH --partition"), std::string::npos) << script;
        }
        const Outcome remade = runSim(folder, made);
        ASSERT_EQ(remade.exitCode, 0) << remade.err;
        EXPECT_NE(remade.out.find("Kept the --sbatch options of the earlier plan: partition=long account=a \"b\" "
                                  "extra=--exclusive\n"),
                  std::string::npos)
            << remade.out;
    }

    struct Case {
        std::string arguments, cluster;
        int exitCode;
        std::string err;
    };
    const Case cases[] = {
        {"--sbatch queue=a", "", 2,
         "quillon-sim study: --sbatch queue=a: there is no cluster key named \"queue\" (partition, account, time, "
         "memory, extra, task-seconds)\n"},
        {"--sbatch partition", "", 2, "quillon-sim study: --sbatch partition: expects KEY=VALUE\n"},
        {"--sbatch extra=-p", "", 2,
         "quillon-sim study: --sbatch extra=-p: \"-p\" is not an sbatch option written as --name or --name=value\n"},
        {"--sbatch extra=--array=1-3", "", 2,
         "quillon-sim study: --sbatch extra=--array=1-3: --array is set by the plan itself\n"},
        {"--sbatch task-seconds=-1", "", 2,
         "quillon-sim study: --sbatch task-seconds=-1: \"-1\" is not a whole number of seconds from 0 to 604800\n"},
        {"", "[cluster]\nqueue = \"a\"\n", 1,
         "quillon-sim study: " + study +
             " line 16, key \"cluster.queue\": is not a key of [cluster] (partition, account, time, memory, extra, "
             "task-seconds)\n"},
        {"", "[cluster]\npartition = \"a\\nb\"\n", 1,
         "quillon-sim study: " + study +
             " line 16, key \"cluster.partition\": a line break or control character cannot go into a batch script\n"},
        {"", "[cluster]\nextra = \"--qos=a\"\n", 1,
         "quillon-sim study: " + study + " line 16, key \"cluster.extra\": expects an array of texts in quotes\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(plan);
        folder.write("s.toml", planStudy() + c.cluster);
        const Outcome refused = runSim(folder, made + " " + c.arguments);
        EXPECT_EQ(refused.exitCode, c.exitCode) << c.arguments << c.cluster;
        EXPECT_EQ(refused.err, c.err) << c.arguments << c.cluster;
        EXPECT_FALSE(std::filesystem::exists(plan)) << c.arguments << c.cluster;
    }
}

// Bundles: by default the small study's four short tasks make one array task, which runs them
// all; with task-seconds = 0 each task is an array task. The merge needs every task's part either
// way, and a plan under /tmp gets a warning, not a refusal.
TEST(StudyPlan, TasksAreBundledIntoArrayTasks) {
    TempFolder folder;
    const std::string study = folder.write("s.toml", planStudy()), plan = folder.file("plan");
    const Outcome planned = runSim(folder, "study " + study + " --plan " + plan);
    ASSERT_EQ(planned.exitCode, 0) << planned.err;
    EXPECT_TRUE(planned.out.starts_with("Wrote the plan of 4 tasks into " + plan + ": 1 array task of about "))
        << planned.out;
    EXPECT_NE(planned.out.find(" s each (task-seconds 300), estimated from a pilot run of up to 100 examinees per "
                               "condition on this machine\n"),
              std::string::npos)
        << planned.out;
    if (std::filesystem::weakly_canonical(plan).string().starts_with("/tmp/")) {
        EXPECT_EQ(planned.err, "quillon-sim study: warning: the plan folder " + plan +
                                   " is likely not shared with the compute nodes (it is under /tmp); make the plan "
                                   "on a shared file system (see docs/cluster.md)\n");
    }
    EXPECT_NE(TempFolder::read(plan + "/array.sbatch").find("\n#SBATCH --array=1-1\n"), std::string::npos);
    EXPECT_EQ(TempFolder::read(plan + "/tasks.tsv"),
              "1\t1\tcondition 1 (method=Shannon), replication 1\n2\t1\tcondition 1 (method=Shannon), replication "
              "2\n3\t1\tcondition 2 (method=MinCost), replication 1\n4\t1\tcondition 2 (method=MinCost), "
              "replication 2\n");
    EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --bundle 2").exitCode, 2);
    EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --task 2 --quiet").exitCode, 0);
    const Outcome bundle = runSim(folder, "study " + study + " --plan " + plan + " --bundle 1");
    EXPECT_EQ(bundle.exitCode, 0) << bundle.err;
    EXPECT_EQ(bundle.out, "Task 2 is done already\n");
    EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --merge --quiet").exitCode, 0);

    std::filesystem::remove_all(plan);
    ASSERT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --sbatch task-seconds=0").exitCode, 0);
    EXPECT_NE(TempFolder::read(plan + "/array.sbatch").find("\n#SBATCH --array=1-4\n"), std::string::npos);
    for (const char* bundle : {"1", "2", "4"})
        EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --bundle " + bundle + " --quiet").exitCode,
                  0);
    EXPECT_EQ(runSim(folder, "study " + study + " --plan " + plan + " --merge --quiet").exitCode, 1);  // task 3
}

}  // namespace

namespace {

// MAP's pairs at the last length, counted from two examinees tables: every examinee's final MAP
// group in run A against run B, as the comparison's table row shows them.
std::string mapRowFromExaminees(const std::string& a, const std::string& b, int length) {
    const auto rows = [](const std::string& text) {
        std::vector<std::pair<std::string, std::string>> truthAndMap;  // true group, MAP group
        std::istringstream in(text);
        std::string line;
        std::getline(in, line);  // header
        while (std::getline(in, line)) {
            std::vector<std::string> fields;
            std::istringstream row(line);
            for (std::string field; std::getline(row, field, ',');) fields.push_back(field);
            truthAndMap.emplace_back(fields.at(2), fields.at(4));
        }
        return truthAndMap;
    };
    const auto rowsA = rows(a), rowsB = rows(b);
    EXPECT_EQ(rowsA.size(), rowsB.size());
    std::int64_t both = 0, aOnly = 0, bOnly = 0, neither = 0;
    for (std::size_t i = 0; i < rowsA.size() && i < rowsB.size(); ++i) {
        const bool rightA = rowsA[i].first == rowsA[i].second, rightB = rowsB[i].first == rowsB[i].second;
        ++(rightA ? (rightB ? both : aOnly) : (rightB ? bOnly : neither));
    }
    const auto cell = [](std::int64_t n) {
        std::string text = std::to_string(n);
        for (int at = static_cast<int>(text.size()) - 3; at > 0; at -= 3)
            text.insert(static_cast<std::size_t>(at), ",");
        return "<td>" + text + "</td>";
    };
    return "<tr><td>MAP</td><td>" + std::to_string(length) + "</td>" + cell(both + aOnly + bOnly + neither) +
           cell(both) + cell(aOnly) + cell(bOnly) + cell(neither);
}

}  // namespace

TEST(Runner, CompareCountsWhatTheExamineesTablesSay) {
    TempFolder folder;
    const std::string inputs = "--pool " + sample + "samplepassfail_pool.csv --data " + sample +
                               "samplepassfail.txt --max-length 30 --randomization 4 --quiet";
    ASSERT_EQ(runSim(folder, inputs + " --seed 11 --no-exposure --results " + folder.file("a.csv") + " --examinees " +
                                 folder.file("a_examinees.csv"))
                  .exitCode,
              0);
    ASSERT_EQ(runSim(folder, inputs + " --method MinCost --seed 12 --no-exposure --results " + folder.file("b.csv") +
                                 " --examinees " + folder.file("b_examinees.csv"))
                  .exitCode,
              0);
    const std::string expected = mapRowFromExaminees(TempFolder::read(folder.file("a_examinees.csv")),
                                                     TempFolder::read(folder.file("b_examinees.csv")), 30);
    std::string reports[2];
    for (int threads : {1, 2}) {
        const Outcome compared =
            runSim(folder, inputs + " --seed 11 --threads " + std::to_string(threads) +
                               " compare --b-method MinCost --b-seed 12 --report " + folder.file("compare.html"));
        ASSERT_EQ(compared.exitCode, 0) << compared.err;
        reports[threads - 1] = TempFolder::read(folder.file("compare.html"));
        EXPECT_NE(reports[threads - 1].find(expected), std::string::npos) << expected;
    }
    EXPECT_TRUE(reports[0] == reports[1]) << "the report does not depend on the threads";
}

TEST(Runner, CompareRefusesWhatItCannotDo) {
    TempFolder folder;
    const std::string pool = sample + "samplepassfail_pool.csv";
    const std::string inputs = "--pool " + pool + " --data " + sample + "samplepassfail.txt --max-length 5 --quiet";
    const std::string report = folder.file("r.html");
    struct Case {
        std::string arguments;
        int exitCode;
        const char* said;
    };
    const Case cases[] = {
        {inputs + " compare", 2, "--report"},
        {inputs + " --results " + folder.file("x.csv") + " compare --report " + report, 2, "--results"},
        {inputs + " compare --a-label X --b-label X --report " + report, 2, "must differ"},
        {inputs + " compare --b-max-length 0 --report " + report, 2, "ength"},
        {inputs + " compare --b-method shannon --report " + report, 2, "--b-method"},
        {inputs + " compare --b-pool " + folder.file("none.csv") + " --report " + report, 1, "not available"},
        {inputs + " compare --report " + pool, 1, "pool file"},
    };
    const std::string poolBefore = TempFolder::read(pool);
    for (const Case& c : cases) {
        const Outcome refused = runSim(folder, c.arguments);
        EXPECT_EQ(refused.exitCode, c.exitCode) << c.arguments << "\n" << refused.err;
        EXPECT_NE(refused.err.find(c.said), std::string::npos) << c.arguments << "\n" << refused.err;
        EXPECT_FALSE(std::filesystem::exists(report)) << c.arguments;
    }
    EXPECT_TRUE(TempFolder::read(pool) == poolBefore);
}

namespace {

// The report's paired section: from its heading to the next section's.
std::string pairedSection(const std::string& html) {
    const std::size_t from = html.find("<h2>Paired comparison</h2>");
    if (from == std::string::npos) return {};
    return html.substr(from, html.find("<h2>", from + 1) - from);
}

}  // namespace

TEST(Runner, ReportPairedReplaysTheRecordedRunsAsCompareDoes) {
    TempFolder folder;
    const std::string inputs = "--pool " + sample + "samplepassfail_pool.csv --data " + sample +
                               "samplepassfail.txt --max-length 20 --randomization 4 --quiet";
    const std::string tables = " --no-exposure --results " + folder.file("");
    ASSERT_EQ(runSim(folder, inputs + " --seed 11" + tables + "a.csv").exitCode, 0);
    ASSERT_EQ(runSim(folder, inputs + " --method MinCost --seed 12" + tables + "b.csv").exitCode, 0);
    const Outcome compared =
        runSim(folder, inputs + " --seed 11 compare --b-method MinCost --b-seed 12 --report " + folder.file("c.html"));
    ASSERT_EQ(compared.exitCode, 0) << compared.err;
    const Outcome reported = runSim(folder, "report " + folder.file("a.csv") + " " + folder.file("b.csv") +
                                                " --label A --label B --paired --out " + folder.file("r.html"));
    ASSERT_EQ(reported.exitCode, 0) << reported.err;
    EXPECT_NE(reported.err.find("Replaying run A, then run B."), std::string::npos) << reported.err;
    const std::string section = pairedSection(TempFolder::read(folder.file("r.html")));
    EXPECT_NE(section.find("<td>MAP</td>"), std::string::npos);
    EXPECT_TRUE(section == pairedSection(TempFolder::read(folder.file("c.html"))));
}

TEST(Runner, ReportPairedRefusesRunsItCannotReplay) {
    TempFolder folder;
    // Copies of the inputs, so that one can change after the runs.
    for (const char* name : {"samplepassfail_pool.csv", "samplepassfail.txt"})
        std::filesystem::copy_file(sample + name, folder.file(name));
    const std::string pool = folder.file("samplepassfail_pool.csv");
    const std::string inputs =
        "--pool " + pool + " --data " + folder.file("samplepassfail.txt") + " --max-length 5 --no-exposure --quiet";
    for (const std::string run : {"a", "b", "c"})
        ASSERT_EQ(
            runSim(folder, inputs + " --seed " + std::to_string(run[0]) + " --results " + folder.file(run + ".csv"))
                .exitCode,
            0);
    std::filesystem::remove(folder.file("c_run.json"));
    // Results with no record of their own: the record beside them was written for other results.
    std::filesystem::copy_file(folder.file("a.csv"), folder.file("d.csv"));
    std::filesystem::copy_file(folder.file("b_run.json"), folder.file("d_run.json"));
    const std::string a = folder.file("a.csv"), b = folder.file("b.csv");
    const std::string out = " --paired --out " + folder.file("r.html");
    struct Case {
        std::string arguments;
        int exitCode;
        std::string said;
    };
    const Case cases[] = {
        {a + out, 2, "two runs; 1 results"},
        {a + " " + b + " " + folder.file("c.csv") + out, 2, "two runs; 3 results"},
        {a + " " + b + " --paired", 2, "--out"},
        {a + " " + a + out, 2, "--label"},
        {a + " " + folder.file("c.csv") + out, 1, "there is no " + folder.file("c_run.json")},
        {folder.file("d.csv") + " " + b + out, 1, "does not belong to the results table " + folder.file("d.csv")},
    };
    const auto refuse = [&](const Case& c) {
        const Outcome refused = runSim(folder, "report " + c.arguments);
        EXPECT_EQ(refused.exitCode, c.exitCode) << c.arguments << "\n" << refused.err;
        EXPECT_NE(refused.err.find(c.said), std::string::npos) << c.arguments << "\n" << refused.err;
        EXPECT_FALSE(std::filesystem::exists(folder.file("r.html"))) << c.arguments;
    };
    for (const Case& c : cases) refuse(c);

    // The same pool after the runs, one byte longer; then gone.
    std::filesystem::copy_file(pool, folder.file("kept.csv"));
    { std::ofstream(pool, std::ios::app) << "\n"; }
    refuse({a + " " + b + out, 1, "Pool file " + pool + " has changed since the run"});
    std::filesystem::remove(pool);
    refuse({a + " " + b + out, 1, "Pool file " + pool + " is missing"});
    std::filesystem::rename(folder.file("kept.csv"), pool);
    const Outcome restored = runSim(folder, "report " + a + " " + b + out);
    EXPECT_EQ(restored.exitCode, 0) << restored.err;
}
