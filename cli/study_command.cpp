#include "study_command.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "exit_codes.h"
#include "quillon/cluster/cluster_plan.h"
#include "quillon/engine/fnv1a.h"
#include "quillon/engine/input_files.h"
#include "quillon/engine/output_tables.h"
#include "quillon/engine/program_version.h"
#include "quillon/engine/run_parts.h"
#include "quillon/study/study.h"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;

constexpr const char* planFileName = "study_plan.txt";
constexpr const char* planFormatLine = "quillon-study-plan 2";

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
    void calibrating(std::size_t pool, std::size_t pools, std::int64_t examinees) override {
        if (!showProgress_) return;
        std::fprintf(stderr, "\rStudy: calibrating pool %zu of %zu (%lld examinees)   ", pool, pools,
                     static_cast<long long>(examinees));
        std::fflush(stderr);
        lineShown_ = true;
    }
    void calibratingExposure(std::size_t pool, std::size_t pools, double maxExposure) override {
        if (!showProgress_) return;
        std::fprintf(stderr, "\rStudy: calibrating Sympson-Hetter parameters %zu of %zu (R = %s)   ", pool, pools,
                     formatRoundTrip(maxExposure).c_str());
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

// The 64-bit FNV-1a digest of a file's bytes, read in pieces: response files may be large.
std::optional<std::string> fileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Fnv1a hash;
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        hash.add(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
    if (in.bad()) return std::nullopt;
    return hash.hex();
}

// The input files the study names: pool, script and enemies files (fixed or varied) and the given
// response files, each once, in the order the study names them.
std::vector<std::string> studyInputFiles(const Study& study) {
    std::vector<std::string> files;
    const auto add = [&](const std::string& path) {
        if (std::find(files.begin(), files.end(), path) == files.end()) files.push_back(path);
    };
    const auto isFile = [](const std::string& name) { return name == "pool" || name == "script" || name == "enemies"; };
    for (const StudyValue& setting : study.settings)
        if (isFile(setting.name)) add(setting.value);
    for (const StudyFactor& factor : study.factors)
        if (!factor.generateOption && isFile(factor.name))
            for (const std::string& level : factor.values) add(level);
    for (const std::string& file : study.responseFiles) add(file);
    return files;
}

// What the plan's tasks depend on, one line each: the program's version, the study file's bytes,
// every input file's bytes, the generated data's options and the shards per run. A task or the
// merge makes it again and refuses a plan whose record differs.
Outcome<std::string> planIdentity(const Study& study, std::int32_t shardsPerRun) {
    std::string text = "program-version " + std::string(programVersion) + "\n";
    const std::optional<std::string> studyBytes = fileDigest(study.file);
    if (!studyBytes) return Failure{FailureKind::Input, study.file + ": the study file cannot be read"};
    text += "study-file " + *studyBytes + "\n";
    for (const std::string& file : studyInputFiles(study)) {
        const std::optional<std::string> bytes = fileDigest(file);
        if (!bytes) return Failure{FailureKind::Input, "The input file " + file + " cannot be read."};
        text += "input " + *bytes + " " + file + "\n";
    }
    if (study.generated) {
        Fnv1a options;
        for (std::size_t c = 0; c < conditionCount(study); ++c)
            for (std::int32_t r = 0; r < study.replications; ++r) {
                const SampleOptions o = studyData(study, "", c, r).options;
                std::string line = std::to_string(o.items) + " " + std::to_string(o.collections) + " " +
                                   std::to_string(o.groups) + " " + std::to_string(o.examinees) + " " +
                                   std::to_string(o.scriptLength) + " " + formatRoundTrip(o.blankShare) + " " +
                                   formatRoundTrip(o.itemQuality) + " " + std::to_string(o.seed);
                for (const double share : o.groupShares) line += " " + formatRoundTrip(share);
                options.add(line + "\n");
            }
        text += "generate " + options.hex() + "\n";
    }
    if (study.calibration) {
        // Each condition's calibration sample size and how its pool is estimated.
        const CalibrationOptions& o = study.calibration->options;
        Fnv1a calibration;
        calibration.add("prior " + formatRoundTrip(o.priorA) + " " + formatRoundTrip(o.priorB) + " min-answers " +
                        std::to_string(o.minAnswers) + " drop-thin " + (o.dropThin ? "1" : "0") + "\n");
        for (std::size_t c = 0; c < conditionCount(study); ++c) {
            const std::optional<std::int64_t> size = calibrationSize(study, c);
            calibration.add((size ? std::to_string(*size) : std::string(truePoolLevel)) + "\n");
        }
        text += "calibrate " + calibration.hex() + "\n";
    }
    text += "shards-per-run " + std::to_string(shardsPerRun) + "\n";
    return text;
}

// A plan as its record says: what it was made from, how its tasks are bundled and the --sbatch
// options it was made with.
struct PlanRecord {
    std::string identity;
    std::int32_t shards = 0;
    std::vector<std::string> sbatch;
    std::vector<std::size_t> bundleSizes;
    std::vector<std::string> descriptions;
};

// The plan's record, closed by the digest of all of it, so that an edited plan is refused too.
std::string planText(const PlanRecord& plan, std::int64_t taskSeconds, double estimate) {
    std::string text = std::string(planFormatLine) + "\n" + plan.identity;
    text += "task-seconds " + std::to_string(taskSeconds) + "\n";
    text += "estimated-task-seconds " + formatRoundTrip(estimate) + "\n";
    for (const std::string& option : plan.sbatch) text += "sbatch " + option + "\n";
    text += "bundles " + std::to_string(plan.bundleSizes.size()) + "\n";
    text += "tasks " + std::to_string(plan.descriptions.size()) + "\n";
    std::size_t task = 0;
    for (std::size_t b = 0; b < plan.bundleSizes.size(); ++b)
        for (std::size_t i = 0; i < plan.bundleSizes[b]; ++i, ++task)
            text += std::to_string(task + 1) + " " + std::to_string(b + 1) + " " + plan.descriptions[task] + "\n";
    Fnv1a digest;
    digest.add(text);
    return text + "digest " + digest.hex() + "\n";
}

// Reads the record written by planText; false when the text is not one (or has been edited).
bool parsePlan(const std::string& text, PlanRecord& plan) {
    const std::size_t digestAt = text.rfind("digest ");
    if (digestAt == std::string::npos || (digestAt > 0 && text[digestAt - 1] != '\n')) return false;
    Fnv1a digest;
    digest.add(std::string_view(text).substr(0, digestAt));
    if (text.substr(digestAt) != "digest " + digest.hex() + "\n") return false;
    std::istringstream lines(text.substr(0, digestAt));
    std::string line;
    if (!std::getline(lines, line) || line != planFormatLine) return false;
    std::size_t tasks = 0, bundles = 0;
    while (std::getline(lines, line)) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space), value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "program-version" || key == "study-file" || key == "input" || key == "generate" ||
            key == "calibrate") {
            plan.identity += line + "\n";
        } else if (key == "shards-per-run") {
            plan.identity += line + "\n";
            plan.shards = std::atoi(value.c_str());
        } else if (key == "sbatch") {
            plan.sbatch.push_back(value);
        } else if (key == "bundles") {
            bundles = std::strtoull(value.c_str(), nullptr, 10);
        } else if (key == "tasks") {
            tasks = std::strtoull(value.c_str(), nullptr, 10);
        } else if (!key.empty() && std::isdigit(static_cast<unsigned char>(key[0]))) {
            const std::size_t second = value.find(' ');
            const std::size_t bundle = std::strtoull(value.c_str(), nullptr, 10);
            if (second == std::string::npos || bundle < 1 || bundle > plan.bundleSizes.size() + 1) return false;
            if (bundle > plan.bundleSizes.size()) plan.bundleSizes.push_back(0);
            ++plan.bundleSizes.back();
            plan.descriptions.push_back(value.substr(second + 1));
        }
    }
    return plan.shards >= 1 && plan.descriptions.size() == tasks && plan.bundleSizes.size() == bundles;
}

