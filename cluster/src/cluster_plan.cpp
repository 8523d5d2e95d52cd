#include "quillon/cluster/cluster_plan.h"

#include <sys/vfs.h>

#include <filesystem>
#include <system_error>

#include "quillon/engine/output_tables.h"

namespace quillon {
namespace {

constexpr std::string_view defaultJobName = "quillon-study";
constexpr unsigned long tmpfsMagic = 0x01021994;  // statfs's f_type for a tmpfs (linux/magic.h)

// An #SBATCH line is read by sbatch, not by bash: it takes double quotes and backslash escapes.
std::string sbatchQuoted(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool hasLineBreak(std::string_view text) { return text.find_first_of("\n\r") != std::string_view::npos; }

bool hasOption(const std::vector<std::string>& options, std::string_view name) {
    for (const std::string& option : options)
        if (option.substr(0, option.find('=')) == name) return true;
    return false;
}

// The lines both batch scripts share: the job's name, its log (a Slurm file pattern), the options
// the study asks for and, commented out, the usual ones it does not set.
std::string scriptHeader(const std::string& jobName, const std::string& logPattern, std::string_view purpose,
                         const std::vector<std::string>& options) {
    std::string s = "#!/bin/bash\n";
    s += purpose;
    s += "#SBATCH --job-name=" + sbatchQuoted(jobName) + "\n";
    s += "#SBATCH --output=" + sbatchQuoted(logPattern) + "\n";
    if (!options.empty()) s += "# From the study's [cluster] table and --sbatch:\n";
    for (const std::string& option : options) {
        const std::size_t equals = option.find('=');
        s += "#SBATCH " + option.substr(0, equals);
        if (equals != std::string::npos) s += "=" + sbatchQuoted(std::string_view(option).substr(equals + 1));
        s += "\n";
    }
    std::string hints;
    const std::pair<const char*, const char*> usual[] = {
        {"--partition", "PARTITION"}, {"--time", "01:00:00"}, {"--mem", "4G"}, {"--cpus-per-task", "1"}};
    for (const auto& [name, example] : usual)
        if (!hasOption(options, name)) hints += "##SBATCH " + std::string(name) + "=" + example + "\n";
    if (!hints.empty())
        s += "# Resources: set them in the study file's [cluster] table, or remove one '#' here\n"
             "# (see docs/cluster.md).\n" +
             hints;
    return s;
}

std::string scriptPaths(const std::string& runner, const std::string& study, const std::string& dir) {
    std::string s = "set -euo pipefail\n";
    s += "QUILLON_SIM=" + shellQuoted(runner) + "\n";
    s += "STUDY=" + shellQuoted(study) + "\n";
    s += "PLAN=" + shellQuoted(dir) + "\n";
    return s;
}

// The bundle of each task, 1-based.
std::vector<std::size_t> taskBundles(const ClusterPlan& plan) {
    std::vector<std::size_t> bundles;
    if (plan.bundleSizes.empty())
        for (std::size_t i = 0; i < plan.taskDescriptions.size(); ++i) bundles.push_back(i + 1);
    for (std::size_t b = 0; b < plan.bundleSizes.size(); ++b) bundles.insert(bundles.end(), plan.bundleSizes[b], b + 1);
    return bundles;
}

std::string tasksText(const ClusterPlan& plan) {
    const std::vector<std::size_t> bundles = taskBundles(plan);
    std::string text;
    for (std::size_t i = 0; i < plan.taskDescriptions.size(); ++i)
        text += std::to_string(i + 1) + "\t" + std::to_string(bundles[i]) + "\t" + plan.taskDescriptions[i] + "\n";
    return text;
}

std::string arrayScript(const std::string& jobName, const std::string& runner, const std::string& study,
                        const std::string& dir, std::size_t bundles, const std::vector<std::string>& options) {
    std::string s = scriptHeader(jobName, dir + "/logs/%A_%a.out",
                                 "# One bundle of the study's tasks per array index; tasks.tsv says which tasks\n"
                                 "# each bundle runs. Resubmit one failed bundle B alone with:\n"
                                 "#   sbatch --array=B array.sbatch\n",
                                 options);
    s += "#SBATCH --array=1-" + std::to_string(bundles) + "\n";
    s += scriptPaths(runner, study, dir);
    s += "exec \"$QUILLON_SIM\" study \"$STUDY\" --bundle \"$SLURM_ARRAY_TASK_ID\" --plan \"$PLAN\"\n";
    return s;
}

std::string mergeScript(const std::string& jobName, const std::string& runner, const std::string& study,
                        const std::string& dir, const std::vector<std::string>& options) {
    std::string s = scriptHeader(jobName + "-merge", dir + "/logs/merge_%j.out",
                                 "# Merges the finished tasks into the study's tables; `submit` makes it wait for\n"
                                 "# the whole array (--dependency=afterok).\n",
                                 options);
    s += scriptPaths(runner, study, dir);
    s += "exec \"$QUILLON_SIM\" study \"$STUDY\" --merge --plan \"$PLAN\"\n";
    return s;
}

std::string submitScript(std::size_t bundles, std::size_t tasks) {
    std::string s =
        "#!/usr/bin/env bash\n"
        "# Submits the task array, then the merge job that starts once every array task has succeeded.\n"
        "set -euo pipefail\n"
        "cd \"$(dirname \"${BASH_SOURCE[0]}\")\"\n"
        "mkdir -p logs\n"
        "jid=$(sbatch --parsable array.sbatch)\n"
        "jid=${jid%%;*}  # \"ID;CLUSTER\" on a federation\n"
        "mid=$(sbatch --parsable --dependency=afterok:\"$jid\" merge.sbatch)\n"
        "mid=${mid%%;*}\n";
    s += "echo \"array job: $jid (" + std::to_string(bundles) + (bundles == 1 ? " array task" : " array tasks") +
         " running " + std::to_string(tasks) + " study tasks, logs in $PWD/logs)\"\n";
    s += "echo \"merge job: $mid (starts when every array task has succeeded)\"\n"
         "echo \"To rerun a failed array task B alone, from $PWD:\"\n"
         "echo \"  sbatch --array=B array.sbatch\"\n"
         "echo \"then cancel the waiting merge job and submit it again after the new one:\"\n"
         "echo \"  scancel $mid; sbatch --dependency=afterok:NEWID merge.sbatch\"\n";
    return s;
}

// Adds an execute bit wherever a read bit is set, as chmod +x does under the umask.
bool makeExecutable(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::perms now = fs::status(path, error).permissions();
    if (error) return false;
    fs::perms add = fs::perms::none;
    if ((now & fs::perms::owner_read) != fs::perms::none) add |= fs::perms::owner_exec;
    if ((now & fs::perms::group_read) != fs::perms::none) add |= fs::perms::group_exec;
    if ((now & fs::perms::others_read) != fs::perms::none) add |= fs::perms::others_exec;
    fs::permissions(path, add, fs::perm_options::add, error);
    return !error;
}

}  // namespace

std::string shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

namespace {

// The plan's paths as the scripts name them: absolute, normalised, the folder without a trailing
// slash.
struct PlanPaths {
    std::string study, runner, dir, jobName;
};

// Everything that can refuse a plan before any file is written, so that a refused plan leaves
// nothing behind.
std::string checkPlan(const ClusterPlan& plan, PlanPaths& paths) {
    namespace fs = std::filesystem;
    if (plan.taskDescriptions.empty()) return "The plan has no task.";
    if (plan.studyFile.empty() || plan.runnerPath.empty() || plan.planDir.empty())
        return "The plan needs a study file, a runner and a folder.";
    paths.jobName = plan.jobName.empty() ? std::string(defaultJobName) : plan.jobName;
    std::error_code error;
    std::string* absolute[3] = {&paths.study, &paths.runner, &paths.dir};
    const std::string* given[3] = {&plan.studyFile, &plan.runnerPath, &plan.planDir};
    for (int i = 0; i < 3; ++i) {
        *absolute[i] = fs::absolute(*given[i], error).lexically_normal().string();
        if (error) return "Cannot find the absolute path of " + *given[i] + ".";
    }
    std::string& dir = paths.dir;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // A line break would end an #SBATCH line or a task line early.
    for (const std::string* text : {&paths.study, &paths.runner, &paths.dir, &paths.jobName}) {
        if (hasLineBreak(*text)) return "A line break in \"" + *text + "\" cannot go into a batch script.";
    }
    // Slurm reads the log paths as file patterns: '%' starts a field and a backslash turns every
    // field off, so no quoting can bring either into the folder of the logs.
    if (dir.find_first_of("%\\") != std::string::npos)
        return "Slurm cannot write logs under \"" + dir + "\": choose a plan folder without '%' or '\\'.";
    for (std::size_t i = 0; i < plan.taskDescriptions.size(); ++i) {
        const std::string& description = plan.taskDescriptions[i];
        if (hasLineBreak(description) || description.find('\t') != std::string::npos)
            return "The description of task " + std::to_string(i + 1) + " holds a tab or a line break.";
    }
    std::size_t bundled = 0;
    for (const std::size_t size : plan.bundleSizes) {
        if (size == 0) return "The plan has an empty bundle.";
        bundled += size;
    }
    if (!plan.bundleSizes.empty() && bundled != plan.taskDescriptions.size())
        return "The plan's bundles hold " + std::to_string(bundled) + " tasks, not its " +
               std::to_string(plan.taskDescriptions.size()) + ".";
    // The name goes into the line as it is, the value quoted: only a line break could break it.
    for (const std::string& option : plan.sbatchOptions) {
        const std::string name = option.substr(0, option.find('='));
        const bool named = name.size() > 2 && name.starts_with("--") &&
                           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_",
                                                  2) == std::string::npos;
        if (!named || hasLineBreak(option))
            return "The #SBATCH option \"" + option + "\" cannot go into a batch script.";
    }
    return {};
}

}  // namespace

Status checkClusterPlan(const ClusterPlan& plan) {
    PlanPaths paths;
    if (std::string problem = checkPlan(plan, paths); !problem.empty())
        return Failure{FailureKind::Output, std::move(problem)};
    return {};
}

Status writeClusterPlan(const ClusterPlan& plan) {
    const auto refused = [](std::string message) { return Failure{FailureKind::Output, std::move(message)}; };
    namespace fs = std::filesystem;
    PlanPaths paths;
    if (std::string problem = checkPlan(plan, paths); !problem.empty()) return refused(std::move(problem));
    const std::string& study = paths.study;
    const std::string& runner = paths.runner;
    const std::string& dir = paths.dir;
    const std::string& jobName = paths.jobName;
    std::error_code error;

    fs::create_directories(fs::path(dir) / "logs", error);
    if (error) return refused("Cannot create " + dir + "/logs: " + error.message() + ".");
    const std::size_t tasks = plan.taskDescriptions.size();
    const std::size_t bundles = plan.bundleSizes.empty() ? tasks : plan.bundleSizes.size();
    const std::pair<std::string, std::string> files[] = {
        {"tasks.tsv", tasksText(plan)},
        {"array.sbatch", arrayScript(jobName, runner, study, dir, bundles, plan.sbatchOptions)},
        {"merge.sbatch", mergeScript(jobName, runner, study, dir, plan.sbatchOptions)},
        {"submit", submitScript(bundles, tasks)},
    };
    for (const auto& [name, content] : files) {
        const std::string path = dir + "/" + name;
        if (!replaceFileContents(path, content)) return refused("Cannot write " + path + ".");
    }
    if (!makeExecutable(dir + "/submit")) return refused("Cannot make " + dir + "/submit executable.");
    return {};
}

std::vector<std::size_t> bundleTasks(const std::vector<double>& taskSeconds, double targetSeconds) {
    std::vector<std::size_t> sizes;
    double bundleSeconds = 0.0;
    for (const double seconds : taskSeconds) {
        const bool fits = targetSeconds > 0 && bundleSeconds + seconds <= targetSeconds;
        if (sizes.empty() || !fits) {
            sizes.push_back(1);
            bundleSeconds = seconds;
        } else {
            ++sizes.back();
            bundleSeconds += seconds;
        }
    }
    return sizes;
}

std::string unsharedFolderReason(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    // The folder may not be made yet: its nearest existing parent tells where it will be.
    fs::path existing = fs::absolute(folder, error).lexically_normal();
    while (!fs::exists(existing, error) && existing.has_relative_path()) existing = existing.parent_path();
    const fs::path real = fs::weakly_canonical(existing, error);
    const std::string path = (error ? existing : real).string();
    for (const std::string local : {"/tmp", "/var/tmp", "/dev/shm"})
        if (path == local || path.starts_with(local + "/")) return "it is under " + local;
    struct statfs info {};
    if (::statfs(path.c_str(), &info) == 0 && static_cast<unsigned long>(info.f_type) == tmpfsMagic)
        return "it is on a tmpfs, in this machine's memory";
    return {};
}

}  // namespace quillon
