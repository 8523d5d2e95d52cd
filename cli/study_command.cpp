#include "study_command.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "exit_codes.h"
#include "quillon/cluster/cluster_plan.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/study/study.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* planFileName = "study_plan.txt";

// Messages to standard error; on a terminal one progress line for the whole study, redrawn in place.
class StudyConsole : public RunHost, public StudyWatcher {
public:
    explicit StudyConsole(bool showProgress)
        : showProgress_(showProgress), started_(std::chrono::steady_clock::now()) {}

    void showMessage(const std::string& text) override {
        endLine();
        std::cerr << withLineFeeds(text) << '\n';
        ++messages;
    }
    ProgressHandle progressInit(const std::string&) override { return ++handle_; }
    void progressSet(ProgressHandle, const ProgressReport& report) override {
        taskShare_ = report.expectedTests > 0
                         ? static_cast<double>(report.testsStarted) / static_cast<double>(report.expectedTests)
                         : 0.0;
        draw();
    }
    bool progressIsCancelled(ProgressHandle) override { return false; }
    void progressShutdown(ProgressHandle) override {}

    void started(std::size_t runs, std::size_t runsDone, std::size_t tasksToRun) override {
        runs_ = runs;
        runsDone_ = runsDone;
        tasksToRun_ = tasksToRun;
    }
    void taskFinished(bool runDone) override {
        ++tasksRun_;
        taskShare_ = 0.0;
        if (runDone) ++runsDone_;
        draw();
    }
    void generating(std::size_t set, std::size_t sets, std::int64_t examinees, std::int32_t items) override {
        if (!showProgress_) return;
        std::fprintf(stderr, "\rStudy: generating data set %zu of %zu (%lld examinees, %d items)   ", set, sets,
                     static_cast<long long>(examinees), static_cast<int>(items));
        std::fflush(stderr);
        lineShown_ = true;
    }
    void endLine() {
        if (lineShown_) std::fputc('\n', stderr);
        lineShown_ = false;
    }

    int messages = 0;

private:
    void draw() {
        if (!showProgress_) return;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        // The merges after the last task report progress too; the study is then all but done.
        const double done = std::min(1.0, (static_cast<double>(tasksRun_) + std::min(taskShare_, 1.0)) /
                                              static_cast<double>(std::max<std::size_t>(tasksToRun_, 1)));
        const double left = done > 0 ? seconds * (1.0 - done) / done : 0.0;
        std::fprintf(stderr, "\rStudy: %zu of %zu runs done  %d:%02d left   ", runsDone_, runs_,
                     static_cast<int>(left) / 60, static_cast<int>(left) % 60);
        std::fflush(stderr);
        lineShown_ = true;
    }

    bool showProgress_;
    std::size_t runs_ = 0, runsDone_ = 0, tasksToRun_ = 0, tasksRun_ = 0;
    double taskShare_ = 0.0;
    bool lineShown_ = false;
    ProgressHandle handle_ = 0;
    std::chrono::steady_clock::time_point started_;
};

bool onTerminal() {
#ifndef _WIN32
    return isatty(fileno(stderr)) != 0;
#else
    return false;
#endif
}

// The plan's own record: the shards per run and every task, so a task or the merge notices a
// study file changed since the plan was made.
std::string planText(const Study& study, std::int32_t shardsPerRun) {
    std::string text = "quillon-study-plan 1\nshards-per-run " + std::to_string(shardsPerRun) + "\n";
    const std::vector<StudyTask> tasks = studyTasks(study, shardsPerRun);
    text += "tasks " + std::to_string(tasks.size()) + "\n";
    for (std::size_t i = 0; i < tasks.size(); ++i)
        text += std::to_string(i + 1) + " " + taskDescription(study, tasks[i]) + "\n";
    return text;
}

// The shards per run that the plan in `planDir` was made with, after checking it still fits the
// study; 0, with the reason said, otherwise.
std::int32_t planShards(const Study& study, const std::string& planDir) {
    const std::string path = (fs::path(planDir) / planFileName).string();
    const std::string text = readWholeFile(path).value_or(std::string());
    std::int32_t shards = 0;
    if (std::sscanf(text.c_str(), "quillon-study-plan 1\nshards-per-run %d", &shards) != 1 || shards < 1) {
        std::cerr << "quillon-sim study: " << path << " is not a study plan; make one with --plan " << planDir << '\n';
        return 0;
    }
    if (planText(study, shards) != text) {
        std::cerr << "quillon-sim study: " << study.file << " has changed since the plan in " << planDir
                  << " was made; make the plan again\n";
        return 0;
    }
    return shards;
}

std::string runnerPath(const std::string& fallback) {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::absolute(fallback, error).string() : self.string();
}

int writePlan(const Study& study, const StudyOptions& options, const std::string& workFolder,
              const std::string& argv0) {
    StudyConsole console(!options.quiet && onTerminal());
    const std::int32_t shards = options.shardsPerRun > 0 ? options.shardsPerRun : 1;
    ClusterPlan plan;
    plan.studyFile = study.file;
    plan.runnerPath = runnerPath(argv0);
    plan.planDir = fs::absolute(options.planDir).string();
    for (const StudyTask& task : studyTasks(study, shards))
        plan.taskDescriptions.push_back(taskDescription(study, task));
    plan.jobName = study.name;
    // A plan the scripts cannot hold is refused before any data or file is made for it.
    Status done = checkClusterPlan(plan);
    if (done) done = prepareStudyData(study, workFolder, &console);
    console.endLine();
    if (!done) {
        std::cerr << "quillon-sim study: " << done.failure().message << '\n';
        return exitCode(done);
    }
    const std::string path = (fs::path(options.planDir) / planFileName).string();
    if (!replaceFileContents(path, planText(study, shards))) {
        std::cerr << "quillon-sim study: cannot write " << path << '\n';
        return exitMessage;
    }
    if (const Status written = writeClusterPlan(plan); !written) {
        std::cerr << "quillon-sim study: " << written.failure().message << '\n';
        return exitCode(written);
    }
    if (!options.quiet)
        std::cout << "Wrote the plan of " << studyTasks(study, shards).size() << " tasks into " << options.planDir
                  << '\n';
    return exitDone;
}

