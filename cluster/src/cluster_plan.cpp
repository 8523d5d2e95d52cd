#include "quillon/cluster/cluster_plan.h"

#include <filesystem>
#include <system_error>

#include "quillon/engine/output_tables.h"

namespace quillon {
namespace {

constexpr std::string_view defaultJobName = "quillon-study";

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

// The lines both batch scripts share: the job's name, its log (a Slurm file pattern) and the
// resources a user edits.
std::string scriptHeader(const std::string& jobName, const std::string& logPattern, std::string_view purpose) {
    std::string s = "#!/bin/bash\n";
    s += purpose;
    s += "#SBATCH --job-name=" + sbatchQuoted(jobName) + "\n";
    s += "#SBATCH --output=" + sbatchQuoted(logPattern) + "\n";
    s += "# Resources: remove one '#' to set a line for your cluster (see docs/cluster.md).\n";
    s += "##SBATCH --partition=PARTITION\n";
    s += "##SBATCH --time=01:00:00\n";
    s += "##SBATCH --mem=4G\n";
    s += "##SBATCH --cpus-per-task=1\n";
    return s;
}

std::string scriptPaths(const std::string& runner, const std::string& study, const std::string& dir) {
    std::string s = "set -euo pipefail\n";
    s += "QUILLON_SIM=" + shellQuoted(runner) + "\n";
    s += "STUDY=" + shellQuoted(study) + "\n";
    s += "PLAN=" + shellQuoted(dir) + "\n";
    return s;
}

std::string tasksText(const std::vector<std::string>& descriptions) {
    std::string text;
    for (std::size_t i = 0; i < descriptions.size(); ++i) {
        text += std::to_string(i + 1) + "\t" + descriptions[i] + "\n";
    }
    return text;
}

std::string arrayScript(const std::string& jobName, const std::string& runner, const std::string& study,
                        const std::string& dir, std::size_t tasks) {
    std::string s = scriptHeader(jobName, dir + "/logs/%A_%a.out",
                                 "# One task of the study per array index; tasks.tsv says what each one runs.\n"
                                 "# Resubmit one failed task I alone with: sbatch --array=I array.sbatch\n");
    s += "#SBATCH --array=1-" + std::to_string(tasks) + "\n";
    s += scriptPaths(runner, study, dir);
    s += "exec \"$QUILLON_SIM\" study \"$STUDY\" --task \"$SLURM_ARRAY_TASK_ID\" --plan \"$PLAN\"\n";
    return s;
}

std::string mergeScript(const std::string& jobName, const std::string& runner, const std::string& study,
                        const std::string& dir) {
    std::string s = scriptHeader(jobName + "-merge", dir + "/logs/merge_%j.out",
                                 "# Merges the finished tasks into the study's tables; `submit` makes it wait for\n"
                                 "# the whole array (--dependency=afterok).\n");
    s += scriptPaths(runner, study, dir);
    s += "exec \"$QUILLON_SIM\" study \"$STUDY\" --merge --plan \"$PLAN\"\n";
    return s;
}

std::string submitScript(std::size_t tasks) {
    std::string s =
        "#!/usr/bin/env bash\n"
        "# Submits the task array, then the merge job that starts once every task has succeeded.\n"
        "set -euo pipefail\n"
        "cd \"$(dirname \"${BASH_SOURCE[0]}\")\"\n"
        "mkdir -p logs\n"
        "jid=$(sbatch --parsable array.sbatch)\n"
        "jid=${jid%%;*}  # \"ID;CLUSTER\" on a federation\n"
        "mid=$(sbatch --parsable --dependency=afterok:\"$jid\" merge.sbatch)\n"
        "mid=${mid%%;*}\n";
    s += "echo \"array job: $jid (" + std::to_string(tasks) + " tasks, logs in $PWD/logs)\"\n";
    s += "echo \"merge job: $mid (starts when every task has succeeded)\"\n"
         "echo \"To rerun a failed task I alone, from $PWD:\"\n"
         "echo \"  sbatch --array=I array.sbatch\"\n"
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
    const std::pair<std::string, std::string> files[] = {
        {"tasks.tsv", tasksText(plan.taskDescriptions)},
        {"array.sbatch", arrayScript(jobName, runner, study, dir, tasks)},
        {"merge.sbatch", mergeScript(jobName, runner, study, dir)},
        {"submit", submitScript(tasks)},
    };
    for (const auto& [name, content] : files) {
        const std::string path = dir + "/" + name;
        if (!replaceFileContents(path, content)) return refused("Cannot write " + path + ".");
    }
    if (!makeExecutable(dir + "/submit")) return refused("Cannot make " + dir + "/submit executable.");
    return {};
}

}  // namespace quillon
