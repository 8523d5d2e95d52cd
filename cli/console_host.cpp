#include "console_host.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>

namespace quillon::cli {

void ConsoleHost::showMessage(const std::string& text) {
    endProgressLine();
    std::cerr << withLineFeeds(text) << '\n';
    ++messagesShown_;
}

void ConsoleHost::showInputMessage(const std::string& text) {
    showMessage(text);
    if (!inputHint.empty()) std::cerr << inputHint << '\n';
}

void ConsoleHost::showDone(const std::string& text) {
    endProgressLine();
    std::cout << withLineFeeds(text) << '\n';
}

ProgressHandle ConsoleHost::progressInit(const std::string&) {
    open_ = true;
    started_ = std::chrono::steady_clock::now();
    return ++lastHandle_;
}

void ConsoleHost::progressSet(ProgressHandle handle, const ProgressReport& report) {
    if (!showProgress_ || !open_ || handle != lastHandle_) return;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(report.testsStarted) / seconds : 0.0;
    const double left = rate > 0 ? static_cast<double>(report.expectedTests - report.testsStarted) / rate : 0.0;
    const int percent = report.percent < 0 ? 0 : (report.percent > 100 ? 100 : report.percent);
    std::fprintf(stderr, "\r%3d%%  %lld of %lld tests  %.0f tests/s  %d:%02d left   ", percent,
                 static_cast<long long>(report.testsStarted), static_cast<long long>(report.expectedTests), rate,
                 static_cast<int>(left) / 60, static_cast<int>(left) % 60);
    std::fflush(stderr);
    lineShown_ = true;
}

void ConsoleHost::progressShutdown(ProgressHandle) {
    open_ = false;
    endProgressLine();
}

void ConsoleHost::endProgressLine() {
    if (lineShown_) std::fputc('\n', stderr);
    lineShown_ = false;
}

bool stderrIsTerminal() { return isatty(fileno(stderr)) != 0; }

}  // namespace quillon::cli
