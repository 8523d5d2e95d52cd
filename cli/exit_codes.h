#pragma once

#include "quillon/outcome/outcome.h"

namespace quillon::cli {

/// The runner's exit codes (the help's footer lists them); 130 and 143 come from the signals themselves.
inline constexpr int exitDone = 0;
inline constexpr int exitMessage = 1;
inline constexpr int exitUsage = 2;
// calibrate-exposure ran out of iterations with an exposure rate still above the bound.
inline constexpr int exitNotConverged = 3;

/// The exit code of a failure of `kind`: the one place where the kinds meet the exit codes.
int exitCode(FailureKind kind);

/// 0 for success, otherwise the exit code of its failure's kind.
int exitCode(const Status& status);

}  // namespace quillon::cli