std::vector<std::string> textLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Why the plan in `planDir` does not fit the study: the first of its identity's lines that differs.
std::string planChange(const Study& study, const std::string& planDir, const std::string& recorded,
                       const std::string& now) {
    const std::vector<std::string> was = textLines(recorded), is = textLines(now);
    const std::string made = " has changed since the plan in " + planDir + " was made";
    for (std::size_t i = 0; i < std::max(was.size(), is.size()); ++i) {
        const std::string a = i < was.size() ? was[i] : "", b = i < is.size() ? is[i] : "";
        if (a == b) continue;
        if (a.starts_with("program-version "))
            return "the plan in " + planDir + " was made by quillon-sim " + a.substr(16) + ", this is " +
                   std::string(programVersion);
        constexpr std::size_t pathAt = 23;  // "input " and 16 hex digits and a space
        if (a.starts_with("input ") && b.starts_with("input ") && a.size() > pathAt &&
            a.substr(pathAt) == b.substr(pathAt))
            return "the input file " + b.substr(pathAt) + made;
        return study.file + made;
    }
    return study.file + " no longer gives the tasks of the plan in " + planDir;
}

// The plan in `planDir` after checking that it was made from this very study, its inputs and
// this program; nullopt, with the reason said, otherwise.
std::optional<PlanRecord> readPlan(const Study& study, const std::string& planDir) {
    const std::string path = (fs::path(planDir) / planFileName).string();
    PlanRecord plan;
    if (!parsePlan(readWholeFile(path).value_or(std::string()), plan)) {
        std::cerr << "quillon-sim study: " << path << " is not a study plan; make one with --plan " << planDir << '\n';
        return std::nullopt;
    }
    const Outcome<std::string> identity = planIdentity(study, plan.shards);
    if (!identity) {
        std::cerr << "quillon-sim study: " << identity.failure().message << '\n';
        return std::nullopt;
    }
    std::vector<std::string> descriptions;
    for (const StudyTask& task : studyTasks(study, plan.shards)) descriptions.push_back(taskDescription(study, task));
    if (*identity != plan.identity || descriptions != plan.descriptions) {
        std::cerr << "quillon-sim study: " << planChange(study, planDir, plan.identity, *identity)
                  << "; make the plan again with --plan " << planDir << '\n';
        return std::nullopt;
    }
    return plan;
}

