#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quillon/outcome/outcome.h"

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

/// An Output failure saying why `plan` cannot be written (its folder, paths or task descriptions
/// cannot go into the scripts); checked before anything else is written for the plan.
Status checkClusterPlan(const ClusterPlan& plan);

/// Writes the plan folder: tasks.tsv, array.sbatch (one array task per study task), merge.sbatch
/// and submit, with the runner, study and folder as absolute paths; an Output failure when a file
/// could not be written. Each file is replaced whole, so a failed write leaves no half file.
Status writeClusterPlan(const ClusterPlan& plan);

/// `text` as one bash word that stands for exactly those bytes.
std::string shellQuoted(std::string_view text);

}  // namespace quillon
