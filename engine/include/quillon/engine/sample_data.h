#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "quillon/outcome/outcome.h"

namespace quillon {

/// The shape of a generated set of input files.
struct SampleOptions {
    std::int32_t items = 300;
    std::int32_t collections = 4;  // 1 to 8; collection c holds a share of the items proportional to c
    std::int32_t groups = 2;       // 2 to 10 (the response file has one digit for the group)
    std::int64_t examinees = 2000;
    std::int32_t scriptLength = 80;
    double blankShare = 0.02;
    std::uint64_t seed = 20261206;
    // The share of examinees in each group (one per group, each in (0, 1), adding up to 1); the
    // pool's priors are these shares in thousandths. Empty: priors drawn near 1 / groups.
    std::vector<double> groupShares;
    // How far apart the groups' probabilities of an item lie, against the item's mean over the
    // groups: 1 the drawn spread, 0 the same probability for every group (a useless pool), above
    // 1 further apart, kept within .01 to .99.
    double itemQuality = 1.0;
};

/// The pool, script and enemies files as text, and the seed of the response stream, under the MDT model: each
/// examinee's group is drawn from the priors and each answer is right with the item's probability for that group.
struct SampleFiles {
    std::string pool;
    std::string script;
    std::string enemies;
    std::uint64_t responseSeed = 0;                 // where the response stream starts
    std::vector<std::int64_t> priorThousandths;     // [group - 1], as written in the pool
    std::vector<std::int64_t> pCorrectThousandths;  // [(item - 1) * groups + group - 1], as written
};

/// A Usage failure saying what is wrong with the options when they cannot be generated.
Status checkSampleOptions(const SampleOptions& options);

/// Generates the pool, script and enemies; the same options give the same bytes on every platform.
SampleFiles generateSampleFiles(const SampleOptions& options);

/// Produces the response file one line (with its CR LF) at a time, so it never sits in memory.
void forEachResponseLine(const SampleOptions& options, const SampleFiles& files,
                         const std::function<void(const std::string&)>& emit);

/// Writes the four files under the sample names into `folder`; an Output failure when it cannot.
/// Unless `overwrite`, it writes nothing when any of the four files already exists.
Status writeSampleFiles(const SampleOptions& options, const SampleFiles& files, const std::string& folder,
                        bool overwrite = false);

/// Produces response lines, each with its CR LF, through the function it is given.
using ResponseLines = std::function<void(const std::function<void(const std::string&)>&)>;

/// `writeSampleFiles` with the response lines made elsewhere (data of another model): the same
/// names, refusals and failures.
Status writeSampleFiles(const SampleFiles& files, const ResponseLines& responses, const std::string& folder,
                        bool overwrite = false);

}  // namespace quillon
