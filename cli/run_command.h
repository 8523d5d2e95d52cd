#pragma once

#include <string>

#include "run_options.h"

namespace quillon::cli {

/// The run the command line asks for: one whole run, a shard, or (`merge`) the merge of parts,
/// with the reports asked for; `checkHint` is said after a message about the inputs. Returns the
/// exit code.
int runCommand(CommandLine& line, bool merge, const std::string& checkHint);

}  // namespace quillon::cli
