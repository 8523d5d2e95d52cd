#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillon {

/// What a Slurm plan of a study needs: the study file and the runner that the tasks call, the
/// folder the plan goes to (it must be on a file system the compute nodes share), and one free
/// description per task (its condition, replication, shard), task I being the I-th.
struct ClusterPlan {
    std::string studyFile;
    std::string runnerPath;
    std::string planDir;
    std::vector<std::string> taskDescriptions;
    std::string jobName;  // empty: "quillon-study"
};

/// Why `plan` cannot be written (its folder, paths or task descriptions cannot go into the
/// scripts), or empty; checked before anything else is written for the plan.
std::string clusterPlanProblem(const ClusterPlan& plan);

/// Writes the plan folder: tasks.tsv, array.sbatch (one array task per study task), merge.sbatch
/// and submit, with the runner, study and folder as absolute paths; the error message, or empty
/// when every file was written. Each file is replaced whole, so a failed write leaves no half file.
std::string writeClusterPlan(const ClusterPlan& plan);

/// `text` as one bash word that stands for exactly those bytes.
std::string shellQuoted(std::string_view text);

}  // namespace quillon
