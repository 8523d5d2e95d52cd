#pragma once

// quillon-sim run as a user runs it, for tests of its commands.

#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "recording_host.h"

namespace quillon::testing {

/// What one command printed and how it ended.
struct SimRun {
    int exitCode;
    std::string out;
    std::string err;
};

/// Runs quillon-sim with `arguments` (shell words), its output kept in `folder`.
inline SimRun runSimCommand(const TempFolder& folder, const std::string& arguments) {
    const std::string command = std::string("exec ") + QUILLON_SIM + " " + arguments + " >" + folder.file("out") +
                                " 2>" + folder.file("err") + " </dev/null";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, TempFolder::read(folder.file("out")),
            TempFolder::read(folder.file("err"))};
}

}  // namespace quillon::testing
