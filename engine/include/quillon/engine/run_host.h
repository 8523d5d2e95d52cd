#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

/// A token naming one progress display; the host hands it out and the engine passes it back.
using ProgressHandle = std::int64_t;

/// What the engine says at a progress point: the bar's percentage, the two-line text
/// (its lines joined by a carriage return) and the counts it was made from.
struct ProgressReport {
    std::int32_t percent = 0;
    std::string text;
    std::int64_t testsStarted = 0;
    std::int64_t expectedTests = 0;
};

/// The engine's only way out to whoever runs it (the window, the runner, a test): messages,
/// the progress display and the user's cancel. Calls never overlap, but during a parallel replay
/// they may come from any of the run's threads.
class RunHost {
public:
    virtual ~RunHost() = default;

    /// Shows one of the system's messages (CR LF separates its lines) and returns when it is read.
    virtual void showMessage(const std::string& text) = 0;

    /// Shows a message about the settings or the input files, which a host may offer to explain;
    /// a plain message unless the host sets it apart.
    virtual void showInputMessage(const std::string& text) { showMessage(text); }

    /// Shows the message that ends a completed run; a plain message unless the host sets it apart.
    virtual void showDone(const std::string& text) { showMessage(text); }

    /// Opens a progress display with the given caption and returns its handle.
    virtual ProgressHandle progressInit(const std::string& caption) = 0;

    /// Updates the display; the percentage may lie outside 0 to 100 and is clamped by the host.
    /// After shutdown it changes nothing visible.
    virtual void progressSet(ProgressHandle handle, const ProgressReport& report) = 0;

    /// Lets the user act between progress points (a window system delivers a pending event).
    virtual void letMessagesRun() {}

    /// True once the user has cancelled, and also once the display is gone or hidden.
    virtual bool progressIsCancelled(ProgressHandle handle) = 0;

    /// Closes the display; closing it twice is harmless.
    virtual void progressShutdown(ProgressHandle handle) = 0;
};

/// A host that shows nothing and never cancels: for runs whose messages come back another way
/// (in their outcome, or not at all, as a timed pilot's).
class SilentHost : public RunHost {
public:
    void showMessage(const std::string&) override {}
    ProgressHandle progressInit(const std::string&) override { return 1; }
    void progressSet(ProgressHandle, const ProgressReport&) override {}
    bool progressIsCancelled(ProgressHandle) override { return false; }
    void progressShutdown(ProgressHandle) override {}
};

/// The system's texts break lines with CR LF or a lone CR; a terminal or a toolkit that draws a CR
/// as a glyph wants a line feed at each break instead.
inline std::string withLineFeeds(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            shown += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

}  // namespace quillon