std::string runnerPath(const std::string& fallback) {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::absolute(fallback, error).string() : self.string();
}

// The pilot times this many examinees of each condition (fewer when a run has fewer) and stops
// timing further conditions after the budget; those take the mean of the conditions timed.
constexpr std::int64_t pilotExaminees = 100;
constexpr double pilotBudgetSeconds = 10.0;

std::int64_t countLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    std::int64_t lines = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        lines += std::count(buffer.data(), buffer.data() + in.gcount(), '\n');
    return lines;
}

// How long each task should last on this machine, from a pilot run of the first examinees of
// each condition in the first replication, scaled by the examinees a task replays; an empty list,
// with the reason in `problem`, when a pilot run did not finish.
std::vector<double> pilotTaskSeconds(const Study& study, const std::string& workFolder,
                                     const std::vector<StudyTask>& tasks, std::string& problem) {
    const std::string pilotFolder = (fs::path(workFolder) / "pilot").string();
    std::error_code error;
    fs::create_directories(pilotFolder, error);
    std::map<std::string, std::int64_t> lineCounts;  // by response file
    const auto examinees = [&](std::size_t condition, std::int32_t replication) {
        if (study.generated) return studyData(study, workFolder, condition, replication).options.examinees;
        const std::string file = studyRun(study, workFolder, condition, replication).settings.responseFile;
        const auto found = lineCounts.find(file);
        return found != lineCounts.end() ? found->second : (lineCounts[file] = countLines(file));
    };
    std::vector<double> perExaminee;  // seconds, of the conditions timed
    SilentHost host;
    const auto started = std::chrono::steady_clock::now();
    const auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    for (std::size_t c = 0; c < conditionCount(study) && elapsed() < pilotBudgetSeconds; ++c) {
        const StudyRun run = studyRun(study, workFolder, c, 0);
        const std::int64_t lines = std::max<std::int64_t>(examinees(c, 0), 1);
        const auto slices =
            static_cast<std::int32_t>(std::clamp<std::int64_t>(lines / pilotExaminees, 1, maxShardCount));
        const std::string part = (fs::path(pilotFolder) / ("c" + std::to_string(c + 1) + ".part")).string();
        RandomGenerator random(run.seed);
        const double before = elapsed();
        const RunSummary summary =
            runShard(run.settings, random, host, static_cast<int>(study.threads), 1, slices, part);
        const double seconds = elapsed() - before;
        const Outcome<RunPart> header = readRunPartHeader(readWholeFile(part).value_or(std::string()));
        if (!summary.completed || !header) {
            problem = "the pilot run of condition " + std::to_string(c + 1) + " did not finish";
            break;
        }
        perExaminee.push_back(seconds / static_cast<double>(std::max<std::int64_t>(header->rangeLines, 1)));
    }
    fs::remove_all(pilotFolder, error);
    if (!problem.empty()) return {};
    double mean = 0.0;
    for (const double seconds : perExaminee) mean += seconds / static_cast<double>(perExaminee.size());
    std::vector<double> taskSeconds;
    for (const StudyTask& task : tasks) {
        const double each = task.condition < perExaminee.size() ? perExaminee[task.condition] : mean;
        taskSeconds.push_back(each * static_cast<double>(examinees(task.condition, task.replication)) /
                              static_cast<double>(task.shardCount));
    }
    return taskSeconds;
}

