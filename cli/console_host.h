#pragma once

#include <chrono>
#include <string>

#include "quillon/engine/run_host.h"
#include "quillon/engine/simulation.h"

namespace quillon::cli {

/// Messages to standard error, the Done message to standard output, and on a terminal a live
/// progress line that is redrawn in place.
class ConsoleHost : public RunHost {
public:
    explicit ConsoleHost(bool showProgress) : showProgress_(showProgress) {}

    void showMessage(const std::string& text) override;
    void showInputMessage(const std::string& text) override;
    void showDone(const std::string& text) override;
    ProgressHandle progressInit(const std::string&) override;
    void progressSet(ProgressHandle handle, const ProgressReport& report) override;
    bool progressIsCancelled(ProgressHandle handle) override { return !open_ || handle != lastHandle_; }
    void progressShutdown(ProgressHandle) override;

    /// How many of the system's messages the run showed; any one means the run fell short.
    int messagesShown() const { return messagesShown_; }

    std::string inputHint;  // how to check the same inputs, said after a load message

private:
    void endProgressLine();

    bool showProgress_;
    bool open_ = false;
    bool lineShown_ = false;
    int messagesShown_ = 0;
    ProgressHandle lastHandle_ = 0;
    std::chrono::steady_clock::time_point started_;
};

/// Whether a run did what was asked: it completed, showed no message through `host`, had an
/// examinee and processed every expected test; the Done message alone does not say so.
inline bool wholeRun(const RunSummary& summary, const ConsoleHost& host) {
    return summary.completed && !summary.cancelled && host.messagesShown() == 0 && summary.examinees > 0 &&
           summary.testsStarted >= summary.expectedTests;
}

/// Whether standard error is a terminal, where a progress line can be redrawn.
bool stderrIsTerminal();

}  // namespace quillon::cli
