#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "quillon/engine/run_settings.h"

namespace quillon::cli {

/// `quillon-sim check`: checks what a run with these settings would read and prints the report
/// (as JSON with `json`); returns 0 without findings, 1 with errors, 3 with warnings only.
int runCheckCommand(const RunSettings& settings, bool json, std::ostream& out);

/// The line that follows a load message: the command that checks the same files and settings.
/// For a merge, its word and its part files (`mergeParts`, in order) are left out: they are no
/// options of check.
std::string checkHint(int argc, const char* const* argv, const std::vector<std::string>* mergeParts = nullptr);

}  // namespace quillon::cli