int runOneTask(const Study& study, const StudyOptions& options, const std::string& workFolder) {
    const std::int32_t shards = planShards(study, options.planDir);
    if (shards == 0) return exitMessage;
    const std::vector<StudyTask> tasks = studyTasks(study, shards);
    if (options.task < 1 || static_cast<std::size_t>(options.task) > tasks.size()) {
        std::cerr << "quillon-sim study: --task must be from 1 to " << tasks.size() << '\n';
        return exitUsage;
    }
    const StudyTask& task = tasks[static_cast<std::size_t>(options.task - 1)];
    if (taskIsDone(study, workFolder, task)) {
        if (!options.quiet) std::cout << "Task " << options.task << " is done already\n";
        return exitDone;
    }
    StudyConsole host(false);
    const RunSummary summary = runStudyTask(study, workFolder, task, host, static_cast<int>(study.threads));
    return summary.completed ? exitDone : exitMessage;
}

int mergeStudy(const Study& study, const std::string& workFolder, std::int32_t shards, StudyConsole& host, bool quiet) {
    const Status written = writeStudyTables(study, workFolder, shards, host);
    host.endLine();  // the merges redraw the progress line
    if (!written) {
        host.showMessage("quillon-sim study: " + written.failure().message);
        return exitCode(written);
    }
    if (!quiet) std::cout << "Wrote the study's tables into " << study.outputFolder << '\n';
    return host.messages == 0 ? exitDone : exitMessage;
}

int runLocally(const Study& study, const StudyOptions& options, const std::string& workFolder) {
    StudyConsole host(!options.quiet && onTerminal());
    const Status ran =
        runStudyLocally(study, workFolder, options.shardsPerRun > 0 ? options.shardsPerRun : 1, host, host);
    host.endLine();
    if (!ran) {
        host.showMessage("quillon-sim study: " + ran.failure().message);
        return exitCode(ran);
    }
    if (!options.quiet) std::cout << "Wrote the study's tables into " << study.outputFolder << '\n';
    return host.messages == 0 ? exitDone : exitMessage;
}

}  // namespace

CLI::App* addStudyCommand(CLI::App& app, StudyOptions& options) {
    CLI::App* study = app.add_subcommand(
        "study",
        "Run a simulation study: every condition of a study file's factors in every replication, then its "
        "long and summary tables; a rerun keeps the runs already done. With --plan, write a cluster plan "
        "instead; --task and --merge then run one task of it and merge them all");
    study->add_option("file", options.studyFile, "Study file (TOML)")->required();
    study->add_option("--plan", options.planDir, "Folder of the cluster plan (task list, scripts, work files)");
    study->add_option("--task", options.task, "Run task I of the plan alone (1-based)")
        ->check(CLI::PositiveNumber)
        ->needs("--plan");
    study->add_flag("--merge", options.merge, "Merge the plan's parts and write the study's tables")->needs("--plan");
    study->add_option("--shards-per-run", options.shardsPerRun, "Split each run into N shards (default 1)")
        ->check(CLI::Range(1, 4096));
    study->add_flag("--quiet", options.quiet, "No progress line and no closing line");
    return study;
}

int runStudyCommand(const StudyOptions& options, const std::string& argv0) {
    if (options.task != 0 && options.merge) {
        std::cerr << "quillon-sim study: --task and --merge do not go together\n";
        return exitUsage;
    }
    if ((options.task != 0 || options.merge) && options.shardsPerRun != 0) {
        std::cerr
            << "quillon-sim study: --shards-per-run belongs to --plan; tasks and the merge take it from the plan\n";
        return exitUsage;
    }
    Outcome<Study> read = readStudy(options.studyFile);
    if (!read) {
        std::cerr << "quillon-sim study: " << read.failure().message << '\n';
        return exitCode(read.failure().kind);
    }
    const Study& study = *read;
    const std::string workFolder =
        options.planDir.empty() ? studyWorkFolder(study) : (fs::absolute(options.planDir) / "work").string();
    if (const Status refused = refuseStudyOverInputs(study, workFolder); !refused) {
        std::cerr << "quillon-sim study: " << refused.failure().message << '\n';
        return exitCode(refused);
    }
    if (options.task != 0) return runOneTask(study, options, workFolder);
    if (options.merge) {
        const std::int32_t shards = planShards(study, options.planDir);
        if (shards == 0) return exitMessage;
        // Held until the tables are written: no second study may write into the same folder meanwhile.
        const Outcome<StudyLock> lock = StudyLock::take(study);
        if (!lock) {
            std::cerr << "quillon-sim study: " << lock.failure().message << '\n';
            return exitCode(lock.failure().kind);
        }
        StudyConsole host(false);
        return mergeStudy(study, workFolder, shards, host, options.quiet);
    }
    if (!options.planDir.empty()) return writePlan(study, options, workFolder, argv0);
    return runLocally(study, options, workFolder);
}

}  // namespace quillon::cli