// The #SBATCH options of the [cluster] table, as the batch scripts write them.
std::vector<std::string> sbatchOptions(const StudyCluster& cluster) {
    std::vector<std::string> options;
    const std::pair<const char*, const std::string*> named[] = {{"--partition=", &cluster.partition},
                                                                {"--account=", &cluster.account},
                                                                {"--time=", &cluster.time},
                                                                {"--mem=", &cluster.memory}};
    for (const auto& [option, value] : named)
        if (!value->empty()) options.push_back(option + *value);
    options.insert(options.end(), cluster.extra.begin(), cluster.extra.end());
    return options;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds < 10 ? "%.2g" : "%.0f", seconds);
    return text;
}

int writePlan(const Study& study, const StudyOptions& options, const std::string& workFolder,
              const std::string& argv0) {
    StudyConsole console(!options.quiet && onTerminal());
    const std::int32_t shards = options.shardsPerRun > 0 ? options.shardsPerRun : 1;
    const std::string path = (fs::path(options.planDir) / planFileName).string();
    PlanRecord record;
    record.shards = shards;
    // Made again without --sbatch, a plan keeps the --sbatch options it was made with.
    record.sbatch = options.sbatch;
    PlanRecord earlier;
    const bool kept = options.sbatch.empty() && parsePlan(readWholeFile(path).value_or(std::string()), earlier) &&
                      !earlier.sbatch.empty();
    if (kept) record.sbatch = earlier.sbatch;
    StudyCluster cluster = study.cluster;
    for (const std::string& option : record.sbatch) {
        const std::size_t equals = option.find('=');
        const Status set = equals == std::string::npos
                               ? Status(Failure{FailureKind::Usage, "expects KEY=VALUE"})
                               : setClusterOption(cluster, option.substr(0, equals), option.substr(equals + 1));
        if (!set) {
            std::cerr << "quillon-sim study: --sbatch " << option << ": " << set.failure().message << '\n';
            return exitUsage;
        }
    }
    const std::vector<StudyTask> tasks = studyTasks(study, shards);
    ClusterPlan plan;
    plan.studyFile = study.file;
    plan.runnerPath = runnerPath(argv0);
    plan.planDir = fs::absolute(options.planDir).string();
    for (const StudyTask& task : tasks) plan.taskDescriptions.push_back(taskDescription(study, task));
    plan.sbatchOptions = sbatchOptions(cluster);
    plan.jobName = study.name;
    // A plan the scripts cannot hold is refused before any data or file is made for it.
    Status done = checkClusterPlan(plan);
    Outcome<std::string> identity = planIdentity(study, shards);
    if (done && !identity) done = identity.failure();
    if (done) done = prepareStudyData(study, workFolder, &console);
    console.endLine();
    if (!done) {
        std::cerr << "quillon-sim study: " << done.failure().message << '\n';
        return exitCode(done);
    }
    std::string pilotProblem;
    const std::vector<double> taskSeconds =
        cluster.taskSeconds > 0 ? pilotTaskSeconds(study, workFolder, tasks, pilotProblem) : std::vector<double>();
    plan.bundleSizes = bundleTasks(taskSeconds.empty() ? std::vector<double>(tasks.size()) : taskSeconds,
                                   taskSeconds.empty() ? 0.0 : static_cast<double>(cluster.taskSeconds));
    double total = 0.0;
    for (const double seconds : taskSeconds) total += seconds;
    record.identity = std::move(*identity);
    record.bundleSizes = plan.bundleSizes;
    record.descriptions = plan.taskDescriptions;
    if (!replaceFileContents(path, planText(record, cluster.taskSeconds,
                                            tasks.empty() ? 0.0 : total / static_cast<double>(tasks.size())))) {
        std::cerr << "quillon-sim study: cannot write " << path << '\n';
        return exitMessage;
    }
    if (const Status written = writeClusterPlan(plan); !written) {
        std::cerr << "quillon-sim study: " << written.failure().message << '\n';
        return exitCode(written);
    }
    if (!pilotProblem.empty())
        std::cerr << "quillon-sim study: " << pilotProblem << "; every task is an array task of its own\n";
    if (const std::string reason = unsharedFolderReason(plan.planDir); !reason.empty())
        std::cerr << "quillon-sim study: warning: the plan folder " << options.planDir
                  << " is likely not shared with the compute nodes (" << reason
                  << "); make the plan on a shared file system (see docs/cluster.md)\n";
    if (!options.quiet) {
        const std::size_t bundles = plan.bundleSizes.size();
        std::cout << "Wrote the plan of " << tasks.size() << " tasks into " << options.planDir << ": " << bundles
                  << (bundles == 1 ? " array task" : " array tasks");
        if (!taskSeconds.empty())
            std::cout << " of about " << secondsText(total / static_cast<double>(bundles)) << " s each (task-seconds "
                      << cluster.taskSeconds << "), estimated from a pilot run of up to " << pilotExaminees
                      << " examinees per condition on this machine";
        std::cout << '\n';
        if (kept) {
            std::cout << "Kept the --sbatch options of the earlier plan:";
            for (const std::string& option : record.sbatch) std::cout << ' ' << option;
            std::cout << '\n';
        }
    }
    return exitDone;
}

