#include "exit_codes.h"

namespace quillon::cli {

int exitCode(FailureKind kind) {
    switch (kind) {
        case FailureKind::Usage:
            return exitUsage;
        case FailureKind::Input:
        case FailureKind::Output:
        // A run stopped from within ends as a run that fell short; Ctrl-C and SIGTERM end the
        // process with their own status before any failure reaches here.
        case FailureKind::Cancelled:
            return exitMessage;
    }
    return exitMessage;
}

int exitCode(const Status& status) { return status ? exitDone : exitCode(status.failure().kind); }

}  // namespace quillon::cli
