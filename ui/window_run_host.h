#pragma once

#include <wx/thread.h>
#include <wx/window.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include "quillon/engine/run_host.h"

namespace quillon::ui {

/// Shows one of the system's messages and returns when it has been read; tests record instead.
using MessageSink = std::function<void(const std::string& text)>;

/// The plain message box of the whole program: the text, an OK button, no icon, caption "Quillon".
void showPlainMessage(const std::string& text);

/// The caption of every message box.
inline constexpr const char* messageCaption = "Quillon";

/// The engine's view of the window while a run works on another thread: every call is carried
/// out on the user-interface thread and the worker waits for it, so a message box holds the run
/// until it is dismissed.
class WindowRunHost : public RunHost {
public:
    /// `inputSink` shows the messages that refuse the settings or an input file (`sink` when empty).
    WindowRunHost(wxWindow& owner, MessageSink sink, MessageSink inputSink = {});

    void showMessage(const std::string& text) override;
    void showInputMessage(const std::string& text) override;
    ProgressHandle progressInit(const std::string& caption) override;
    void progressSet(ProgressHandle handle, const ProgressReport& report) override;
    bool progressIsCancelled(ProgressHandle handle) override;
    void progressShutdown(ProgressHandle handle) override;

    /// Makes every later cancel query true, as a click on "&Cancel" would (used when closing).
    void requestCancel() { cancelRequested_ = true; }

    /// For a window that must end without serving the worker again: pending and later calls
    /// return at once (messages unseen, the run cancelled), so the worker can be joined.
    void abandonUi() { *abandoned_ = true; }

private:
    // Runs `task` on the user-interface thread and waits for its result; `fallback` when abandoned.
    template <class Result>
    Result onUiThread(std::function<Result()> task, Result fallback);

    wxWindow& owner_;
    MessageSink sink_;
    MessageSink inputSink_;
    std::atomic<bool> cancelRequested_{false};
    std::shared_ptr<std::atomic<bool>> abandoned_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace quillon::ui
