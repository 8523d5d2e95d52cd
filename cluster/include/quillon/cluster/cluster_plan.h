#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/outcome/outcome.h"

namespace quillon {

/// What a Slurm plan of a study needs: the study file and the runner that the tasks call, the
/// folder the plan goes to (it must be on a file system the compute nodes share), and one free
/// description per task (its condition, replication, shard), task I being the I-th. Array task B
/// runs bundle B: the next `bundleSizes[B-1]` tasks in order.
struct ClusterPlan {
    std::string studyFile;
    std::string runnerPath;
    std::string planDir;
    std::vector<std::string> taskDescriptions;
    std::vector<std::size_t> bundleSizes;    // empty: one task per bundle
    std::vector<std::string> sbatchOptions;  // "--name" or "--name=value", an #SBATCH line each in both scripts
    std::string jobName;                     // empty: "quillon-study"
};

/// Bundles of consecutive tasks, each lasting about `targetSeconds` by the tasks' estimated
/// seconds: a bundle takes the next task while it stays within the target, and at least one.
/// `targetSeconds` 0 gives one task per bundle.
std::vector<std::size_t> bundleTasks(const std::vector<double>& taskSeconds, double targetSeconds);

/// Why `folder` (or the folder it would be made in) is likely not shared with the compute nodes:
/// under /tmp, /var/tmp or /dev/shm, or on a tmpfs; empty when nothing says so.
std::string unsharedFolderReason(const std::string& folder);

/// An Output failure saying why `plan` cannot be written (its folder, paths or task descriptions
/// cannot go into the scripts); checked before anything else is written for the plan.
Status checkClusterPlan(const ClusterPlan& plan);

/// Writes the plan folder: tasks.tsv, array.sbatch (one array task per bundle), merge.sbatch
/// and submit, with the runner, study and folder as absolute paths; an Output failure when a file
/// could not be written. Each file is replaced whole, so a failed write leaves no half file.
Status writeClusterPlan(const ClusterPlan& plan);

/// `text` as one bash word that stands for exactly those bytes.
std::string shellQuoted(std::string_view text);

}  // namespace quillon