// Runs one task unless its part is there already; false when it did not write its part.
bool runPlannedTask(const Study& study, const StudyOptions& options, const std::string& workFolder,
                    const std::vector<StudyTask>& tasks, std::size_t index) {
    const StudyTask& task = tasks[index];
    if (taskIsDone(study, workFolder, task)) {
        if (!options.quiet) std::cout << "Task " << index + 1 << " is done already\n";
        return true;
    }
    StudyConsole host(false);
    return runStudyTask(study, workFolder, task, host, static_cast<int>(study.threads)).completed;
}

int runOneTask(const Study& study, const StudyOptions& options, const std::string& workFolder) {
    const std::optional<PlanRecord> plan = readPlan(study, options.planDir);
    if (!plan) return exitMessage;
    const std::vector<StudyTask> tasks = studyTasks(study, plan->shards);
    if (options.task < 1 || static_cast<std::size_t>(options.task) > tasks.size()) {
        std::cerr << "quillon-sim study: --task must be from 1 to " << tasks.size() << '\n';
        return exitUsage;
    }
    return runPlannedTask(study, options, workFolder, tasks, static_cast<std::size_t>(options.task - 1)) ? exitDone
                                                                                                         : exitMessage;
}

// Runs every task of one bundle, going on after a failed one so that the rest have their parts.
int runBundle(const Study& study, const StudyOptions& options, const std::string& workFolder) {
    const std::optional<PlanRecord> plan = readPlan(study, options.planDir);
    if (!plan) return exitMessage;
    const std::vector<std::size_t>& sizes = plan->bundleSizes;
    if (options.bundle < 1 || static_cast<std::size_t>(options.bundle) > sizes.size()) {
        std::cerr << "quillon-sim study: --bundle must be from 1 to " << sizes.size() << '\n';
        return exitUsage;
    }
    const std::vector<StudyTask> tasks = studyTasks(study, plan->shards);
    const auto bundle = static_cast<std::size_t>(options.bundle - 1);
    std::size_t first = 0;
    for (std::size_t b = 0; b < bundle; ++b) first += sizes[b];
    bool allDone = true;
    for (std::size_t i = first; i < first + sizes[bundle]; ++i)
        allDone = runPlannedTask(study, options, workFolder, tasks, i) && allDone;
    return allDone ? exitDone : exitMessage;
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
    study->add_option("--task", options.task, "Run task I of the plan alone (1-based; tasks.tsv lists them)")
        ->check(CLI::PositiveNumber)
        ->needs("--plan");
    study
        ->add_option("--bundle", options.bundle,
                     "Run array task B of the plan: its bundle of tasks, each not done yet (1-based)")
        ->check(CLI::PositiveNumber)
        ->needs("--plan");
    study
        ->add_option("--sbatch", options.sbatch,
                     "With --plan: set a [cluster] key for the batch scripts (partition, account, time, memory, "
                     "extra, task-seconds), as KEY=VALUE; repeatable, kept when the plan is made again without it")
        ->needs("--plan")
        ->allow_extra_args(false);
    study->add_flag("--merge", options.merge, "Merge the plan's parts and write the study's tables")->needs("--plan");
    study->add_option("--shards-per-run", options.shardsPerRun, "Split each run into N shards (default 1)")
        ->check(CLI::Range(1, 4096));
    study->add_flag("--quiet", options.quiet, "No progress line and no closing line");
    return study;
}

