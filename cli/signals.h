#pragma once

namespace quillon::cli {

/// Makes Ctrl-C, SIGTERM and SIGHUP end the process with their own status, but never while a
/// table is being replaced; call before any thread starts. Does nothing on Windows.
void watchTerminatingSignals();

}  // namespace quillon::cli