int runStudyCommand(const StudyOptions& options, const std::string& argv0) {
    if ((options.task != 0) + (options.bundle != 0) + options.merge > 1) {
        std::cerr << "quillon-sim study: --task, --bundle and --merge do not go together\n";
        return exitUsage;
    }
    const bool fromPlan = options.task != 0 || options.bundle != 0 || options.merge;
    if (fromPlan && (options.shardsPerRun != 0 || !options.sbatch.empty())) {
        std::cerr << "quillon-sim study: --shards-per-run and --sbatch belong to --plan; tasks and the merge take "
                     "them from the plan\n";
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
    if (options.planDir.empty()) return runLocally(study, options, workFolder);  // which refuses it itself
    if (const Status refused = refuseStudyOverInputs(study, workFolder); !refused) {
        std::cerr << "quillon-sim study: " << refused.failure().message << '\n';
        return exitCode(refused);
    }
    if (options.task != 0) return runOneTask(study, options, workFolder);
    if (options.bundle != 0) return runBundle(study, options, workFolder);
    if (options.merge) {
        const std::optional<PlanRecord> plan = readPlan(study, options.planDir);
        if (!plan) return exitMessage;
        // Held until the tables are written: no second study may write into the same folder meanwhile.
        const Outcome<StudyLock> lock = StudyLock::take(study);
        if (!lock) {
            std::cerr << "quillon-sim study: " << lock.failure().message << '\n';
            return exitCode(lock.failure().kind);
        }
        StudyConsole host(false);
        return mergeStudy(study, workFolder, plan->shards, host, options.quiet);
    }
    return writePlan(study, options, workFolder, argv0);
}

}  // namespace quillon::cli
